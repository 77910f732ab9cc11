#!/usr/bin/env bash
# Keeps the tree building with clang as well as with GCC: runs clang's front end
# (`clang++ -fsyntax-only -Werror`, every warning of cmake/VaskWarnings.cmake) over each file of
# ours that a configured and built GCC build compiles, with that build's compile commands
# (default build/asan, which the test command builds first; its generated Qt sources are used,
# not checked). Only clang's parsing and semantic analysis run, no code generation, so it costs
# a fraction of a clang build; it catches what GCC accepts and clang refuses (a lambda capturing
# a structured binding under clang 14) and clang's own warnings (unused lambda captures).
# The files of one target share a precompiled header of the headers that most of them include
# (the standard library, Qt, GoogleTest, JSON, and ours), which is much of the time a file
# takes; the GCC build, without it, still checks that every file includes what it uses.
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

# Writes, NUL-separated, one file per precompiled header (<n>.pch.cmd: directory, header,
# arguments) and one per checked source (<n>.cmd: directory, source, header or "", arguments),
# with GCC's compiler replaced by clang++ and its output dropped.
python3 - "$build/compile_commands.json" "$PWD" "$out" <<'EOF'
import collections, json, os, re, shlex, sys

database, root, out = sys.argv[1], sys.argv[2], sys.argv[3]
ours = tuple(os.path.join(root, folder) + os.sep for folder in ("src", "tests", "tools", "bench"))
include = re.compile(r'^\s*#\s*include\s*([<"][^>"]+[>"])', re.M)

def shared(header):
    """The header as the precompiled one names it: a library header as it is, one of ours by its
    path from src/ or tests/, and one found beside its file alone not at all."""
    if header.startswith("<"):
        return header
    for folder in ("src", "tests"):
        path = os.path.join(root, folder, header[1:-1])
        if os.path.isfile(path):
            return f'"{path}"'
    return None
groups = collections.defaultdict(list)
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
        elif word not in ("-c", entry["file"], source):
            arguments.append(word)
    groups[(entry["directory"], tuple(arguments))].append(source)

def write(name, fields):
    with open(os.path.join(out, name), "w") as f:
        f.write("\0".join(fields))

count = 0
for number, ((directory, arguments), sources) in enumerate(sorted(groups.items())):
    # The headers that at least half the target's files include.
    uses = collections.Counter()
    for source in sources:
        found = include.findall(open(source, errors="replace").read())
        uses.update({shared(h) for h in found} - {None})
    common = sorted(h for h, n in uses.items() if n >= 2 and 2 * n >= len(sources))
    header = ""
    if common:
        header = os.path.join(out, f"group{number}.h")
        with open(header, "w") as f:
            f.writelines(f"#include {h}\n" for h in common)
        write(f"group{number}.pch.cmd",
              [directory, header] + list(arguments) + ["-x", "c++-header", header, "-o", header + ".pch"])
    for source in sources:
        count += 1
        write(f"{count}.cmd", [directory, source, header] + list(arguments) +
              (["-include-pch", header + ".pch"] if header else []) +
              ["-fsyntax-only", "-Werror", source])
EOF

# A header that does not precompile leaves its files to be checked without it.
precompile() {
    local file=$1
    mapfile -d '' -t words <"$file"
    if ! (cd "${words[0]}" && "${words[@]:2}") >"${file%.pch.cmd}.pch.log" 2>&1; then
        rm -f "${words[1]}.pch"
    fi
}
check() {
    local file=$1
    mapfile -d '' -t words <"$file"
    local arguments=("${words[@]:3}")
    if [ -n "${words[2]}" ] && [ ! -f "${words[2]}.pch" ]; then
        local kept=() word skip=0
        for word in "${arguments[@]}"; do
            if ((skip)); then skip=0; continue; fi
            if [ "$word" = -include-pch ]; then skip=1; continue; fi
            kept+=("$word")
        done
        arguments=("${kept[@]}")
    fi
    if ! (cd "${words[0]}" && "${arguments[@]}") >"${file%.cmd}.log" 2>&1; then
        echo "${words[1]}" >"${file%.cmd}.failed"
    fi
}
export -f precompile check
find "$out" -name '*.pch.cmd' -print0 | xargs -0 -r -n 1 -P "$jobs" bash -c 'precompile "$0"'
find "$out" -name '[0-9]*.cmd' -print0 | xargs -0 -n 1 -P "$jobs" bash -c 'check "$0"'

files=$(find "$out" -name '[0-9]*.cmd' | wc -l)
failed=0
for marker in "$out"/*.failed; do
    [ -e "$marker" ] || continue
    failed=$((failed + 1))
    echo "--- $(cat "$marker")"
    cat "${marker%.failed}.log"
done
echo "clang check: $files files, $failed failed"
[ "$failed" -eq 0 ]
