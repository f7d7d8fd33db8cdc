#!/usr/bin/env bash
# Measures the suite by the faults it catches: each planted fault (a small
# patch under tests/mutants/) is applied to a scratch copy of the tree, which
# is rebuilt and tested until the first failing test. A mutant that leaves
# every test passing survived: the suite cannot see that fault. Run by hand;
# it takes far longer than CI may.
#   scripts/mutate.sh [MUTANT.patch...]   (default: every mutant)
# ZUL_MUTATE_TESTS=REGEX runs only the tests whose names match it, to see
# which part of the suite catches a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scratch=
cleanup() { [ -z "$scratch" ] || rm -rf "$scratch"; }
trap cleanup EXIT

# A copy of the tracked tree in a repository of its own, so that each mutant
# is undone with one checkout and the build stays incremental.
make_scratch() {
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/zul-mutate.XXXXXX")
    git ls-files -z | xargs -0 cp --parents -t "$scratch"
    git -C "$scratch" init -q
    git -C "$scratch" add -A
    git -C "$scratch" -c user.name=mutate -c user.email=mutate@localhost commit -qm base
    cmake -S "$scratch" -B "$scratch/build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
}

# run_suite: true when every test passes. Tests run in the order they are
# declared, quick unit tests first, and stop at the first failure.
run_suite() {
    rm -f "$scratch/build/Testing/Temporary/CTestCostData.txt"
    ctest --test-dir "$scratch/build" -j "$(nproc)" --stop-on-failure --timeout 300 \
        -R "${ZUL_MUTATE_TESTS:-.}" \
        >"$scratch/ctest.out" 2>&1
}

# verdict PATCH: killed, survived, or why it could not be judged.
verdict() {
    if ! git -C "$scratch" apply "$1" 2>/dev/null; then
        echo "not applicable"
    elif ! cmake --build "$scratch/build" >/dev/null 2>&1; then
        echo "killed (does not build)"
    elif run_suite; then
        echo survived
    else
        echo "killed by $(grep -m1 '\*\*\*' "$scratch/ctest.out" |
            sed -E 's/.*Test +#[0-9]+: ([^ ]+) .*/\1/')"
    fi
    git -C "$scratch" checkout -q -- .
}

main() {
    local mutants=("$@") patch result start=$SECONDS killed=0 total=0
    [ ${#mutants[@]} -gt 0 ] || mutants=("$root"/tests/mutants/*.patch)
    make_scratch
    for patch in "${mutants[@]}"; do
        result=$(verdict "$(realpath "$patch")")
        total=$((total + 1))
        [[ $result != killed* ]] || killed=$((killed + 1))
        printf '%-48s %s\n' "$(basename "$patch" .patch)" "$result"
    done
    echo "score: $killed of $total killed in $((SECONDS - start)) s"
    [ "$killed" -eq "$total" ]
}

main "$@"
