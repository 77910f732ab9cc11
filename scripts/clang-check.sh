#!/usr/bin/env bash
# Keeps the tree building with clang as well as with GCC: runs clang's front end
# (`clang++ -fsyntax-only -Werror`, every warning of cmake/VaskWarnings.cmake) over each file of
# ours that a configured and built GCC build compiles, with that build's compile commands
# (default build/asan, which the test command builds first; its generated Qt sources are used,
# not checked). Only clang's parsing and semantic analysis run, no code generation, so it costs
# a fraction of a clang build; it catches what GCC accepts and clang refuses (a lambda capturing
# a structured binding under clang 14) and clang's own warnings (unused lambda captures).
# Prints each failing file's diagnostics and one "clang check: N files, N failed" line.
# Usage: scripts/clang-check.sh [BUILD_DIR]; VASK_CLANG_CHECK_JOBS (default: the cores) bounds
# the parallel runs.
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:-build/asan}"
jobs="${VASK_CLANG_CHECK_JOBS:-$(nproc)}"
if [ ! -f "$build/compile_commands.json" ]; then
    echo "clang-check.sh: no $build/compile_commands.json; configure and build first" >&2
    exit 2
fi
command -v clang++ >/dev/null || { echo "clang-check.sh: clang++ is missing" >&2; exit 2; }

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# One line per file: the directory, then the command's arguments, NUL-separated, with GCC's
# compiler replaced by clang++, its output dropped and -fsyntax-only -Werror added.
python3 - "$build/compile_commands.json" "$PWD" "$out" <<'EOF'
import json, os, shlex, sys

database, root, out = sys.argv[1], sys.argv[2], sys.argv[3]
ours = tuple(os.path.join(root, folder) + os.sep for folder in ("src", "tests", "tools", "bench"))
count = 0
for entry in json.load(open(database)):
    source = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    if not source.startswith(ours):
        continue  # generated sources (moc, resources) and other projects' files
    words = entry.get("arguments") or shlex.split(entry["command"])
    arguments, skip = ["clang++"], False
    for word in words[1:]:
        if skip:
            skip = False
        elif word == "-o":
            skip = True
        elif word != "-c":
            arguments.append(word)
    arguments += ["-fsyntax-only", "-Werror"]
    count += 1
    with open(os.path.join(out, f"{count}.cmd"), "w") as f:
        f.write("\0".join([entry["directory"], source] + arguments))
EOF

check() {
    local file=$1 directory source
    mapfile -d '' -t words <"$file"
    directory=${words[0]}
    source=${words[1]}
    if ! (cd "$directory" && "${words[@]:2}") >"${file%.cmd}.log" 2>&1; then
        echo "$source" >"${file%.cmd}.failed"
    fi
}
export -f check
find "$out" -name '*.cmd' -print0 | xargs -0 -n 1 -P "$jobs" bash -c 'check "$0"'

files=$(find "$out" -name '*.cmd' | wc -l)
failed=0
for marker in "$out"/*.failed; do
    [ -e "$marker" ] || continue
    failed=$((failed + 1))
    echo "--- $(cat "$marker")"
    cat "${marker%.failed}.log"
done
echo "clang check: $files files, $failed failed"
[ "$failed" -eq 0 ]
