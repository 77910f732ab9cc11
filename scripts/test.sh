#!/usr/bin/env bash
# Installs what is missing, builds Vask with AddressSanitizer and UndefinedBehaviorSanitizer, and
# runs the whole test suite: clang's check of every file (scripts/clang-check.sh), the unit and
# integration tests, the secret-storage test against a real Secret Service on a private session
# bus, the desktop-notification test against a notification server stand-in on another, the
# end-to-end run of the application (scripts/e2e.sh), the quit and special-file checks of the
# running application, a short soak of it (scripts/soak.sh), and each fuzz target for a bounded
# time (VASK_FUZZ_SECONDS each, else a few seconds per target).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
# Every command the scripts below run, so that a missing one stops the run at once, by name.
for command in cmake ctest ninja clang clang++ sqlite3 pgrep setpriv taskset flock mkfifo timeout \
    base64 zsh dbus-run-session dbus-send gnome-keyring-daemon /usr/bin/python3 /usr/bin/time \
    localedef; do
    command -v "$command" >/dev/null || { echo "test.sh: $command is missing" >&2; exit 1; }
done
cmake --preset asan
cmake --build --preset asan
# The tree must build with clang too: its front end over every file of ours, warnings as errors.
bash scripts/clang-check.sh build/asan
bash scripts/fuzz.sh ${VASK_FUZZ_SECONDS:+"$VASK_FUZZ_SECONDS"}
bash scripts/secret-service-test.sh build/asan
bash scripts/notification-server-test.sh build/asan
bash scripts/e2e.sh build/asan
bash scripts/quit-check.sh build/asan
bash scripts/special-files-check.sh build/asan
# The soak, short: the application over 30,000 messages for two minutes while a writer adds one
# every two seconds and a question comes every six; it fails when the application dies, a
# message is lost or stored twice, the shadow database fails its checks, or the application
# holds the database's index open without its lock.
SOAK_MESSAGES=30000 SOAK_IDLE_SECONDS=5 SOAK_LOCK_SECONDS=2 SOAK_QUESTION_TICKS=3 \
    SOAK_KEEP_FILES=0 bash scripts/soak.sh build/asan 2
# Last, so that its summary closes the output. The end-to-end run, also a test of its own
# (label e2e), ran above on a machine with nothing else to do.
# CTest counts a skipped test among the passed ones, and some tests skip unless run as root or
# where the system allows what they need: how many skipped, and why, is printed just before
# CTest's summary, which stays the last lines of the output.
results="$PWD/build/asan/ctest-results.xml"
rm -f "$results"
read -r -d '' skip_note <<'EOF' || true
import re, sys
import xml.etree.ElementTree as ElementTree

held = []
for line in iter(sys.stdin.readline, ""):
    if held or re.match(r"\d+% tests passed", line):
        held.append(line)
    else:
        sys.stdout.write(line)
        sys.stdout.flush()
reasons = {}
try:
    cases = ElementTree.parse(sys.argv[1]).getroot().iter("testcase")
except (OSError, ElementTree.ParseError):
    cases = []
for case in cases:
    if case.find("skipped") is None:
        continue
    # GoogleTest prints "<file>:<line>: Skipped", then the reason given, if any.
    found = re.search(r": Skipped\n(.*?)\n\s*(?:\n|\[  SKIPPED \])",
                      case.findtext("system-out") or "", re.S)
    reason = (found.group(1).strip() if found else "") or "no reason given"
    reasons.setdefault(reason, []).append(case.get("name"))
if reasons:
    count = sum(len(names) for names in reasons.values())
    print(f"\n{count} test{'s' if count != 1 else ''} skipped, counted as passed below:")
    for reason, names in sorted(reasons.items(), key=lambda item: -len(item[1])):
        print(f"  {len(names)} because {reason}: {', '.join(sorted(names))}")
    print()
sys.stdout.writelines(held)
EOF
ctest --preset asan --label-exclude '^e2e$' --output-junit "$results" \
    --test-output-size-passed 65536 | python3 -u -c "$skip_note" "$results"
