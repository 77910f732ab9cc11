#!/usr/bin/env bash
# Under X11 a second `vask` hands the startup id its launcher gave it (DESKTOP_STARTUP_ID) to the
# running Vask, which brings its window forward with it. Both run on Qt's xcb platform on an Xvfb
# of their own: there the toolkit takes the id out of the environment while the application
# object is made, so a launch that read it afterwards sent none (offscreen, nothing removes it).
# The running Vask's log names the id each reopen brought. Runs over the stand-ins of
# scripts/harness.sh; test ui.startup_id_x11.
#
#   bash scripts/startup-id-check.sh [BUILD_DIR]     (default build/asan)
set -uo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${1:-build/asan}
source scripts/harness.sh
harness_tools_ok || exit 1
for command in Xvfb xdotool sqlite3; do
    command -v "$command" >/dev/null || { echo "startup-id-check: $command is missing" >&2; exit 1; }
done

ROOT=$(mktemp -d "${TMPDIR:-/tmp}/vask-startup-id.XXXXXX")
APP_PID=
XVFB_PID=
finish() {
    if [[ -n $APP_PID ]]; then
        kill -TERM "$APP_PID" 2>/dev/null
        wait_for 20 eval '! kill -0 "$APP_PID" 2>/dev/null' || kill -KILL "$APP_PID" 2>/dev/null
        wait "$APP_PID" 2>/dev/null
    fi
    harness_stop_stubs
    if [[ -n $XVFB_PID ]]; then
        kill "$XVFB_PID" 2>/dev/null
        wait "$XVFB_PID" 2>/dev/null
    fi
    rm -rf "$ROOT"
}
trap finish EXIT

# A display no other server holds.
number=$((90 + $$ % 100))
while [[ -e /tmp/.X11-unix/X$number || -e /tmp/.X$number-lock ]]; do
    number=$((number + 1))
done
export DISPLAY=":$number"
Xvfb "$DISPLAY" -screen 0 1366x768x24 -nolisten tcp >"$ROOT/xvfb.out" 2>&1 &
XVFB_PID=$!
display_up() { xdotool getdisplaygeometry >/dev/null 2>&1; }
if ! wait_for 30 display_up; then
    fail "Xvfb starts on $DISPLAY" "$(tail -n 2 "$ROOT/xvfb.out")"
    exit 1
fi

harness_prepare "$ROOT" startup-id-check
harness_start_stubs "$ROOT" || exit 1
export QT_QPA_PLATFORM=xcb
unset DESKTOP_STARTUP_ID XDG_ACTIVATION_TOKEN

"$BUILD_DIR/src/app/vask" >"$ROOT/vask.out" 2>&1 &
APP_PID=$!
if ! wait_for 60 grep -qs 'tray_installed' "$VASK_LOG_FILE"; then
    fail "Vask runs on the xcb platform" "$(tail -n 3 "$ROOT/vask.out")"
    exit 1
fi
if ! grep -qs 'app_started' "$VASK_LOG_FILE"; then
    fail "Vask runs on the xcb platform" "no app_started in its log"
    exit 1
fi

# Two launches, as a desktop's launcher makes them: each reopen names its own id.
for n in 1 2; do
    id="vask-check-$$-$n-$(hostname)_TIME$((4242 + n))"
    DESKTOP_STARTUP_ID=$id timeout 30 "$BUILD_DIR/src/app/vask" >"$ROOT/launch-$n.out" 2>&1
    status=$?
    if [[ $status -eq 0 ]]; then
        pass "launch $n hands its URL-less reopen to the running Vask"
    else
        fail "launch $n hands its URL-less reopen to the running Vask" \
            "status $status: $(tail -n 2 "$ROOT/launch-$n.out")"
    fi
    if wait_for 20 grep -q "launch_reopen.*startup_id=$id" "$VASK_LOG_FILE"; then
        pass "the running Vask gets launch $n's startup id under X11"
    else
        fail "the running Vask gets launch $n's startup id under X11" \
            "$(grep launch_reopen "$VASK_LOG_FILE" | tail -n 1)"
    fi
done

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
