#!/usr/bin/env bash
# Builds the tool and runs its main job: a download into the simulated device.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/ensure-deps.sh

cmake --preset release >/dev/null
cmake --build --preset release
build=$root/build/release
tool=$build/app/Download_ZUL_Console

work=$(mktemp -d)
source scripts/simulator.sh
trap 'stop_simulator; rm -rf "$work"' EXIT

"$build/tools/ctf-gen/ctf-gen" --module-type 2 --revision 1.0 --size 48K "$work/demo.ctf"
start_simulator "$build/tools/b4k-sim/b4k-sim" "$work" --module-type 2 --baud 166666 --capture "$work/capture.txt"

cd "$work"
echo "\$ Download_ZUL_Console --v --if demo.ctf --of Log.txt --progress progress.bin --infomod infomod.bin"
status=0
"$tool" --v --if demo.ctf --of Log.txt --progress progress.bin --infomod infomod.bin || status=$?
echo
echo "exit status: $status"
echo "progress file: $(od -An -tu1 progress.bin | tr -d ' ')"
echo "module-information file: $(od -An -tx1 infomod.bin)"
echo "log file: Log.txt, $(wc -c <Log.txt) bytes (echoed above by --v)"
echo "wire capture: $(wc -l <capture.txt) items received by the device"
[ "$status" -eq 1 ]
