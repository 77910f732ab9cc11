#!/usr/bin/env bash
# Files that are not what Vask expects, and locks that are not Vask's: starts the application
# offscreen over the stand-ins of scripts/harness.sh and checks that
#   - a question answered by the bundled helper (the Deno variant, from a bundle laid out beside a
#     copy of the executable) answers while another user holds a lock on the shared temporary
#     folder, that another user's entries there are left alone, and that a quit during such a
#     question is quick;
#   - a FIFO at shadow.db, sessions.db, the settings file, credentials.json and the log file is
#     refused with a message naming it (the start or the question goes on, or stops saying why)
#     and left where it is, and the quit that follows is quick.
#   - a garbled single-instance lock does not keep Vask from starting, and a damaged, huge or
#     random socket-path record does not keep a later launch from handing over to it.
# Each quit must end with status 0 within the limit (2 s in a sanitizer build, 1 s otherwise).
# Needs root for the other user (setpriv to nobody); that case is skipped, saying so, without it.
# Prints one "N passed, N failed" line.
#
#   bash scripts/special-files-check.sh [BUILD_DIR]     (default build/asan)
set -uo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${1:-build/asan}
source scripts/harness.sh
harness_tools_ok || { echo "0 passed, 1 failed"; exit 1; }

VASK="$(cd "$BUILD_DIR" && pwd)/src/app/vask"
STAND_IN="$(cd "$BUILD_DIR" && pwd)/tools/stand-in-helper/stand-in-helper"
if grep -q '^VASK_SANITIZE:BOOL=ON' "$BUILD_DIR/CMakeCache.txt" 2>/dev/null; then
    LIMIT_MS=2000
else
    LIMIT_MS=1000
fi
BASE=$(mktemp -d "${TMPDIR:-/tmp}/vask-special.XXXXXX")
CALLER_HOME=$HOME
CALLER_TMPDIR=${TMPDIR:-}
APP_PID=
OTHER_PIDS=()
OTHER_ENTRY=

cleanup() {
    if [[ -n $APP_PID ]]; then
        kill -KILL "$APP_PID" 2>/dev/null
        wait "$APP_PID" 2>/dev/null
    fi
    for pid in "${OTHER_PIDS[@]}"; do
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    [[ -n $OTHER_ENTRY ]] && rm -rf "$OTHER_ENTRY"
    harness_stop_stubs
    if [[ $failed -eq 0 && -z ${VASK_SPECIAL_KEEP:-} ]]; then
        rm -rf "$BASE"
    else
        echo "special-files-check: files kept in $BASE" >&2
    fi
}
trap cleanup EXIT

# new_case NAME: a private root, instance and stand-in servers.
new_case() {
    harness_stop_stubs
    ROOT="$BASE/$1"
    INSTANCE="special-$$-$1"
    mkdir -p "$ROOT/tmp"
    export HOME=$CALLER_HOME
    unset XDG_RUNTIME_DIR
    harness_prepare "$ROOT" "$INSTANCE"
    export TMPDIR="$ROOT/tmp"
    export QT_QPA_PLATFORM=offscreen
    export VASK_TEST_HOOKS=1
    export VASK_TESTHOOK_LOG="$ROOT/testhook.log"
    SUPPORT="$XDG_DATA_HOME/$INSTANCE"
    SETTINGS="$XDG_CONFIG_HOME/vask/ai.ternwick.Vask.json"
    OUT="$ROOT/app.out"
    harness_start_stubs "$ROOT"
}

# Whether the application (or its stderr, where the log goes when the log file is refused) has
# said PATTERN.
# The log file is read only when it is a regular file: reading a FIFO would wait for a writer.
said_in() {
    local files=("$OUT")
    [[ -f $VASK_LOG_FILE && ! -L $VASK_LOG_FILE ]] && files+=("$VASK_LOG_FILE")
    cat "${files[@]}" 2>/dev/null
}
said() { said_in | grep -qE -- "$1"; }
said_count() { said_in | grep -cE -- "$1" || true; }
said_more() { [[ $(said_count "$1") -gt $2 ]]; }
running() { [[ -n $APP_PID ]] && kill -0 "$APP_PID" 2>/dev/null; }
up_or_gone() { said_more '\[launch\] tray_installed' "$1" || ! running; }

# start_app [EXECUTABLE]: starts the application; true once its tray is up, false when it ended
# or did not come up in time.
start_app() {
    local started
    started=$(said_count '\[launch\] tray_installed')
    "${1:-$VASK}" >>"$OUT" 2>&1 &
    APP_PID=$!
    wait_for 60 up_or_gone "$started" && running
}

send() { timeout 30 "${2:-$VASK}" "$1" >>"$ROOT/senders.out" 2>&1; }

rendered_count() { grep -c '\] rendered ' "$VASK_TESTHOOK_LOG" 2>/dev/null || true; }
rendered_more() { [[ $(rendered_count) -gt $1 ]]; }
last_rendered() { grep '\] rendered ' "$VASK_TESTHOOK_LOG" 2>/dev/null | tail -n 1 | cut -c29-; }

