#!/usr/bin/env bash
# Runs the secret-storage tests against a real Secret Service: a private session bus with
# gnome-keyring unlocked by a throw-away password, in a throw-away home, so the user's own
# keyring is never touched. The Secret Service test must run here; a skip is a failure. Then,
# on a second private bus in another empty home, gnome-keyring started on demand with no
# keyring at all: credentials kept in the file must open no prompt there. On a third, a
# Secret Service stand-in (scripts/secret-service-standin.py) whose default keyring is locked
# and holds Vask's items out of sight (as a login keyring locked at start does), and whose unlock
# prompt never completes: reads must say locked and open no prompt, and a quit must not wait
# for the prompt the user asked for, and dismisses it. On a fourth, a stand-in that hides its items
# while locked and whose prompt unlocks: a sign-out behind it must hold through the unlock, a
# damaged record of removals must stay while the items may be there, and no items with no
# sign-in recorded must read as signed out. On a fifth, the credential model over the bus
# (tests/shell/credential_bus_model_test.cpp) starts, stops and drives stand-ins of its own.
# Usage: scripts/secret-service-test.sh [build folder]   (default: build/asan)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/private-bus.sh
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

# A desktop whose keyring starts on demand and has none yet: the bus starts gnome-keyring when
# the test first asks for the Secret Service.
mkdir -p "$scratch/on-demand-home" "$scratch/on-demand-runtime"
chmod 700 "$scratch/on-demand-runtime"
HOME="$scratch/on-demand-home" XDG_DATA_HOME="$scratch/on-demand-home/.local/share" \
    XDG_RUNTIME_DIR="$scratch/on-demand-runtime" VASK_ON_DEMAND_KEYRING=1 \
    dbus-run-session -- ctest --test-dir "$build" -R "^SecretServicePromptTest\." \
    --output-on-failure --no-tests=error

# A locked keyring holding Vask's customer token, with a prompter that never answers.
service="ai.ternwick.Vask.locked-test"
printf '{"%s": {"corvane.customer.token": "%s"}}\n' "$service" "$(printf tok | base64)" \
    >"$scratch/locked-items.json"
mkdir -p "$scratch/locked-home" "$scratch/locked-runtime"
chmod 700 "$scratch/locked-runtime"
HOME="$scratch/locked-home" XDG_DATA_HOME="$scratch/locked-home/.local/share" \
    XDG_RUNTIME_DIR="$scratch/locked-runtime" VASK_LOCKED_KEYRING_SERVICE="$service" \
    dbus-run-session -- bash -c '
    set -euo pipefail
    /usr/bin/python3 scripts/secret-service-standin.py --locked --hide-locked --items "$1" \
        --log "$2" >"$2.out" 2>&1 &
    standin=$!
    trap "kill $standin 2>/dev/null" EXIT
    deadline=$((SECONDS + 30))
    until grep -q ready "$2.out" 2>/dev/null; do
        if ((SECONDS >= deadline)) || ! kill -0 "$standin" 2>/dev/null; then
            echo "secret-service-test: the stand-in Secret Service did not come up" >&2
            cat "$2.out" >&2
            exit 1
        fi
        sleep 0.1
    done
    ctest --test-dir "$0" -R "^SecretServiceLockedTest\." --output-on-failure --no-tests=error \
        --timeout 120
' "$build" "$scratch/locked-items.json" "$scratch/standin.log"

# A keyring that hides its items while locked, as a login keyring locked at start does, and whose
# prompt unlocks at once: each test stores its account, locks it, signs out or finds nothing, and
# unlocks.
mkdir -p "$scratch/hidden-home" "$scratch/hidden-runtime"
chmod 700 "$scratch/hidden-runtime"
HOME="$scratch/hidden-home" XDG_DATA_HOME="$scratch/hidden-home/.local/share" \
    XDG_RUNTIME_DIR="$scratch/hidden-runtime" VASK_HIDDEN_KEYRING=1 \
    dbus-run-session -- bash -c '
    set -euo pipefail
    /usr/bin/python3 scripts/secret-service-standin.py --hide-locked --prompt-unlocks \
        >"$1.out" 2>&1 &
    standin=$!
    trap "kill $standin 2>/dev/null" EXIT
    deadline=$((SECONDS + 30))
    until grep -q ready "$1.out" 2>/dev/null; do
        if ((SECONDS >= deadline)) || ! kill -0 "$standin" 2>/dev/null; then
            echo "secret-service-test: the hiding stand-in Secret Service did not come up" >&2
            cat "$1.out" >&2
            exit 1
        fi
        sleep 0.1
    done
    ctest --test-dir "$0" -R "^SecretServiceHiddenTest\." --output-on-failure --no-tests=error \
        --timeout 120
' "$build" "$scratch/hidden-standin"

# The credential model over the bus: a bus that starts no keyring of its own (no service files),
# so a stand-in killed is no Secret Service at all until the test starts another.
mkdir -p "$scratch/model-home" "$scratch/model-runtime" "$scratch/model-bus"
chmod 700 "$scratch/model-runtime"
private_bus_config "unix:tmpdir=$scratch/model-bus" >"$scratch/model-bus/session.conf"
HOME="$scratch/model-home" XDG_DATA_HOME="$scratch/model-home/.local/share" \
    XDG_RUNTIME_DIR="$scratch/model-runtime" \
    VASK_SECRET_SERVICE_STANDIN="$PWD/scripts/secret-service-standin.py" \
    dbus-run-session --config-file="$scratch/model-bus/session.conf" -- \
    ctest --test-dir "$build" -R "^SecretServiceModelTest\." --output-on-failure \
    --no-tests=error --timeout 1200
