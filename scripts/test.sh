#!/usr/bin/env bash
# Builds and tests everything, stage by stage; any failure stops the run.
#   native      g++ build, the whole suite
#   sanitizers  the whole suite under ASan+UBSan (clang++, so also clang's
#               warnings as errors) and under TSan
#   fuzz        every fuzz target for ZUL_FUZZ_SECONDS (default 20) each
#   windows     the cross-built Windows tool and its tests under Wine
#   package     the Debian package installed, used and purged (needs root)
#   dashboard   zul-station's dashboard in Chromium, scraped by Prometheus, and
#               flooded during two downloads
#   kernel      the tool on Linux's own USB serial drivers, in a virtual machine
# Usage: scripts/test.sh [STAGE...]     (default: every stage, in this order)
set -euo pipefail
cd "$(dirname "$0")/.."

stages=("$@")
if [ ${#stages[@]} -eq 0 ]; then
    stages=(native sanitizers fuzz windows kernel package dashboard)
fi

# build_and_test PRESET: the suite's build of that preset, and the whole suite.
# The sanitizer presets make any report fail its test, in the test process and
# in the tool and simulator it starts.
build_and_test() {
    cmake --preset "$1"
    cmake --build --preset "$1"
    ctest --preset "$1"
}

scripts/ensure-deps.sh
for stage in "${stages[@]}"; do
    echo "=== stage: $stage"
    start=$SECONDS
    case $stage in
    native) build_and_test default ;;
    sanitizers) build_and_test asan && build_and_test tsan ;;
    fuzz) scripts/fuzz.sh ;;
    windows) scripts/windows-test.sh ;;
    kernel) scripts/kernel-test.sh ;;
    package) scripts/package-test.sh ;;
    dashboard) scripts/dashboard-test.sh ;;
    *)
        echo "test.sh: unknown stage '$stage' (native, sanitizers, fuzz, windows, kernel, package, dashboard)" >&2
        exit 2
        ;;
    esac
    echo "=== stage $stage passed in $((SECONDS - start)) s"
done
