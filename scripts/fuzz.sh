#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer) and runs each
# for a bounded time. Usage: scripts/fuzz.sh [seconds per target]
# Without an argument each target runs for its own few seconds (about a minute and a half in all,
# as the test command wants); with one, every target runs that long, for longer runs by hand.
# The targets run side by side, as many at once as there are cores; each one's output is kept in
# build/fuzz/logs/<target>.log and printed when it fails.
# A crash, a sanitizer report, a leak, an input over the time-out or over the memory limit is a
# finding: it is written to build/fuzz/findings/<target>/ and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."

# The targets, each with its seconds in the test command: the readers that do more for one input
# (calendar expansion, archives and markup) get longer; page drawing starts a process per input.
targets=(
    fuzz_typedstream:8
    fuzz_phone_number:5
    fuzz_http_request:5
    fuzz_vcard:8
    fuzz_text_decoding:8
    fuzz_ics:15
    fuzz_rich_text:10
    fuzz_word_processor:12
    fuzz_inline_markdown:8
    fuzz_benchmark_corpus:8
    fuzz_rlm_response:8
    fuzz_page_drawing:10
    fuzz_page_png:8
)

seconds="${1:-}"
if [ -n "$seconds" ] && { ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; }; then
    echo "usage: scripts/fuzz.sh [seconds per target]" >&2
    exit 2
fi

cmake --preset fuzz
cmake --build --preset fuzz

build=build/fuzz
work="$build/corpus"
mkdir -p "$work"
"$build/fuzz/fuzz_typedstream_seeds" "$work/fuzz_typedstream"

# One target at a time per core: each libFuzzer run is single-threaded and bounded by wall time,
# so running them side by side finishes sooner without giving any target fewer seconds.
parallel=$(nproc 2>/dev/null || echo 1)
logs="$build/logs"
mkdir -p "$logs"

# fuzz_one TARGET SECONDS: runs one target, its output in $logs/TARGET.log; fails on a finding.
fuzz_one() {
    local target=$1 budget=$2
    local binary="$build/fuzz/$target" corpus="$work/$target" findings="$build/findings/$target"
    mkdir -p "$corpus" "$findings"
    local seeds=()
    if [ -d "fuzz/corpus/$target" ]; then
        seeds+=("fuzz/corpus/$target")
    fi
    # libFuzzer exits non-zero for every kind of finding; a run cut short by a signal is one too.
    "$binary" -max_total_time="$budget" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" "${seeds[@]}" \
        >"$logs/$target.log" 2>&1
}

started=()
pids=()
for entry in "${targets[@]}"; do
    target="${entry%%:*}"
    budget="${seconds:-${entry##*:}}"
    if [ ! -x "$build/fuzz/$target" ]; then
        echo "fuzz.sh: $target was not built, skipped" >&2
        continue
    fi
    while [ "$(jobs -pr | wc -l)" -ge "$parallel" ]; do
        wait -n || true
    done
    echo "== $target for ${budget}s"
    fuzz_one "$target" "$budget" &
    started+=("$target")
    pids+=("$!")
done

status=0
for i in "${!started[@]}"; do
    target="${started[$i]}"
    if wait "${pids[$i]}"; then
        echo "== $target: $(grep -E '^stat::number_of_executed_units' "$logs/$target.log" || echo done)"
    else
        cat "$logs/$target.log" >&2
        echo "fuzz.sh: $target found a failure; see $build/findings/$target" >&2
        status=1
    fi
done
exit "$status"
