#!/usr/bin/env bash
# The end-to-end run: starts the real application offscreen over the stand-ins of
# scripts/harness.sh, steers it with "vasktest:" URLs sent by a second `vask URL`, and reads the
# outcomes from its test log. Every wait is bounded. Prints one "N passed, N failed" line and
# exits non-zero when any check failed.
#
#   bash scripts/e2e.sh [BUILD_DIR]     (default build/asan, the test command's build)
set -uo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${1:-build/asan}
source scripts/harness.sh
harness_tools_ok || { echo "0 passed, 1 failed"; exit 1; }

ROOT=$(mktemp -d "${TMPDIR:-/tmp}/vask-e2e.XXXXXX")
INSTANCE="e2e-$$"
VASK="$BUILD_DIR/src/app/vask"
APP_PID=

cleanup() {
    stop_app >/dev/null 2>&1
    harness_stop_stubs
    if [[ $failed -eq 0 && -z ${VASK_E2E_KEEP:-} ]]; then
        rm -rf "$ROOT"
    else
        echo "e2e: files kept in $ROOT" >&2
    fi
}
trap cleanup EXIT

# The test log's records, one per line with line breaks shown as "\n": each
# "[YYYY-MM-DD HH:MM:SS +0000] " starts a record, continuation lines begin with a blank.
records() {
    [[ -f $TESTHOOK_LOG ]] || return 0
    awk '
        /^\[[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9] \+0000\] / {
            if (n++) print rec
            rec = substr($0, 29)
            next
        }
        { sub(/^ /, ""); rec = rec "\\n" $0 }
        END { if (n) print rec }
    ' "$TESTHOOK_LOG"
}
record_count() { records | wc -l; }
# The first record after the first AFTER records that starts with PREFIX.
record_after() {
    records | tail -n +"$(($1 + 1))" | awk -v p="$2" 'index($0, p) == 1 { print; found = 1; exit }
        END { exit !found }'
}
has_record_after() { record_after "$1" "$2" >/dev/null; }
# A second launch hands its URL to the running instance and exits; on a loaded machine a
# sanitizer build's start alone can take seconds.
send() { timeout 60 "$VASK" "$1" >>"$ROOT/senders.out" 2>&1; }

# Starts the application and waits until it takes URLs.
start_app() {
    local started
    started=$(log_count '\[launch\] tray_installed')
    "$VASK" >>"$ROOT/app.out" 2>&1 &
    APP_PID=$!
    wait_for 60 log_grew '\[launch\] tray_installed' "$started"
}

# Stops the application with SIGTERM; its exit status, or 124 when it did not quit in time.
stop_app() {
    [[ -n $APP_PID ]] || return 0
    local pid=$APP_PID status=124
    APP_PID=
    kill -TERM "$pid" 2>/dev/null
    if wait_for 30 bash -c "! kill -0 $pid 2>/dev/null"; then
        wait "$pid"
        status=$?
    else
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    fi
    return $status
}

harness_prepare "$ROOT" "$INSTANCE"
export QT_QPA_PLATFORM=offscreen
harness_start_stubs "$ROOT" || { fail "stand-in servers start"; echo "$passed passed, $failed failed"; exit 1; }

# --- With the hooks on --------------------------------------------------------------------
export VASK_TEST_HOOKS=1
export TESTHOOK_LOG="$ROOT/testhook.log"
export VASK_TESTHOOK_LOG="$TESTHOOK_LOG"

if start_app; then pass "application starts offscreen"; else fail "application starts offscreen"; fi
if wait_for 30 log_grew '\[launch\] launch_open_main' 0; then
    pass "the main window opens (signed in, onboarding done)"
else
    fail "the main window opens (signed in, onboarding done)"
fi
if wait_for 60 log_grew 'shadow_sync_complete' 0; then
    pass "the sample history is synchronised"
else
    fail "the sample history is synchronised"
fi

# Contacts first (the awaiting list and citations read the contacts database), then a change in
# the Messages folder so that the awaiting list is loaded again.
awaiting_before=$(log_count 'awaiting_reply_loaded')
send "vasktest://contacts"
if wait_for 30 log_grew 'contacts_sync_complete' 0; then
    pass "contacts command synchronises contacts"
else
    fail "contacts command synchronises contacts"
fi
: >"$HOME/Library/Messages/.e2e-change" && rm -f "$HOME/Library/Messages/.e2e-change"
wait_for 30 log_grew 'awaiting_reply_loaded' "$awaiting_before" ||
    fail "awaiting list reloads after a Messages change"

# A question over the sample history, asked as a newcomer would, answered by the stand-in helper
# with citations: the messages about dinner, not the twenty (its limit) that share a common word
# with the sentence.
mark=$(record_count)
citations_before=$(log_count 'citations_resolved')
send "vasktest://query?text=Where%20did%20we%20have%20dinner%3F"
if wait_for 60 has_record_after "$mark" "rendered "; then
    outcome=$(record_after "$mark" "rendered ")
    if [[ $outcome =~ ^rendered\ response:\ Found\ ([0-9]+)\ matching\ messages\.$ ]] &&
        ((BASH_REMATCH[1] > 0 && BASH_REMATCH[1] < 20)); then
        found=${BASH_REMATCH[1]}
        pass "query renders the stand-in's answer ($outcome)"
    else
        fail "query renders the stand-in's answer" "$outcome"
    fi
