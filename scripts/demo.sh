#!/usr/bin/env bash
# Starts Vask as a separate instance ("demo") over the stand-ins of scripts/harness.sh: a
# Messages history of hand-written conversations and an address book, the stand-in RLM helper and stand-in cloud and
# relay servers on 127.0.0.1, signed in with a made-up account. Nothing of the user's own is read
# or written; everything lives in one temporary folder, removed when Vask quits. It runs on the
# desktop's session bus (notifications, tray icon, appearance); the account stays in the demo's
# own credential file, never in the user's keyring.
#
#   bash scripts/demo.sh [BUILD_DIR]     (default build/dev)
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${1:-build/dev}
source scripts/harness.sh
harness_tools_ok

ROOT=$(mktemp -d "${TMPDIR:-/tmp}/vask-demo.XXXXXX")
APP_PID=
finish() {
    if [[ -n $APP_PID ]]; then
        kill -TERM "$APP_PID" 2>/dev/null || true
        # Its folders go only once it has quit.
        for _ in $(seq 1 100); do
            kill -0 "$APP_PID" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$APP_PID" 2>/dev/null || true
        wait "$APP_PID" 2>/dev/null || true
    fi
    harness_stop_stubs
    rm -rf "$ROOT"
}
trap finish EXIT
trap 'exit 130' INT TERM

HARNESS_DESKTOP=1 harness_prepare "$ROOT" demo
harness_start_stubs "$ROOT"
# The test hooks let this script ask for the first contacts synchronisation; their log stays in
# the demo's folder.
export VASK_TEST_HOOKS=1
export VASK_TESTHOOK_LOG="$ROOT/testhook.log"

echo "demo: a year of conversations with friends, family, a work group and a book club, with contacts for everyone in them"
echo "demo: Maya Chen, Hana Sato and Mom are waiting on a reply"
echo "demo: stand-ins answer for the RLM helper, the cloud ($VASK_CLOUD_BASE_URL) and the relay ($VASK_RELAY_BASE_URL)"
echo "demo: ask about dinner, the book club or the van; the answer cites the messages found"
echo "demo: log in $VASK_LOG_FILE; everything goes when Vask quits"

"$BUILD_DIR/src/app/vask" &
APP_PID=$!
for _ in $(seq 1 300); do
    grep -q 'tray_installed' "$VASK_LOG_FILE" 2>/dev/null && break
    kill -0 "$APP_PID" 2>/dev/null || break
    sleep 0.1
done
timeout 20 "$BUILD_DIR/src/app/vask" "vasktest://contacts" || true
status=0
wait "$APP_PID" || status=$?
APP_PID=
exit "$status"
