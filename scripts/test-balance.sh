#!/usr/bin/env bash
# Prints how large the tests are against the code they test: lines of the C++ files under tests/
# and fuzz/ against those under src/ and tools/. The share is for weighing a suite by hand; it is
# not a target of this project, and nothing fails on it.
set -euo pipefail
cd "$(dirname "$0")/.."

count() {
    find "$@" -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 cat | wc -l
}

tests=$(count tests fuzz)
code=$(count src tools)
awk -v t="$tests" -v c="$code" \
    'BEGIN { printf "test balance: %d test lines against %d code lines: %.1f%%\n", t, c, 100 * t / c }'
