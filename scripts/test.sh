#!/usr/bin/env bash
# Builds the tool and its tests with g++ and clang++ (warnings are errors),
# then runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-deps.sh

cmake --preset default
cmake --build --preset default
cmake --preset clang
cmake --build --preset clang
ctest --preset default
