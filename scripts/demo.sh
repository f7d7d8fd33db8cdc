#!/usr/bin/env bash
# Builds the tool and shows what it does.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-deps.sh

cmake --preset release >/dev/null
cmake --build --preset release
tool=build/release/app/Download_ZUL_Console

"$tool" --help
echo
