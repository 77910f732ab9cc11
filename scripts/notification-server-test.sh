#!/usr/bin/env bash
# Runs the desktop-notification tests against a real notification server stand-in:
# python3-dbusmock's notification template on private session buses. First with the server
# running (posting, taps, withdrawal, markup escaping), then on a bus whose service folder only
# names it, so that the first post has the bus start it (the activation case). The tests must
# run here; a skip is a failure.
# Usage: scripts/notification-server-test.sh [build folder]   (default: build/asan)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/private-bus.sh
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
    # The tests need the server on the bus; a loaded machine may take many seconds to start it.
    deadline=$((SECONDS + 120))
    until dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.Notifications 2>/dev/null |
        grep -q "boolean true"; do
        if ((SECONDS >= deadline)) || ! kill -0 "$server" 2>/dev/null; then
            echo "notification-server-test: the notification server did not come up" >&2
            exit 1
        fi
        sleep 0.1
    done
    ctest --test-dir "$0" -R "^FreedesktopNotificationTest\." --output-on-failure --no-tests=error
' "$build" "$python"
unset VASK_REQUIRE_NOTIFICATION_SERVER

# The activation case: a bus of its own whose configuration names a service folder holding a
# .service file for the template, and no server running.
bus=$(mktemp -d)
trap 'rm -rf "$bus"' EXIT
mkdir "$bus/services"
cat >"$bus/services/org.freedesktop.Notifications.service" <<SERVICE
[D-BUS Service]
Name=org.freedesktop.Notifications
Exec=$python -m dbusmock --template notification_daemon
SERVICE
private_bus_config "unix:tmpdir=$bus" "$bus/services" >"$bus/session.conf"
VASK_REQUIRE_ACTIVATABLE_NOTIFICATION_SERVER=1 \
    dbus-run-session --config-file="$bus/session.conf" -- \
    ctest --test-dir "$build" -R "^FreedesktopNotificationActivationTest\." \
    --output-on-failure --no-tests=error 2>&1 | grep -v "Failed to set fd limit"
