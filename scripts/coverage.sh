#!/usr/bin/env bash
# Builds the coverage preset (gcc --coverage, Debug, no sanitizers), runs the test suite and prints
# line and branch coverage per module (src/<module>). Branches that only throw or that gcc marks as
# unreachable are left out, so the branch figure counts the decisions the code makes.
# Usage: scripts/coverage.sh [ctest arguments, e.g. -L foundation]
# CMAKE_BUILD_PARALLEL_LEVEL and VASK_TEST_JOBS (default 3) bound the build and the test run.
# Writes build/coverage/coverage.json (gcovr's summary) and build/coverage/modules.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset coverage
cmake --build --preset coverage

build=build/coverage
jobs="${VASK_TEST_JOBS:-3}"
# Counts of an earlier run would otherwise add up with this one.
find "$build" -name '*.gcda' -delete

status=0
ctest --test-dir "$build" -j "$jobs" --output-on-failure "$@" || status=$?

gcovr --root . --object-directory "$build" --filter 'src/' \
    --exclude-throw-branches --exclude-unreachable-branches --gcov-ignore-parse-errors -j "$jobs" \
    --exclude-directories 'build/coverage/CMakeFiles' --json-summary "$build/coverage.json" --json-summary-pretty >/dev/null

python3 - "$build/coverage.json" >"$build/modules.txt" <<'EOF'
import json, sys
from collections import defaultdict

summary = json.load(open(sys.argv[1]))
totals = defaultdict(lambda: [0, 0, 0, 0])
for entry in summary["files"]:
    parts = entry["filename"].split("/")
    if len(parts) < 3 or parts[0] != "src":
        continue
    t = totals[parts[1]]
    t[0] += entry["line_covered"]; t[1] += entry["line_total"]
    t[2] += entry["branch_covered"]; t[3] += entry["branch_total"]

def pct(covered, total):
    return f"{100.0 * covered / total:5.1f}%" if total else "    -"

print(f"{'module':<12} {'lines':>7} {'of':>7} {'line%':>6}  {'branches':>8} {'of':>7} {'branch%':>7}")
all_ = [0, 0, 0, 0]
for module in sorted(totals):
    t = totals[module]
    all_ = [a + b for a, b in zip(all_, t)]
    print(f"{module:<12} {t[0]:>7} {t[1]:>7} {pct(t[0], t[1]):>6}  {t[2]:>8} {t[3]:>7} {pct(t[2], t[3]):>7}")
print(f"{'total':<12} {all_[0]:>7} {all_[1]:>7} {pct(all_[0], all_[1]):>6}  {all_[2]:>8} {all_[3]:>7} {pct(all_[2], all_[3]):>7}")
EOF
cat "$build/modules.txt"
exit "$status"
