#!/usr/bin/env bash
# Builds the tool, the simulator and the tests with AddressSanitizer plus
# UndefinedBehaviorSanitizer, and with ThreadSanitizer, and runs the whole
# suite under each. The test presets make any report fail its test, in the
# test process and in the tool and simulator it starts.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-deps.sh

for preset in asan tsan; do
    echo "== $preset"
    cmake --preset "$preset"
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
