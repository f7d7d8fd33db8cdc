#!/usr/bin/env bash
# The benchmark: builds the release tool and the benchmark driver, makes
# firmware files of 16, 64 and 256 KiB, and measures the tool against the
# simulated device, paced at the line rate and unpaced, and zul-station over
# sixteen paced devices at once. Prints one table
# and writes it as CSV; then, where Chromium and Prometheus are installed, the
# station's CPU with its dashboard watched and scraped.
#   bench/run.sh [--quick] [CSV]
# --quick (or BENCH_QUICK=1): 16 and 64 KiB only, one run each (for CI).
# BENCH_RUNS=N: runs per figure (default 3). BENCH_DELAY_MS=MS: the device's
# reply delay (default 0). CSV defaults to build/bench/results.csv.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

quick=${BENCH_QUICK:-0}
csv=
for argument in "$@"; do
    case $argument in
    --quick) quick=1 ;;
    -h | --help)
        sed -n '2,10s/^# \{0,1\}//p' "$0"
        exit 0
        ;;
    -*)
        echo "bench/run.sh: unknown option '$argument'" >&2
        exit 2
        ;;
    *) csv=$argument ;;
    esac
done
csv=${csv:-$root/build/bench/results.csv}
if [ "$quick" = 1 ]; then
    sizes=(16 64)
    runs=${BENCH_RUNS:-1}
else
    sizes=(16 64 256)
    runs=${BENCH_RUNS:-3}
fi

# Build output is shown only when a build fails.
build() {
    local log
    log=$(mktemp)
    if ! "$@" >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        exit 1
    fi
    rm -f "$log"
}
scripts/ensure-deps.sh >/dev/null
build cmake --preset release
build cmake --build --preset release
build cmake -S bench -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZUL_WERROR=ON
build cmake --build build/bench --target zul-bench
release=$root/build/release

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
firmware=()
for size in "${sizes[@]}"; do
    "$release/tools/ctf-gen/ctf-gen" --size "${size}K" "$work/${size}K.ctf"
    firmware+=(--firmware "$size KiB=$work/${size}K.ctf")
done

mkdir -p "$(dirname "$csv")"
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
echo "Machine: $(nproc) cores, ${cpu:-unknown CPU}, Linux $(uname -r)"
"$root/build/bench/zul-bench" --tool "$release/app/Download_ZUL_Console" --runs "$runs" \
    --delay "${BENCH_DELAY_MS:-0}" --csv "$csv" "${firmware[@]}" \
    --station "$release/tools/zul-station/zul-station"
echo "CSV: $csv"
# The dashboard's row: the station's own CPU over sixteen paced devices with the
# page open in headless Chromium and Prometheus scraping every second (goal < 1 %);
# only where the dashboard stage's packages are (scripts/dashboard-test.sh).
if command -v chromium >/dev/null && command -v prometheus >/dev/null; then
    /usr/bin/python3 tests/dashboard/dashboard_test.py "$release" "$work/dashboard" bench |
        grep "own CPU" || echo "bench/run.sh: the dashboard row failed" >&2
fi
