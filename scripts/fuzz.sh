#!/usr/bin/env bash
# Builds the fuzz targets (clang++ with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each one for a bounded time on a copy
# of its seed corpus, so that the corpus in the repository stays as it is.
# Any finding fails the script; the inputs that caused it are kept in a
# temporary folder and printed.
#
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET]    (default: $ZUL_FUZZ_SECONDS or 20)
set -euo pipefail
shopt -s nullglob
cd "$(dirname "$0")/.."

seconds=${1:-${ZUL_FUZZ_SECONDS:-20}}
if [[ ! $seconds =~ ^[1-9][0-9]*$ ]]; then
    echo "fuzz.sh: the time per target must be a whole number of seconds, not '$seconds'" >&2
    exit 2
fi

# fuzz TARGET: runs it in $work/TARGET; false when it found something.
fuzz() {
    local dir=$work/$1 status=0 options
    mkdir -p "$dir/corpus" "$dir/artifacts"
    cp tests/fuzz/corpus/"$1"/* "$dir/corpus"/
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$dir/artifacts/")
    [ ! -e tests/fuzz/"$1".dict ] || options+=(-dict=tests/fuzz/"$1".dict)
    echo "== $1: ${seconds} s"
    build/fuzz/tests/fuzz/"$1" "${options[@]}" "$dir/corpus" >"$dir/log" 2>&1 || status=$?
    grep -E '^#[0-9]+[[:space:]]+DONE|^stat::number_of_executed_units' "$dir/log" || true
    [ "$status" -ne 0 ] || [ -n "$(ls -A "$dir/artifacts")" ] || return 0
    echo "!! $1 found something (exit status $status); the end of its log:"
    tail -n 40 "$dir/log"
    for artifact in "$dir"/artifacts/*; do
        echo "-- $artifact" && od -A x -t x1z -v "$artifact" | head -n 32
    done
    return 1
}

scripts/ensure-deps.sh fuzz
cmake --preset fuzz
cmake --build --preset fuzz
targets=(FileparserFuzz ReplyFuzz CommandlineFuzz)
work=$(mktemp -d "${TMPDIR:-/tmp}/zul-fuzz.XXXXXX")
failed=()
for target in "${targets[@]}"; do
    fuzz "$target" || failed+=("$target")
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "Fuzzing found faults in: ${failed[*]}; inputs and logs are in $work" >&2
    echo "Once fixed, add each input to tests/fuzz/corpus/<target>/: the suite replays it." >&2
    exit 1
fi
rm -rf "$work"
echo "Fuzzing: no findings in ${#targets[@]} targets, ${seconds} s each"