else
    fail "query renders within 60 s" "$(records | tail -n 3 | tr '\n' '|')"
fi
# The helper's evidence names the messages it found; each must resolve to a message of the
# synchronised sample history.
found=${found:-none}
if wait_for 30 log_grew 'citations_resolved' "$citations_before" &&
    grep 'citations_resolved' "$VASK_LOG_FILE" | tail -n 1 |
    grep -Eq "selected_message_guids=$found supporting_messages=$found( |$)"; then
    pass "the answer cites messages of the sample history"
else
    fail "the answer cites messages of the sample history" \
        "$(grep 'citation' "$VASK_LOG_FILE" | tail -n 2 | tr '\n' '|')"
fi

# Commands are case-sensitive: "New" does nothing beyond the first line.
mark=$(record_count)
send "vasktest://New"
send "vasktest://notify?count=3"
if wait_for 20 has_record_after "$mark" "firing sample notification count=3" &&
    [[ $(records | tail -n +"$((mark + 1))" | head -n 2 | sed 's/ enabled=.*//' | tr '\n' '|') == \
        "handle url=vasktest://New|handle url=vasktest://notify?count=3|" ]]; then
    pass "a command differing in case does nothing"
else
    fail "a command differing in case does nothing" "$(records | tail -n 4 | tr '\n' '|')"
fi
# The notifier may announce the history's own waiting conversations too; the sample is the one
# naming these three people.
summary_posts() {
    grep -c '"body":"Maya, Theo, Priya","event":"post".*"title":"3 people are waiting on a reply"' \
        "$VASK_NOTIFICATION_SINK" 2>/dev/null || true
}
# Whether it was posted once only is counted once the application has quit (below), when no
# later post can come.
if ! wait_for 20 bash -c "grep -q '\"body\":\"Maya, Theo, Priya\"' '$VASK_NOTIFICATION_SINK' 2>/dev/null"; then
    fail "notify?count=3 posts a summary notification" "$(cat "$VASK_NOTIFICATION_SINK" 2>/dev/null)"
fi

# A draft for the first conversation awaiting a reply, written through the stand-in relay.
mark=$(record_count)
send "vasktest://draft"
if wait_for 40 has_record_after "$mark" "draft"; then
    outcome=$(record_after "$mark" "draft")
    if [[ $outcome =~ ^draft\ for\ .+\ \(re:\ \".*\"\):\ Sounds\ good,\ see\ you\ there!$ ]]; then
        pass "draft drafts for the first awaiting conversation"
    else
        fail "draft drafts for the first awaiting conversation" "$outcome"
    fi
else
    fail "draft answers within 40 s"
fi

# Signed out, a question fails.
mark=$(record_count)
send "vasktest://signout"
send "vasktest://query?text=dinner"
if wait_for 60 has_record_after "$mark" "rendered "; then
    outcome=$(record_after "$mark" "rendered ")
    if [[ $outcome == "rendered failure: "* ]]; then
        pass "signout then query renders a failure"
    else
        fail "signout then query renders a failure" "$outcome"
    fi
else
    fail "signout then query renders within 60 s" "$(records | tail -n 3 | tr '\n' '|')"
fi

stop_app
status=$?
if [[ $status -eq 0 ]]; then pass "SIGTERM quits cleanly"; else fail "SIGTERM quits cleanly" "status $status"; fi
if [[ $(summary_posts) -eq 1 ]]; then
    pass "notify?count=3 posts one summary notification"
else
    fail "notify?count=3 posts one summary notification" "$(cat "$VASK_NOTIFICATION_SINK" 2>/dev/null)"
fi

if [[ $(stat -c %a "$TESTHOOK_LOG" 2>/dev/null) == 600 ]]; then
    pass "the test log is private to its owner"
else
    fail "the test log is private to its owner" "$(stat -c %a "$TESTHOOK_LOG" 2>&1)"
fi

# --- With the hooks off: nothing is written and no file is created ---------------------------
export VASK_TEST_HOOKS=0
export TESTHOOK_LOG="$ROOT/testhook-off.log"
export VASK_TESTHOOK_LOG="$TESTHOOK_LOG"
posts_before=$(grep -c '"event":"post"' "$VASK_NOTIFICATION_SINK" 2>/dev/null || true)
ignored_before=$(log_count 'url_ignored')
if start_app; then
    send "vasktest://notify?count=3"
    send "vasktest://query?text=dinner"
    ignored=no
    wait_for 30 log_grew 'url_ignored' "$((ignored_before + 1))" && ignored=yes
    # Looked at once the application has quit, when nothing more can be written.
    stop_app || true
    if [[ $ignored == yes && ! -e $TESTHOOK_LOG ]] &&
        [[ $(grep -c '"event":"post"' "$VASK_NOTIFICATION_SINK" 2>/dev/null || true) -eq $posts_before ]]; then
        pass "with the hooks off nothing is written and no file is created"
    else
        fail "with the hooks off nothing is written and no file is created" "both URLs ignored: $ignored"
    fi
else
    fail "application starts with the hooks off"
fi

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
