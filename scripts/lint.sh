#!/usr/bin/env bash
# Runs clang-tidy (the checks chosen in .clang-tidy) over src/, with the compile commands of a
# configured build (default build/asan), and prints each finding once (a header's findings come
# from every file that includes it) with a count per module. Fails when there is any finding, or
# (with the sources module) when the generated letter statistics of the encoding guess are not
# what their script writes.
# Usage: scripts/lint.sh [module ...]   e.g. scripts/lint.sh platform foundation
# VASK_LINT_BUILD names the build folder; VASK_LINT_JOBS (default 3) bounds the parallel runs.
set -euo pipefail
cd "$(dirname "$0")/.."

build="${VASK_LINT_BUILD:-build/asan}"
jobs="${VASK_LINT_JOBS:-3}"
if [ ! -f "$build/compile_commands.json" ]; then
    echo "lint.sh: no $build/compile_commands.json; configure first (cmake --preset asan)" >&2
    exit 2
fi

modules=("$@")
if ((${#modules[@]} == 0)); then
    mapfile -t modules < <(find src -mindepth 1 -maxdepth 1 -type d -printf '%f\n' | sort)
fi
folders=()
for module in "${modules[@]}"; do
    [ -d "src/$module" ] || { echo "lint.sh: no module src/$module" >&2; exit 2; }
    folders+=("src/$module")
done

# The letter statistics of the legacy encoding guess are generated: the table in the tree must be
# what tools/encoding-comparison/letter_costs.py writes from the encoding corpus, byte for byte.
if [[ " ${modules[*]} " == *" sources "* ]]; then
    costs=$(mktemp)
    python3 tools/encoding-comparison/letter_costs.py tests/data/encoding-corpus "$costs"
    if ! cmp -s "$costs" src/sources/decoding/legacy_letter_costs.inc; then
        rm -f "$costs"
        echo "lint: src/sources/decoding/legacy_letter_costs.inc is not what letter_costs.py writes from" \
            "tests/data/encoding-corpus; run it again" >&2
        exit 1
    fi
    rm -f "$costs"
fi

# Generated sources (Qt's moc and resources) are not ours: lint only files of the tree that the
# build compiles.
mapfile -t files < <(find "${folders[@]}" -name '*.cpp' | sort)
header_filter="^$PWD/($(IFS='|'; echo "${folders[*]}"))/"

out=$(mktemp)
trap 'rm -f "$out"' EXIT
printf '%s\0' "${files[@]}" |
    xargs -0 -n 1 -P "$jobs" clang-tidy -p "$build" --quiet --header-filter="$header_filter" \
        2>/dev/null >>"$out" || true

findings=$(grep -E '^/.*: (warning|error): .*\[[a-z0-9.,-]+\]$' "$out" | sed "s|^$PWD/||" | sort -u || true)
if [ -z "$findings" ]; then
    echo "lint: no findings in ${folders[*]}"
    exit 0
fi
echo "$findings"
echo
echo "lint: findings per module"
echo "$findings" | cut -d/ -f2 | sort | uniq -c | awk '{ printf "  %-12s %d\n", $2, $1 }'
echo "lint: $(echo "$findings" | wc -l) findings"
exit 1
