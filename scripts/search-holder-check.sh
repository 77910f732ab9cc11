#!/usr/bin/env bash
# Usage: scripts/search-holder-check.sh [BUILD_DIR] (default build/asan; VASK_SEARCH_ROUNDS,
# default 100). Runs Vask over the harness's stand-ins with file access on and a search command
# at /usr/bin/mdfind (an overlay in a mount namespace of the check's own, so nothing outside it
# sees one) that prints a warning, the matching files of its scopes, and leaves a process in a
# session of its own holding its output. Each round asks both chats (the main window's and the
# popover's) at once, so one chat's search ends while the other's helper starts. Every round must
# give both answers, Vask must stay alive, and no process a search left may outlive its search.
# Needs `unshare` (util-linux) and a kernel that mounts overlays in a user namespace (5.11 and
# later) when not run as root.
set -uo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${1:-build/asan}
ROUNDS=${VASK_SEARCH_ROUNDS:-100}
if [[ ${VASK_SEARCH_CHECK_INSIDE:-} != 1 ]]; then
    namespace=(unshare --mount --propagation private)
    if [[ $(id -u) -ne 0 ]]; then
        namespace=(unshare --user --map-root-user --mount --propagation private)
    fi
    exec env VASK_SEARCH_CHECK_INSIDE=1 "${namespace[@]}" bash "$0" "$@"
fi

source scripts/harness.sh
harness_tools_ok || { echo "0 passed, 1 failed"; exit 1; }
VASK="$(cd "$BUILD_DIR" && pwd)/src/app/vask"
ROOT=$(mktemp -d "${TMPDIR:-/tmp}/vask-search.XXXXXX")
APP_PID=

cleanup() {
    [[ -n $APP_PID ]] && kill -KILL "$APP_PID" 2>/dev/null
    harness_stop_stubs
    umount /usr/bin 2>/dev/null
    rm -rf "$ROOT"
}
trap cleanup EXIT

# The search command: what a real one prints besides paths, the matches, and a holder.
mkdir -p "$ROOT/bin"
cat >"$ROOT/bin/mdfind" <<SCRIPT
#!/bin/sh
echo "mdfind: index is being updated"
query=\$1
shift
while [ \$# -ge 2 ]; do
    [ "\$1" = -onlyin ] && find "\$2" -maxdepth 2 -type f -name '*ledger*'
    shift 2
done
setsid sleep 30 &
echo \$! >>"$ROOT/holders"
SCRIPT
chmod 755 "$ROOT/bin/mdfind"
if ! mount -t overlay overlay -o "lowerdir=$ROOT/bin:/usr/bin" /usr/bin; then
    echo "0 passed, 1 failed (no overlay for the search command)"
    exit 1
fi

INSTANCE="search-$$"
harness_prepare "$ROOT" "$INSTANCE"
export QT_QPA_PLATFORM=offscreen
export VASK_TEST_HOOKS=1
export VASK_TESTHOOK_LOG="$ROOT/testhook.log"
mkdir -p "$HOME/Documents"
printf 'Quarterly ledger: 1,204.50 in, 980.00 out.\n' >"$HOME/Documents/quarterly-ledger.txt"
python3 - "$XDG_CONFIG_HOME/vask/ai.ternwick.Vask.json" "fileAccessEnabled.$INSTANCE" <<'PYTHON'
import json, sys
settings = json.load(open(sys.argv[1]))
settings[sys.argv[2]] = True
json.dump(settings, open(sys.argv[1], "w"))
PYTHON
harness_start_stubs "$ROOT" || { echo "0 passed, 1 failed"; exit 1; }

send() { timeout 30 "$VASK" "$1" >>"$ROOT/senders.out" 2>&1; }
answers() { grep -c 'rendered response' "$VASK_TESTHOOK_LOG" 2>/dev/null || true; }
ended() { [[ $(grep -c -E 'rendered (response|failure|usage limit|response timeout)' \
    "$VASK_TESTHOOK_LOG" 2>/dev/null || true) -ge $1 ]]; }

"$VASK" >>"$ROOT/app.out" 2>&1 &
APP_PID=$!
if ! wait_for 60 log_grew '\[launch\] tray_installed' 0; then
    fail "Vask starts" "$(tail -n 3 "$ROOT/app.out")"
    echo "$passed passed, $failed failed"
    exit 1
fi

alive=1
for round in $(seq "$ROUNDS"); do
    send "vasktest://query?text=quarterly%20ledger%20total%20$round&chat=main" &
    first=$!
    # The second chat a random moment later, so that over the rounds one chat's search ends at
    # every point of the other's helper start.
    sleep "$(printf '0.%03d' $((RANDOM % 400)))"
    send "vasktest://query?text=what%20is%20in%20the%20ledger%20$round" &
    wait "$first" "$!"
    if ! wait_for 120 ended $((round * 2)); then
        fail "round $round ends" "$(tail -n 2 "$VASK_TESTHOOK_LOG")"
        break
    fi
    if ! kill -0 "$APP_PID" 2>/dev/null; then
        alive=0
        break
    fi
done

searches=$(log_count 'file_search_incomplete\|mdfind_error')
if ((alive)) && kill -0 "$APP_PID" 2>/dev/null; then
    pass "Vask is alive after $ROUNDS rounds of searches with a holder and helpers at once"
else
    wait "$APP_PID"
    fail "Vask is alive after the rounds" "ended with status $?"
    APP_PID=
fi
given=$(answers)
if [[ $given -eq $((ROUNDS * 2)) ]]; then
    pass "every answer given ($given)"
else
    fail "every answer given" "$given of $((ROUNDS * 2)); $(grep -c 'rendered failure' \
        "$VASK_TESTHOOK_LOG") failures, the first: $(grep -m1 -o 'rendered failure.*' \
        "$VASK_TESTHOOK_LOG")"
fi
holders=$(wc -l <"$ROOT/holders" 2>/dev/null || echo 0)
left=0
while read -r pid; do
    [[ -d /proc/$pid ]] && [[ $(cut -d' ' -f3 "/proc/$pid/stat" 2>/dev/null) != Z ]] &&
        left=$((left + 1))
done <"$ROOT/holders"
if [[ $holders -gt 0 && $left -eq 0 ]]; then
    pass "no holder of $holders outlived its search"
else
    fail "no holder outlived its search" "$left of $holders still running"
fi
if [[ $searches -eq 0 ]]; then
    pass "every search ended by itself"
else
    fail "every search ended by itself" "$searches incomplete or failed"
fi
if [[ -n $APP_PID ]]; then
    harness_timed_quit "after the rounds" "$APP_PID" TERM 3000
    APP_PID=
fi
echo "$passed passed, $failed failed"
((failed == 0))
