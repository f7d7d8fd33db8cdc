#!/usr/bin/env bash
# Cross-builds the tool and its portable tests for Windows (mingw-w64), then
# runs them under Wine: the Windows unit tests, and the end-to-end tests in
# which the .exe talks to the simulated device on a pseudo-terminal; then the
# zip a technician unpacks. All run in a Wine prefix of their own, removed at
# the end. Installs, with apt-get, only what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-deps.sh windows

cmake --preset windows
cmake --build --preset windows
cmake --preset wine-e2e
cmake --build --preset wine-e2e

# The wine server leaves its socket folder in TMPDIR: that goes here too.
scratch="$(mktemp -d "${TMPDIR:-/tmp}/zul-wine-XXXXXX")"
export WINEPREFIX=$scratch/prefix TMPDIR=$scratch/tmp WINEDEBUG=-all
mkdir "$WINEPREFIX" "$TMPDIR" "$scratch/unpacked"
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    rm -rf "$scratch"
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

# The zip holds the tool and its text alone, and the unpacked tool runs.
(cd build/windows && cpack -G ZIP >/dev/null)
unpacked=$scratch/unpacked/zul-download-1.1-win64
cmake -E chdir "$scratch/unpacked" cmake -E tar xf "$PWD/build/windows/zul-download-1.1-win64.zip"
files=$(find "$scratch/unpacked" -type f | sort | xargs)
[ "$files" = "$unpacked/Download_ZUL_Console.exe $unpacked/README.txt" ] || { echo "zip: $files" >&2 && exit 1; }
grep -q "^Exit codes" "$unpacked/README.txt"
[[ $(wine "$unpacked/Download_ZUL_Console.exe" --help) == *"Version 1.1"* ]]