# quit_app WHAT: SIGTERM; it must end with status 0 within the limit.
quit_app() {
    local what=$1 pid=$APP_PID
    APP_PID=
    if [[ -z $pid ]] || ! kill -0 "$pid" 2>/dev/null; then
        fail "quit $what" "the application had already ended"
        return
    fi
    harness_timed_quit "$what" "$pid" TERM "$LIMIT_MS"
}

stop_app() {
    if [[ -n $APP_PID ]]; then
        kill -KILL "$APP_PID" 2>/dev/null
        wait "$APP_PID" 2>/dev/null
        APP_PID=
    fi
}

still_fifo() {
    if [[ -p $1 ]]; then
        pass "$2: the FIFO is left where it was"
    else
        fail "$2: the FIFO is left where it was" "$(ls -l "$1" 2>&1)"
    fi
}

# A refusal names the file and why: a pipe, not a regular file.
refusal_of() {
    local path why='(pipe|not a regular file)'
    path=$(printf '%s' "$1" | sed 's/[][\.*^$+?(){}|]/\\&/g')
    printf '%s.*%s|%s.*%s' "$path" "$why" "$why" "$path"
}

# --- Another user's lock on the shared temporary folder, during a bundled-helper question ----
bundle_case() {
    new_case bundled || { fail "stand-in servers start"; return; }
    # A copy of the executable (the bundle is found beside the running file, links resolved)
    # and the bundle as the package lays it out, with the stand-in helper as its runtime.
    local prefix="$ROOT/prefix" rlm="$ROOT/prefix/share/vask/rlm"
    mkdir -p "$prefix/bin" "$rlm/sources" "$rlm/deno-cache/npm/registry.npmjs.org"
    ln "$VASK" "$prefix/bin/vask" 2>/dev/null || cp "$VASK" "$prefix/bin/vask"
    echo '{}' >"$rlm/deno-cache/npm/registry.npmjs.org/pkg.json"
    echo '// relay' >"$rlm/relay.ts"
    ln -s "$STAND_IN" "$rlm/deno"
    unset VASK_RLM_HELPER_CMD
    # The shared temporary folder itself, not this run's private one.
    unset TMPDIR
    local shared
    shared=$(dirname "$(mktemp -u)")

    if [[ $(id -u) -ne 0 ]]; then
        echo "     (not root: no other user to hold the lock; the question runs without it)"
    else
        local as_other=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
        OTHER_ENTRY="$shared/vask-relay-cache-0A3F0C2E-0000-4000-8000-00000000000$$"
        "${as_other[@]}" mkdir -p "$OTHER_ENTRY/deno-cache"
        # One process takes the lock and becomes the sleep, so that ending it ends the lock.
        "${as_other[@]}" bash -c 'exec 9<"$1" && flock 9 && exec sleep 600' _ "$shared" &
        OTHER_PIDS+=($!)
        lock_held() { ! flock -n "$shared" true; }
        wait_for 10 lock_held || echo "     (the other user's lock did not show)"
    fi

    if start_app "$prefix/bin/vask"; then
        local mark
        mark=$(rendered_count)
        send "vasktest://query?text=dinner&chat=main" "$prefix/bin/vask"
        if wait_for 60 rendered_more "$mark"; then
            local outcome
            outcome=$(last_rendered)
            if [[ $outcome == "rendered response: "* ]]; then
                pass "a bundled-helper question answers while another user locks $shared"
            else
                fail "a bundled-helper question answers while another user locks $shared" "$outcome"
            fi
        else
            fail "a bundled-helper question answers while another user locks $shared" \
                "nothing rendered within 60 s"
        fi
        if [[ -z $OTHER_ENTRY || -d $OTHER_ENTRY/deno-cache ]]; then
            pass "another user's entries in $shared are left alone"
        else
            fail "another user's entries in $shared are left alone"
        fi
        local copies="$HOME/.cache/vask-relay-cache"
        if [[ $(stat -c %a "$copies" 2>/dev/null) == 700 ]]; then
            pass "the helper's cache copies are made in Vask's own private folder"
        else
            fail "the helper's cache copies are made in Vask's own private folder" \
                "$(ls -ld "$copies" 2>&1)"
        fi
        # A question whose helper never answers: the quit must not wait for anything.
        printf '{"steps":[{"read_stdin":"all"},{"hang":true}]}\n' >"$ROOT/hang.json"
        export VASK_TEST_RLM_SCENARIO="$ROOT/hang.json"
        stop_app
        if start_app "$prefix/bin/vask"; then
            send "vasktest://query?text=held%20up&chat=main" "$prefix/bin/vask"
            helper_up() { pgrep -f "$rlm/deno" >/dev/null || pgrep -f "$STAND_IN" >/dev/null; }
            wait_for 60 helper_up || echo "     (the helper did not show)"
            quit_app "during a bundled-helper question while another user locks $shared"
        else
            fail "the bundled-helper build starts again"
        fi
    else
        fail "the bundled-helper build starts" "$(tail -n 3 "$OUT" | tr '\n' '|')"
    fi
    stop_app
    for pid in "${OTHER_PIDS[@]}"; do
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    OTHER_PIDS=()
    [[ -n $OTHER_ENTRY ]] && rm -rf "$OTHER_ENTRY"
    OTHER_ENTRY=
}

