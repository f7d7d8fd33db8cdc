# Sourced by the demo and the benchmarks: runs b4k-sim in a scratch folder
# as COM3, with its port link and sysfs tree there, and points the tool at it.
#   start_simulator SIM_BINARY DIR [b4k-sim options...]
#   stop_simulator
start_simulator() {
    local sim=$1 dir=$2
    shift 2
    mkdir -p "$dir/ports" "$dir/sys"
    "$sim" --port-dir "$dir/ports" --com 3 --sysfs "$dir/sys" "$@" >"$dir/sim.out" &
    simulator_pid=$!
    # Its first line, the terminal's path, comes once the link and tree exist.
    local tries=0
    until [ -s "$dir/sim.out" ]; do
        if ! kill -0 "$simulator_pid" 2>/dev/null || [ $((tries += 1)) -gt 100 ]; then
            echo "b4k-sim did not start" >&2
            return 1
        fi
        sleep 0.05
    done
    export ZUL_PORT_DIR="$dir/ports" ZUL_SYSFS_ROOT="$dir/sys"
}

stop_simulator() {
    if [ -n "${simulator_pid:-}" ]; then
        kill "$simulator_pid" 2>/dev/null || true
        wait "$simulator_pid" 2>/dev/null || true
        simulator_pid=
    fi
}
