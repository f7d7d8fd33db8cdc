#!/usr/bin/env bash
# Builds the fuzz targets (clang++ with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each one for a bounded time on a copy
# of its seed corpus, so that the corpus in the repository stays as it is.
# Any finding fails the script; the inputs that caused it are kept in a
# temporary folder and printed.
#
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET]    (default: $ZUL_FUZZ_SECONDS or 30)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-${ZUL_FUZZ_SECONDS:-30}}
case $seconds in
'' | *[!0-9]* | 0)
    echo "fuzz.sh: the time per target must be a whole number of seconds, not '$seconds'" >&2
    exit 2
    ;;
esac

scripts/ensure-deps.sh fuzz

cmake --preset fuzz
cmake --build --preset fuzz

targets=(FileparserFuzz ReplyFuzz CommandlineFuzz)
work=$(mktemp -d "${TMPDIR:-/tmp}/zul-fuzz.XXXXXX")
failed=()
for target in "${targets[@]}"; do
    corpus=$work/$target/corpus
    artifacts=$work/$target/artifacts
    mkdir -p "$corpus" "$artifacts"
    cp tests/fuzz/corpus/"$target"/* "$corpus"/
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$artifacts"/)
    if [ -e tests/fuzz/"$target".dict ]; then
        options+=(-dict=tests/fuzz/"$target".dict)
    fi
    echo "== $target: ${seconds} s"
    status=0
    # TMPDIR: the file parser's target writes its input file there.
    TMPDIR=$work/$target build/fuzz/tests/fuzz/"$target" "${options[@]}" "$corpus" \
        >"$work/$target/log" 2>&1 || status=$?
    grep -E '^#[0-9]+[[:space:]]+DONE|^stat::number_of_executed_units' "$work/$target/log" || true
    if [ "$status" -ne 0 ] || [ -n "$(ls -A "$artifacts")" ]; then
        failed+=("$target")
        echo "!! $target found something (exit status $status); the end of its log:"
        tail -n 40 "$work/$target/log"
        for artifact in "$artifacts"/*; do
            [ -e "$artifact" ] || continue
            echo "-- $artifact"
            od -A x -t x1z -v "$artifact" | head -n 32
        done
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "Fuzzing found faults in: ${failed[*]}; inputs and logs are in $work" >&2
    echo "Once fixed, add each input to tests/fuzz/corpus/<target>/: the suite replays it." >&2
    exit 1
fi
rm -rf "$work"
echo "Fuzzing: no findings in ${#targets[@]} targets, ${seconds} s each"
