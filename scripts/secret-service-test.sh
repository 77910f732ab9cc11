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
    ctest --test-dir "$0" -R "^SecretServiceTest\." --output-on-failure --no-tests=error
' "$build"
