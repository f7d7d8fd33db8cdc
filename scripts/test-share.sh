#!/usr/bin/env bash
# Prints how much of the repository's code exists only to test the rest, so
# that the suite's size is measured the same way every time, here and in CI.
#   scripts/test-share.sh [--max PERCENT]   (fails when the share is above it)
# Counted: non-blank, non-comment lines of every source, script and build
# file git knows of (tracked, or untracked and not ignored). Test code is
# tests/ and the scripts that only run tests; documents, fuzz corpora and
# dictionaries, man pages and planted-fault patches count as neither.
set -euo pipefail
cd "$(dirname "$0")/.."

# Scripts whose only job is to build and run tests.
test_scripts='^(\.ci/run|scripts/(test|test-share|mutate|fuzz|windows-test|kernel-test|package-test|dashboard-test)\.sh)$'

# kind FILE: prints c, hash or nothing (not code).
kind() {
    case $1 in
    tests/mutants/* | tests/fuzz/corpus/*) ;;
    *.cpp | *.h | *.c) echo c ;;
    *.sh | *.py | .ci/run | */CMakeLists.txt | CMakeLists.txt | *.cmake | *.rules) echo hash ;;
    *.json) echo plain ;;
    *) if head -n1 "$1" 2>/dev/null | grep -q '^#!.*sh'; then echo hash; fi ;;
    esac
}

# count KIND FILE: its non-blank, non-comment lines.
count() {
    case $1 in
    c) awk '
        { line = $0; out = "" }
        { while (line != "") {
            if (inblock) { i = index(line, "*/"); if (!i) { line = ""; break }
                           line = substr(line, i + 2); inblock = 0 }
            else { i = index(line, "/*"); j = index(line, "//")
                   if (j && (!i || j < i)) { out = out substr(line, 1, j - 1); line = "" }
                   else if (i) { out = out substr(line, 1, i - 1); line = substr(line, i + 2); inblock = 1 }
                   else { out = out line; line = "" } } } }
        out ~ /[^[:space:]]/ { n++ }
        END { print n + 0 }' "$2" ;;
    hash) grep -cv '^[[:space:]]*\(#.*\)\?$' "$2" || true ;;
    plain) grep -cv '^[[:space:]]*$' "$2" || true ;;
    esac
}

main() {
    if [ $# -ne 0 ] && { [ $# -ne 2 ] || [ "$1" != --max ]; }; then
        echo "usage: scripts/test-share.sh [--max PERCENT]" >&2
        exit 2
    fi
    local max=${2:-}
    local file k n tests=0 total=0
    while IFS= read -r file; do
        [ -f "$file" ] || continue
        k=$(kind "$file")
        [ -n "$k" ] || continue
        n=$(count "$k" "$file")
        total=$((total + n))
        if [[ $file == tests/* || $file =~ $test_scripts ]]; then
            tests=$((tests + n))
        fi
    done < <(git ls-files --cached --others --exclude-standard | sort -u)
    local share=$((tests * 1000 / total))
    printf 'test code: %d of %d lines, %d.%d%%\n' "$tests" "$total" $((share / 10)) $((share % 10))
    if [ -n "$max" ] && [ "$share" -gt $((max * 10)) ]; then
        echo "test-share.sh: test code is above $max%" >&2
        exit 1
    fi
}

main "$@"
