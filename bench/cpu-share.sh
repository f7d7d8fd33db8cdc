#!/usr/bin/env bash
# Downloads a 256 KiB firmware file into the simulated device paced at the
# real line rate, and prints the tool's wall time and CPU time. The goal is
# a CPU share under 10%: the line, not the tool, sets the pace.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
size=${1:-256K}

scripts/ensure-deps.sh >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
build=$root/build/release

work=$(mktemp -d)
source scripts/simulator.sh
trap 'stop_simulator; rm -rf "$work"' EXIT

"$build/tools/ctf-gen/ctf-gen" --size "$size" "$work/bench.ctf"
start_simulator "$build/tools/b4k-sim/b4k-sim" "$work" --baud 166666

cd "$work"
status=0
TIMEFORMAT='%R %U %S'
{ time "$build/app/Download_ZUL_Console" --if bench.ctf >/dev/null 2>tool.err || status=$?; } 2>time.txt
read -r wall user system <time.txt
if [ "$status" -ne 1 ]; then
    echo "download failed with exit status $status" >&2
    cat tool.err Log.txt >&2
    exit 1
fi
awk -v wall="$wall" -v user="$user" -v sys="$system" -v size="$size" 'BEGIN {
    cpu = user + sys
    share = wall > 0 ? 100 * cpu / wall : 0
    printf "firmware size     %s\n", size
    printf "wall time         %.2f s\n", wall
    printf "CPU time          %.3f s (user %.3f s, system %.3f s)\n", cpu, user, sys
    printf "CPU share         %.2f %% (goal: under 10 %%)\n", share
}'
