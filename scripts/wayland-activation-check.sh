#!/usr/bin/env bash
# Vask's windows brought forward under a real Wayland compositor: a headless sway (no GPU, no
# input devices, a 1024x600 output at twice the scale) with windows in a tabbed container, where
# tests/ui/wayland_activation_check.cpp hides Vask's window behind another client's and brings it
# forward with a launcher's token and from the tray. sway refuses to run as root: run by root,
# it runs as the unprivileged user nobody, and the test (root) still reaches its sockets. Test
# ui.activation_wayland.
#
#   bash scripts/wayland-activation-check.sh [BUILD_DIR]     (default build/asan)
set -uo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${1:-build/asan}
CHECK="$BUILD_DIR/tests/ui/vask_wayland_activation_check"
for command in sway swaymsg; do
    command -v "$command" >/dev/null || {
        echo "wayland-activation-check: $command is missing (scripts/setup.sh installs sway)" >&2
        exit 1
    }
done
[[ -x $CHECK ]] || { echo "wayland-activation-check: $CHECK is not built" >&2; exit 1; }

ROOT=$(mktemp -d "${TMPDIR:-/tmp}/vask-wayland.XXXXXX")
SWAY_PID=
finish() {
    if [[ -n $SWAY_PID ]]; then
        kill "$SWAY_PID" 2>/dev/null
        wait "$SWAY_PID" 2>/dev/null
    fi
    rm -rf "$ROOT"
}
trap finish EXIT

# The compositor's runtime folder is its own; the test's is another.
mkdir -p "$ROOT/sway-runtime" "$ROOT/test-runtime"
chmod 700 "$ROOT/sway-runtime" "$ROOT/test-runtime"
chmod 755 "$ROOT"
cat >"$ROOT/sway.conf" <<'CONF'
output HEADLESS-1 resolution 1024x600 scale 2
workspace_layout tabbed
CONF
chmod 644 "$ROOT/sway.conf"

as_compositor=()
if [[ $(id -u) -eq 0 ]]; then
    chown nobody: "$ROOT/sway-runtime"
    as_compositor=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
env -i PATH="$PATH" HOME="$ROOT" XDG_RUNTIME_DIR="$ROOT/sway-runtime" WLR_BACKENDS=headless \
    WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
    "${as_compositor[@]}" sway -c "$ROOT/sway.conf" >"$ROOT/sway.out" 2>&1 &
SWAY_PID=$!

socket=
for _ in $(seq 1 200); do
    socket=$(find "$ROOT/sway-runtime" -maxdepth 1 -name 'sway-ipc.*.sock' -print -quit 2>/dev/null)
    display=$(find "$ROOT/sway-runtime" -maxdepth 1 -name 'wayland-*' ! -name '*.lock' -print -quit 2>/dev/null)
    [[ -n $socket && -n $display ]] && break
    kill -0 "$SWAY_PID" 2>/dev/null || break
    sleep 0.05
done
if [[ -z $socket || -z $display ]]; then
    echo "wayland-activation-check: sway did not start" >&2
    tail -n 5 "$ROOT/sway.out" >&2
    exit 1
fi

# Qt's Wayland platform keeps the compositor's globals to the end: its leaks are told apart by
# their whole stacks (the fast unwinder stops in libwayland-client, which Vask's own use too).
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}fast_unwind_on_malloc=0"
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$PWD/tests/ui/wayland_lsan_suppressions.txt"

# A whole path in WAYLAND_DISPLAY: the test's own runtime folder is not the compositor's.
env -u DISPLAY SWAYSOCK="$socket" WAYLAND_DISPLAY="$display" XDG_RUNTIME_DIR="$ROOT/test-runtime" \
    QT_QPA_PLATFORM=wayland "$CHECK"
status=$?
if ((status != 0)); then
    echo "--- sway's log (last lines)" >&2
    tail -n 20 "$ROOT/sway.out" >&2
fi
exit "$status"
