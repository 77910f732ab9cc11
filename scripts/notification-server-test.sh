#!/usr/bin/env bash
# Runs the desktop-notification tests against a real notification server stand-in: a private
# session bus with python3-dbusmock's notification template on it. The tests must run here; a
# skip is a failure.
# Usage: scripts/notification-server-test.sh [build folder]   (default: build/asan)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/asan}"

# The Debian interpreter, where the setup script installed python3-dbusmock (a python3 earlier on
# PATH may not have it).
python=/usr/bin/python3
[ -x "$python" ] || python=python3

export VASK_REQUIRE_NOTIFICATION_SERVER=1
dbus-run-session -- bash -c '
    set -euo pipefail
    "$1" -m dbusmock --template notification_daemon >/dev/null 2>&1 &
    server=$!
    trap "kill $server 2>/dev/null || true" EXIT
    for _ in $(seq 100); do
        if dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.NameHasOwner string:org.freedesktop.Notifications 2>/dev/null |
            grep -q "boolean true"; then
            break
        fi
        sleep 0.1
    done
    ctest --test-dir "$0" -R "^FreedesktopNotificationTest\." --output-on-failure --no-tests=error
' "$build" "$python"
