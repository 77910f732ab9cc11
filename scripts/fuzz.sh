#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer) and runs each
# for a bounded time. Usage: scripts/fuzz.sh [seconds per target, default 20]
# Findings are written to build/fuzz/findings/<target>/ and make the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-20}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
    echo "usage: scripts/fuzz.sh [seconds per target]" >&2
    exit 2
fi

cmake --preset fuzz
cmake --build --preset fuzz

build=build/fuzz
work="$build/corpus"
mkdir -p "$work"
"$build/fuzz/fuzz_typedstream_seeds" "$work/fuzz_typedstream"

status=0
for target in fuzz_typedstream fuzz_phone_number fuzz_http_request; do
    binary="$build/fuzz/$target"
    if [ ! -x "$binary" ]; then
        echo "fuzz.sh: $target was not built, skipped" >&2
        continue
    fi
    corpus="$work/$target"
    findings="$build/findings/$target"
    mkdir -p "$corpus" "$findings"
    seeds=()
    if [ -d "fuzz/corpus/$target" ]; then
        seeds+=("fuzz/corpus/$target")
    fi
    echo "== $target for ${seconds}s"
    if ! "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" "${seeds[@]}"; then
        echo "fuzz.sh: $target found a failure; see $findings" >&2
        status=1
    fi
done
exit "$status"