# --- A FIFO where a file is read -------------------------------------------------------------
# fifo_case NAME PATH ASK: PATH is made a FIFO before the start; with ASK a question is asked.
fifo_case() {
    local name=$1 where=$2 ask=$3 path
    new_case "$name" || { fail "stand-in servers start"; return; }
    path=$(eval echo "$where")
    rm -f "$path"
    mkfifo "$path"
    if [[ $name == log ]]; then
        export VASK_LOG_FILE="$path"
    fi
    if start_app; then
        pass "$name FIFO: Vask starts"
        if [[ -n $ask ]]; then
            local mark
            mark=$(rendered_count)
            send "vasktest://query?text=dinner&chat=main"
            if wait_for 60 rendered_more "$mark"; then
                pass "$name FIFO: the question ends ($(last_rendered | cut -c1-60))"
            else
                fail "$name FIFO: the question ends" "nothing rendered within 60 s"
            fi
        fi
        if wait_for 60 said "$(refusal_of "$path")"; then
            pass "$name FIFO: refused with a message naming it"
        else
            fail "$name FIFO: refused with a message naming it"
        fi
        quit_app "with a FIFO at $name"
    elif said "$(refusal_of "$path")"; then
        pass "$name FIFO: the start is refused with a message naming it"
    else
        fail "$name FIFO: Vask starts, or says why not" "$(tail -n 3 "$OUT" | tr '\n' '|')"
    fi
    stop_app
    still_fifo "$path" "$name"
}

# --- A garbled single-instance lock and socket-path records that are not one path ---------------
# The lock holds 64 random bytes and no Vask runs: Vask starts at once. Then, beside the running
# Vask, the record is damaged, made huge (a sparse 2 GiB file) and made random: each later
# launch hands its request over within a few seconds (the usual socket answers), with little
# memory, and quotes nothing of the record.
instance_files_case() {
    new_case instance-files || { fail "stand-in servers start"; return; }
    local lock="$SUPPORT/single-instance.lock" record="$SUPPORT/single-instance.socket-path"
    mkdir -p "$SUPPORT"
    head -c 64 /dev/urandom >"$lock"
    if start_app; then
        pass "a garbled single-instance lock: Vask starts"
    else
        fail "a garbled single-instance lock: Vask starts" "$(tail -n 3 "$OUT" | tr '\n' '|')"
        stop_app
        return
    fi
    local kind peak status
    for kind in damaged huge random; do
        case $kind in
            damaged) { cat "$record"; printf '\001garbage\n'; } >"$record.new" ;;
            huge) : >"$record.new" && truncate -s 2G "$record.new" ;;
            random) head -c 4096 /dev/urandom >"$record.new" ;;
        esac
        mv -f "$record.new" "$record"
        : >"$ROOT/launch.out"
        # Well inside the launch's own 15 s wait: an answer from the usual socket, not a give-up.
        /usr/bin/time -o "$ROOT/launch.peak" -f '%M' timeout 8 "$VASK" >"$ROOT/launch.out" 2>&1
        status=$?
        peak=$(tail -n 1 "$ROOT/launch.peak")
        if [[ $status -ne 0 ]]; then
            fail "a $kind socket-path record: a launch hands over" \
                "status $status: $(tr -cd '[:print:]' <"$ROOT/launch.out" | cut -c1-200)"
        elif [[ $peak -gt 1048576 ]]; then
            fail "a $kind socket-path record: a launch hands over with little memory" "$peak KiB"
        else
            pass "a $kind socket-path record: a launch hands over ($peak KiB at most)"
        fi
        if [[ $kind == random ]] && LC_ALL=C grep -q '[^[:print:][:space:]]' "$ROOT/launch.out"; then
            fail "a random socket-path record is not quoted"
        fi
    done
    quit_app "after socket-path records that are not one path"
    stop_app
}

bundle_case
instance_files_case
fifo_case shadow '$SUPPORT/shadow.db' ""
fifo_case sessions '$SUPPORT/sessions.db' ask
fifo_case settings '$SETTINGS' ""
fifo_case credentials '$SUPPORT/credentials.json' ""
fifo_case log '$ROOT/vask.log' ""

export HOME=$CALLER_HOME
if [[ -n $CALLER_TMPDIR ]]; then export TMPDIR=$CALLER_TMPDIR; else unset TMPDIR; fi
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
