#!/usr/bin/env bash
# zul-station's dashboard with the real things: headless Chromium on the page,
# a Prometheus scraping the metrics, and a flood of idle and malformed
# connections during two downloads (tests/dashboard/dashboard_test.py).
# Installs Chromium, its driver, Selenium and Prometheus when missing.
#   scripts/dashboard-test.sh [BUILD_DIR]   (default: build/default, built here)
# The screenshots land in BUILD_DIR/dashboard/.
set -euo pipefail
cd "$(dirname "$0")/.."

ensure_packages() {
    local missing=()
    command -v chromium >/dev/null || missing+=(chromium)
    command -v chromedriver >/dev/null || missing+=(chromium-driver)
    /usr/bin/python3 -c 'import selenium' 2>/dev/null || missing+=(python3-selenium)
    command -v prometheus >/dev/null || missing+=(prometheus)
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -q
        apt-get install -y -q --no-install-recommends "${missing[@]}"
    fi
}

main() {
    local build=${1:-build/default}
    scripts/ensure-deps.sh
    ensure_packages
    if [ $# -eq 0 ]; then
        cmake --preset default >/dev/null
        cmake --build --preset default --target zul-station Download_ZUL_Console b4k-sim ctf-gen
    fi
    # Its own process group: whatever it started goes with it, even on failure.
    setsid /usr/bin/python3 tests/dashboard/dashboard_test.py "$build" "$build/dashboard" &
    test_pid=$!
    trap 'kill -- -"$test_pid" 2>/dev/null || true' EXIT
    wait "$test_pid"
}

main "$@"
