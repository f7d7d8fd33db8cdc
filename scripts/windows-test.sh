#!/usr/bin/env bash
# Cross-builds the tool and its portable tests for Windows (mingw-w64), then
# runs them under Wine: the Windows unit tests, and the end-to-end tests in
# which the .exe talks to the simulated device on a pseudo-terminal. Both run
# in a Wine prefix of their own, removed at the end. Installs, with apt-get,
# only what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-deps.sh windows

cmake --preset windows
cmake --build --preset windows
cmake --preset wine-e2e
cmake --build --preset wine-e2e

WINEPREFIX="$(mktemp -d "${TMPDIR:-/tmp}/zul-wine-XXXXXX")"
export WINEPREFIX
export WINEDEBUG=-all
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

# One server for every run, started first: otherwise each run that finds
# none starts the prefix's services anew, which takes seconds.
wineserver -p >/dev/null 2>&1
# No Mono or Gecko: nothing here needs them, and their installers would only
# look for downloads.
WINEDLLOVERRIDES="mscoree=;mshtml=" wineboot -i >/dev/null 2>&1

ctest --preset windows
ctest --preset wine-e2e
