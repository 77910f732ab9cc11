#!/usr/bin/env bash
# Runs clang-tidy (the checks chosen in .clang-tidy) over src/, with the compile commands of a
# configured build (default build/asan), and prints each finding once (a header's findings come
# from every file that includes it) with a count per module. Fails when there is any finding.
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
