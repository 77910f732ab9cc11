#!/usr/bin/env bash
# The checks run Vask cut off from the desktop (no session bus, notifications to a file); the
# demo keeps the desktop's bus and notification server, and its made-up account in its own
# credential file whatever keyring the desktop runs. The checks leave the choice to the bus they
# give Vask (none: the file; a private one with a Secret Service: that service).
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/harness.sh
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
status=0
expect() {  # expect WHAT ACTUAL WANTED
    if [[ $2 != "$3" ]]; then
        echo "FAIL $1: '$2', wanted '$3'"
        status=1
    fi
}
desktop_bus="unix:path=/run/user/1000/bus"
for mode in checks demo; do
    (
        export DBUS_SESSION_BUS_ADDRESS=$desktop_bus VASK_NOTIFICATION_SINK=/elsewhere
        export VASK_CREDENTIAL_STORE=keyring
        if [[ $mode == demo ]]; then
            HARNESS_DESKTOP=1 harness_environment "$root" demo
            bus=$desktop_bus sink=unset store=file
        else
            harness_environment "$root" checks
            bus="unix:path=$root/no-session-bus" sink="$root/notifications.jsonl" store=unset
        fi
        expect "$mode bus" "$DBUS_SESSION_BUS_ADDRESS" "$bus"
        expect "$mode notifications" "${VASK_NOTIFICATION_SINK-unset}" "$sink"
        expect "$mode credentials" "${VASK_CREDENTIAL_STORE-unset}" "$store"
        exit $status
    ) || status=1
done
exit $status
