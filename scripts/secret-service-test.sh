#!/usr/bin/env bash
# Runs the secret-storage tests against a real Secret Service: a private session bus with
# gnome-keyring unlocked by a throw-away password, in a throw-away home, so the user's own
# keyring is never touched. The Secret Service test must run here; a skip is a failure.
# Usage: scripts/secret-service-test.sh [build folder]   (default: build/asan)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/asan}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/home" "$scratch/runtime"
chmod 700 "$scratch/runtime"

export HOME="$scratch/home" XDG_DATA_HOME="$scratch/home/.local/share" \
    XDG_RUNTIME_DIR="$scratch/runtime" VASK_REQUIRE_SECRET_SERVICE=1
dbus-run-session -- bash -c '
    set -euo pipefail
    echo -n x | gnome-keyring-daemon --unlock --components=secrets >/dev/null
    # The tests need the unlocked daemon on the bus, not one the bus would start on demand.
    deadline=$((SECONDS + 120))
    until dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null |
        grep -q "boolean true"; do
        if ((SECONDS >= deadline)); then
            echo "secret-service-test: the Secret Service did not come up" >&2
            exit 1
        fi
        sleep 0.1
    done
    ctest --test-dir "$0" -R "^SecretServiceTest\." --output-on-failure --no-tests=error
' "$build"
