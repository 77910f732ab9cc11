#!/usr/bin/env bash
# Installs what is missing, builds Vask with AddressSanitizer and UndefinedBehaviorSanitizer, and
# runs the whole test suite: the unit and integration tests, the secret-storage test against a real
# Secret Service on a private session bus, the desktop-notification test against a notification
# server stand-in on another, the end-to-end run of the application (scripts/e2e.sh), the quit
# and special-file checks of the running application, and each fuzz target for a bounded time
# (VASK_FUZZ_SECONDS each, else a few seconds per target).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
# Every command the scripts below run, so that a missing one stops the run at once, by name.
for command in cmake ctest ninja clang clang++ sqlite3 pgrep setpriv flock mkfifo timeout base64 \
    zsh dbus-run-session dbus-send gnome-keyring-daemon /usr/bin/python3 localedef; do
    command -v "$command" >/dev/null || { echo "test.sh: $command is missing" >&2; exit 1; }
done
cmake --preset asan
cmake --build --preset asan
bash scripts/fuzz.sh ${VASK_FUZZ_SECONDS:+"$VASK_FUZZ_SECONDS"}
bash scripts/secret-service-test.sh build/asan
bash scripts/notification-server-test.sh build/asan
bash scripts/e2e.sh build/asan
bash scripts/quit-check.sh build/asan
bash scripts/special-files-check.sh build/asan
# Last, so that its summary closes the output. The end-to-end run, also a test of its own
# (label e2e), ran above on a machine with nothing else to do.
ctest --preset asan --label-exclude '^e2e$'
