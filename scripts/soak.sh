#!/usr/bin/env bash
# The soak run: the application, offscreen, over a large generated history (scripts/harness.sh)
# for a stretch of time, while a writer adds messages the way the Messages app does and a
# question is asked every 30 seconds, in turn in the popover's chat and the main window's (a new
# chat there every tenth question). Prints what a day of use would show:
# resident memory after the first synchronisation, each minute and at the end (with the
# anonymous part, the heap, threads, descriptors and write-ahead logs), CPU and wake-ups while
# idle, messages written and found, questions answered, how a history locked at start-up fared,
# and how long a SIGTERM takes. Fails (status 1) when the application dies, a message written is
# not found exactly once in the shadow database, the shadow database fails its checks, no
# question is answered, a question asked during the first copy finds nothing, the anonymous memory grows more than its bound (SOAK_ANON_GROWTH_MIB),
# a message joined again to another chat (beside busy loops, SOAK_BUSY_LOOPS) is not in the chat
# of its last join, a question waiting for a second instance's index reaches the helper after
# its chat was deleted or under an account signed out meanwhile, or
# the quit does not end with status 0; the test command runs it short
# (scripts/test.sh).
#
#   bash scripts/soak.sh [BUILD_DIR] [MINUTES]   (default build/bench and 20)
#
# Build first: cmake --preset bench && cmake --build --preset bench --target vask sample-chatdb
# stand-in-helper stub-servers (or the dev preset). SOAK_MESSAGES sizes the history (200000),
# SOAK_LOCK_SECONDS how long it is locked at start-up (4), SOAK_IDLE_SECONDS each idle
# measurement (60), SOAK_QUESTION_TICKS how many two-second ticks apart the questions are (15),
# each sent at a random moment of its tick, SOAK_HELPER_READS how many times the stand-in helper
# reads the staged shadow database during each question, 200 ms apart (20), as a real helper's
# sub-queries do over seconds;
# SOAK_ANON_GROWTH_MIB bounds how much the application's anonymous memory may grow from after the
# first synchronisation to the end (48 MiB; the run fails beyond it);
# SOAK_KEEP_FILES=0 removes the files of a run that passed; SOAK_WRAP runs the application under a tool (SOAK_WRAP="heaptrack -o
# /tmp/soak" records every allocation). With SOAK_DISPLAY (an X server such as Xvfb :44) the
# application runs on it and its windows are closed after the first synchronisation, so that
# the idle figures are those of an application with nothing on screen; without, it runs
# offscreen with its main window open. Files are kept in the folder named at the end.
#
# The writer keeps one connection open on the history in WAL mode, as the Messages app does, and
# every two seconds adds a message; every fifth minute a burst of 50 in one transaction; every
# tenth message dated a day back (history arriving late from another device); every 25th tick a
# message in a new chat with a new person.
set -uo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${1:-build/bench}
MINUTES=${2:-20}
MESSAGES=${SOAK_MESSAGES:-200000}
LOCK_SECONDS=${SOAK_LOCK_SECONDS:-4}
IDLE_SECONDS=${SOAK_IDLE_SECONDS:-60}
QUESTION_TICKS=${SOAK_QUESTION_TICKS:-15}
HELPER_READS=${SOAK_HELPER_READS:-20}
KEEP_FILES=${SOAK_KEEP_FILES:-1}
ANON_GROWTH_MIB=${SOAK_ANON_GROWTH_MIB:-48}
source scripts/harness.sh
harness_tools_ok || exit 1

ROOT=$(mktemp -d "${TMPDIR:-/tmp}/vask-soak.XXXXXX")
INSTANCE="soak-$$"
VASK="$BUILD_DIR/src/app/vask"
APP_PID=
WRITER_FD=
PASSED=0
CLK_TCK=$(getconf CLK_TCK)

say() { echo "[$(date -u +%H:%M:%S)] $*" >&2; }

# Busy loops beside the application during the second joins: SOAK_BUSY_LOOPS of them (3), each
# at the application's niceness and pinned, with the application, to one processor, so that its
# synchronisations get a third of it.
BUSY_LOOPS=${SOAK_BUSY_LOOPS:-3}
BUSY_PIDS=()
APP_CPUS=
start_busy_loops() {
    local cpu i
    APP_CPUS=$(taskset -p "$APP_PID" 2>/dev/null | awk '{ print $NF }')
    cpu=$(($(nproc) - 1))
    taskset -a -p -c "$cpu" "$APP_PID" >/dev/null 2>&1 || return 0
    for ((i = 0; i < BUSY_LOOPS; i++)); do
        taskset -c "$cpu" bash -c 'while :; do :; done' &
        BUSY_PIDS+=($!)
    done
}
stop_busy_loops() {
    local pid
    for pid in "${BUSY_PIDS[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    BUSY_PIDS=()
    if [[ -n $APP_CPUS && -n $APP_PID ]]; then
        taskset -a -p "$APP_CPUS" "$APP_PID" >/dev/null 2>&1
    fi
    APP_CPUS=
}

cleanup() {
    stop_busy_loops
    if [[ -n $WRITER_FD ]]; then
        exec {WRITER_FD}>&-
    fi
    if [[ -n $APP_PID ]]; then
        kill -TERM "$APP_PID" 2>/dev/null
        wait "$LAUNCH_PID" 2>/dev/null
    fi
    harness_stop_stubs
    if [[ $PASSED == 1 && $KEEP_FILES == 0 ]]; then
        rm -rf "$ROOT"
    else
        echo "soak: files kept in $ROOT" >&2
    fi
}
trap cleanup EXIT

rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$APP_PID/status" 2>/dev/null || echo 0; }
# Anonymous memory (the allocator's arenas and large blocks) and the main arena's heap segment,
# in KiB: what grows when memory is kept rather than what the libraries map.
anon_kib() { awk '/^Anonymous:/ { print $2 }' "/proc/$APP_PID/smaps_rollup" 2>/dev/null || echo 0; }
heap_kib() {
    awk '/\[heap\]/ { heap = 1; next } /^[0-9a-f]+-/ { heap = 0 } heap && /^Rss:/ { kib += $2 }
        END { print kib + 0 }' "/proc/$APP_PID/smaps" 2>/dev/null || echo 0
}
count_threads() { ls "/proc/$APP_PID/task" 2>/dev/null | wc -l; }
count_fds() { ls "/proc/$APP_PID/fd" 2>/dev/null | wc -l; }
# The write-ahead logs of the history and of every database in the data folder, "name:KiB".
wal_sizes() {
    local wal size
    for wal in "$CHAT_DB_PATH-wal" "$XDG_DATA_HOME/$INSTANCE"/*-wal; do
        # A log may go between the listing and the look (the last connection closing removes it).
        size=$(stat -c %s "$wal" 2>/dev/null) || continue
        printf '%s:%d ' "${wal##*/}" $((size / 1024))
    done
}
# index_unheld: whether the application keeps the live index of the shadow database (its -shm)
# open without SQLite's read lock on it, on the same descriptor at two looks 0.1 s apart. With the
# lock gone, the helper's SQLite takes the index for unused and resets it under the application's
# mapping (SIGBUS at its next commit) when a question opens the database; the crash itself needs
# the reset to meet a commit, so the soak looks for its cause too.
index_unheld() {
    python3 - "$APP_PID" "$SHADOW_DB-shm" <<'PY'
import fcntl, os, struct, sys, time

pid, index = int(sys.argv[1]), os.path.realpath(sys.argv[2])


def open_descriptors():
    folder = f"/proc/{pid}/fd"
    found = set()
    for fd in os.listdir(folder):
        try:
            if os.readlink(os.path.join(folder, fd)) == index:
                found.add(fd)
        except OSError:
            pass
    return found


def dead_man_byte_locked():
    fd = os.open(index, os.O_RDONLY)
    try:
        # SQLite's "dead man" byte of the index: a reader holds it while it has the index open.
        probe = struct.pack("hhqqi", fcntl.F_WRLCK, os.SEEK_SET, 128, 1, 0)
        kind = struct.unpack("hhqqi", fcntl.fcntl(fd, fcntl.F_GETLK, probe))[0]
        return kind != fcntl.F_UNLCK
    finally:
        os.close(fd)


try:
    before = open_descriptors()
    if not before or dead_man_byte_locked():
        sys.exit(1)
    time.sleep(0.1)
    sys.exit(0 if before & open_descriptors() and not dead_man_byte_locked() else 1)
except OSError:
    sys.exit(1)
PY
}
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$APP_PID/stat"; }
# "tid name switches" for every thread, switches voluntary and not.
thread_switches() {
    local task
    for task in /proc/"$APP_PID"/task/*; do
        awk -v tid="${task##*/}" -v name="$(tr ' ' '_' <"$task/comm" 2>/dev/null)" '
            /^voluntary_ctxt_switches:|^nonvoluntary_ctxt_switches:/ { n += $2 }
            END { print tid, name, n }' "$task/status" 2>/dev/null
    done
}

# measure_idle LABEL: CPU and wake-ups over IDLE_SECONDS with nothing happening. Sets IDLE_CPU,
# IDLE_WAKEUPS and IDLE_BUSIEST (the thread that woke most, with its rate).
measure_idle() {
    local before_ticks after_ticks
    thread_switches >"$ROOT/switches-before"
    before_ticks=$(cpu_ticks)
    sleep "$IDLE_SECONDS"
    after_ticks=$(cpu_ticks)
    thread_switches >"$ROOT/switches-after"
    IDLE_CPU=$(awk -v d=$((after_ticks - before_ticks)) -v hz="$CLK_TCK" -v s="$IDLE_SECONDS" \
        'BEGIN { printf "%.3f", 100 * d / hz / s }')
    # A thread that began during the window counts from zero.
    awk -v s="$IDLE_SECONDS" '
        NR == FNR { before[$1] = $3; next }
        { rate = ($3 - before[$1]) / s; total += rate
          if (rate > top) { top = rate; name = $2 }
          if (rate > 0.05) rows = rows sprintf("    %-24s %6.2f/s\n", $2 " (" $1 ")", rate) }
        END { printf "%.2f|%s %.2f/s\n%s", total, name, top, rows }
    ' "$ROOT/switches-before" "$ROOT/switches-after" >"$ROOT/idle-$1"
    IDLE_WAKEUPS=$(head -n 1 "$ROOT/idle-$1" | cut -d'|' -f1)
    IDLE_BUSIEST=$(head -n 1 "$ROOT/idle-$1" | cut -d'|' -f2)
    say "idle ($1): cpu ${IDLE_CPU}% of a core, ${IDLE_WAKEUPS} wake-ups/s, busiest $IDLE_BUSIEST"
    tail -n +2 "$ROOT/idle-$1" >&2
}

# close_windows: asks every window of the application on the X server to close, as its close
# button would (WM_DELETE_WINDOW); prints how many were asked.
close_windows() {
    python3 - "$APP_PID" <<'PY'
import ctypes, ctypes.util, sys

pid = int(sys.argv[1])
x = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11"))
P, U, L, I = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long, ctypes.c_int
ref = ctypes.byref


class Attributes(ctypes.Structure):
    _fields_ = [(n, t) for n, t in [
        ("x", I), ("y", I), ("width", I), ("height", I), ("border_width", I), ("depth", I),
        ("visual", P), ("root", U), ("klass", I), ("bit_gravity", I), ("win_gravity", I),
        ("backing_store", I), ("backing_planes", U), ("backing_pixel", U), ("save_under", I),
        ("colormap", U), ("map_installed", I), ("map_state", I), ("all_event_masks", L),
        ("your_event_mask", L), ("do_not_propagate_mask", L), ("override_redirect", I),
        ("screen", P)]]


class ClientMessage(ctypes.Structure):
    _fields_ = [("type", I), ("serial", U), ("send_event", I), ("display", P), ("window", U),
                ("message_type", U), ("format", I), ("l", L * 5)]


class Event(ctypes.Union):
    _fields_ = [("xclient", ClientMessage), ("pad", L * 24)]


x.XOpenDisplay.restype = P
x.XOpenDisplay.argtypes = [ctypes.c_char_p]
x.XDefaultRootWindow.restype = U
x.XDefaultRootWindow.argtypes = [P]
x.XInternAtom.restype = U
x.XInternAtom.argtypes = [P, ctypes.c_char_p, I]
x.XQueryTree.argtypes = [P, U, ctypes.POINTER(U), ctypes.POINTER(U),
                         ctypes.POINTER(ctypes.POINTER(U)), ctypes.POINTER(ctypes.c_uint)]
x.XGetWindowProperty.argtypes = [P, U, U, L, L, I, U, ctypes.POINTER(U), ctypes.POINTER(I),
                                 ctypes.POINTER(U), ctypes.POINTER(U),
                                 ctypes.POINTER(ctypes.POINTER(ctypes.c_ubyte))]
x.XGetWindowAttributes.argtypes = [P, U, ctypes.POINTER(Attributes)]
x.XSendEvent.argtypes = [P, U, I, L, ctypes.POINTER(Event)]
x.XFlush.argtypes = [P]

display = x.XOpenDisplay(None)
if not display:
    sys.exit("no X display")
pid_atom = x.XInternAtom(display, b"_NET_WM_PID", 0)
protocols = x.XInternAtom(display, b"WM_PROTOCOLS", 0)
delete = x.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
root, parent, count = U(), U(), ctypes.c_uint()
children = ctypes.POINTER(U)()
x.XQueryTree(display, x.XDefaultRootWindow(display), ref(root), ref(parent), ref(children),
             ref(count))
closed = 0
for i in range(count.value):
    window = children[i]
    kind, fmt, items, after = U(), I(), U(), U()
    data = ctypes.POINTER(ctypes.c_ubyte)()
    if x.XGetWindowProperty(display, window, pid_atom, 0, 1, 0, 6, ref(kind), ref(fmt),
                            ref(items), ref(after), ref(data)) != 0 or items.value != 1:
        continue
    attributes = Attributes()
    x.XGetWindowAttributes(display, window, ref(attributes))
    if ctypes.cast(data, ctypes.POINTER(U))[0] != pid or attributes.map_state != 2:
        continue
    event = Event()
    event.xclient.type = 33  # ClientMessage
    event.xclient.window = window
    event.xclient.message_type = protocols
    event.xclient.format = 32
    event.xclient.l[0] = delete
    x.XSendEvent(display, window, 0, 0, ref(event))
    closed += 1
x.XFlush(display)
print(closed)
PY
}

# --- The history, the stand-ins and the application ------------------------------------------
say "generating a history of $MESSAGES messages"
HARNESS_MESSAGES=$MESSAGES HARNESS_CHATS=$((MESSAGES / 1000 + 12)) harness_prepare "$ROOT" "$INSTANCE"
sqlite3 "$CHAT_DB_PATH" "PRAGMA journal_mode = WAL" >/dev/null
# The helper reads the staged shadow database over its run, each read on a connection of its
# own, while the synchronisations write the live one.
soak_scenario() {
    printf '{"steps":[{"read_stdin":"all"},{"refuse_without_credentials":{"error":{"type":"RelayError","message":"Missing credentials","status":401}}},{"event":{"type":"progress","status":"Executing sub-query"}},{"read_staged":{"count":%d,"pause_ms":200}},{"answer_from_staged":{}}]}\n' \
        "$1" >"$VASK_TEST_RLM_SCENARIO"
}
# The question asked during the first copy is answered at once, so that it is answered while
# the copy still runs unless it waits for the index; the others read over seconds.
soak_scenario 0
SHADOW_DB="$XDG_DATA_HOME/$INSTANCE/shadow.db"
# The word of the question asked during the first copy (below): the longest of a message early
# in the history.
FIRST_COPY_WORD=$(sqlite3 -readonly "$CHAT_DB_PATH" \
    "SELECT text FROM message WHERE length(text) > 20 ORDER BY ROWID LIMIT 1 OFFSET 100" |
    tr -c '[:alpha:]\n' ' ' |
    awk '{ for (i = 1; i <= NF; i++) if (length($i) > length(w)) w = $i } END { print tolower(w) }')
if [[ -n ${SOAK_DISPLAY:-} ]]; then
    export DISPLAY=$SOAK_DISPLAY QT_QPA_PLATFORM=xcb
else
    export QT_QPA_PLATFORM=offscreen
fi
export VASK_TEST_HOOKS=1
export TESTHOOK_LOG="$ROOT/testhook.log"
export VASK_TESTHOOK_LOG="$TESTHOOK_LOG"
harness_start_stubs "$ROOT" || exit 1

# The history is locked when the application starts, as by a Messages app in the middle of a
# long write.
{
    printf 'PRAGMA locking_mode = EXCLUSIVE;\nBEGIN EXCLUSIVE;\nSELECT 1;\n'
    sleep "$LOCK_SECONDS"
    printf 'COMMIT;\n'
} | sqlite3 "$CHAT_DB_PATH" >"$ROOT/locker.out" 2>&1 &
LOCKER_PID=$!
wait_for 10 grep -q '^1$' "$ROOT/locker.out" || { say "could not lock the history"; exit 1; }
say "history locked for $LOCK_SECONDS s; starting the application"
started_at=$SECONDS
read -r -a WRAP <<<"${SOAK_WRAP:-}"
"${WRAP[@]}" "$VASK" >>"$ROOT/app.out" 2>&1 &
LAUNCH_PID=$!
APP_PID=$LAUNCH_PID
# Under a tool the application is the tool's child.
find_app() { APP_PID=$(pgrep -n -P "$LAUNCH_PID" -x vask) && [[ -n $APP_PID ]]; }
if ((${#WRAP[@]} > 0)); then
    wait_for 30 find_app || { say "the application did not start under $SOAK_WRAP"; exit 1; }
fi
# A question in the main window's chat while the first copy's full-text index is still to be
# built (a history of 20,000 messages or more builds it at the copy's end): it must wait for the
# index, not be answered from one that holds nothing yet.
index_deferred() {
    [[ $(sqlite3 -readonly "$SHADOW_DB" "SELECT
        (SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = 'messages_fts') = 1
        AND (SELECT COUNT(*) FROM sqlite_master WHERE type = 'trigger'
             AND name LIKE 'messages_fts_%') < 3" 2>/dev/null) == 1 ]]
}
first_copy_over() { index_deferred || log_grew 'shadow_sync_complete' 0; }
(
    wait_for 1800 first_copy_over && index_deferred &&
        echo "$FIRST_COPY_WORD" >"$ROOT/first-copy-question" &&
        timeout 60 "$VASK" "vasktest://query?chat=main&text=$FIRST_COPY_WORD"
) >>"$ROOT/senders.out" 2>&1 &
FIRST_COPY_ASKER=$!
wait "$LOCKER_PID"
lock_gone_at=$SECONDS
if ! wait_for 1800 log_grew 'shadow_sync_complete' 0; then
    say "the first synchronisation did not complete"
    exit 1
fi
first_sync_at=$SECONDS
wait "$FIRST_COPY_ASKER"
# What the question asked during the first copy was answered (the first answer after it).
first_copy_answer() {
    awk -v asked="submitting: $FIRST_COPY_WORD" '
        index($0, asked) { seen = 1; next }
        seen && /rendered (response|failure)/ { sub(/^.*rendered /, ""); print; exit }' \
        "$TESTHOOK_LOG" 2>/dev/null
}
if [[ -s $ROOT/first-copy-question ]]; then
    wait_for 120 eval '[[ -n $(first_copy_answer) ]]'
    FIRST_COPY_ANSWER=$(first_copy_answer)
    say "asked \"$FIRST_COPY_WORD\" during the first copy: ${FIRST_COPY_ANSWER:-no answer}"
else
    FIRST_COPY_ANSWER="not asked: the first copy was over before its index was seen deferred"
fi
soak_scenario "$HELPER_READS"
LOCKED_FAILURES=$(log_count 'shadow_sync_failed.*locked')
say "first synchronisation done $((first_sync_at - started_at)) s after start" \
    "($((first_sync_at - lock_gone_at)) s after the lock went; $LOCKED_FAILURES runs met the lock)"
WINDOWS_CLOSED="none (offscreen, main window open)"
if [[ -n ${SOAK_DISPLAY:-} ]]; then
    sleep 3
    WINDOWS_CLOSED="$(close_windows) closed"
    say "windows closed: $WINDOWS_CLOSED"
fi
sleep 10
RSS_FIRST=$(rss_kib)
ANON_FIRST=$(anon_kib)
HEAP_FIRST=$(heap_kib)
THREADS_FIRST=$(count_threads)
FDS_FIRST=$(count_fds)
WAL_FIRST=$(wal_sizes)
measure_idle start
IDLE_CPU_START=$IDLE_CPU IDLE_WAKEUPS_START=$IDLE_WAKEUPS IDLE_BUSIEST_START=$IDLE_BUSIEST

# --- The writer and the questions -------------------------------------------------------------
exec {WRITER_FD}> >(exec sqlite3 "$CHAT_DB_PATH" >"$ROOT/writer.out" 2>&1)
printf '.timeout 5000\nPRAGMA journal_mode = WAL;\n' >&"$WRITER_FD"

written=0
asked=0
SENDERS=()
WRITTEN_AT=()
new_chats=0
# apple_now: now in the Messages database's nanoseconds since 2001.
apple_now() { echo $((($(date +%s) - 978307200) * 1000000000)); }
# write_message N: one message whose text names "soakN", in the newest chat or a new one.
write_message() {
    local n=$1 date chat_sql
    date=$(apple_now)
    ((n % 10 == 0)) && date=$((date - 86400 * 1000000000))
    chat_sql="(SELECT MAX(ROWID) FROM chat)"
    printf "INSERT INTO message (guid, text, handle_id, service, date, is_from_me)
        VALUES ('soak-%d', 'soak%d arrived while the soak ran', (SELECT MAX(ROWID) FROM handle),
                'iMessage', %d, %d);
    INSERT INTO chat_message_join (chat_id, message_id, message_date)
        VALUES (%s, last_insert_rowid(), %d);\n" "$n" "$n" "$date" $((n % 3 == 0)) "$chat_sql" "$date"
}
# second_join N: message N joined again, to the newest chat (made after it), as the Messages app
# does when a conversation moves: the message belongs to the chat of its last join.
second_join() {
    printf "INSERT INTO chat_message_join (chat_id, message_id, message_date)
        SELECT (SELECT MAX(ROWID) FROM chat), ROWID, date FROM message WHERE guid = 'soak-%d';\n" "$1"
}
new_chat() {
    local k=$1
    printf "INSERT INTO handle (id, service) VALUES ('+1555019%04d', 'iMessage');
    INSERT INTO chat (guid, style, chat_identifier, service_name)
        VALUES ('iMessage;-;+1555019%04d', 45, '+1555019%04d', 'iMessage');
    INSERT INTO chat_handle_join (chat_id, handle_id)
        VALUES ((SELECT MAX(ROWID) FROM chat), (SELECT MAX(ROWID) FROM handle));\n" "$k" "$k" "$k"
}

ticks=$((MINUTES * 30))
# The middle third of the writing: every message of a tick joined again, three ticks later, to a
# chat made for it (a new one every fifth tick), beside the busy loops.
second_joins_from=$((ticks / 3 + 1))
second_joins_to=$((2 * ticks / 3))
SECOND_JOINED=()
mark_rss=$SECONDS
: >"$ROOT/rss.tsv"
say "writing for $MINUTES minutes"
writing_started=$SECONDS
died_at=
unheld_at=
for ((tick = 1; tick <= ticks; tick++)); do
    tick_started=$SECONDS
    if ! kill -0 "$APP_PID" 2>/dev/null; then
        died_at=$((SECONDS - first_sync_at))
        say "the application died $died_at s after the first synchronisation"
        break
    fi
    if ((tick % 25 == 0)); then
        new_chats=$((new_chats + 1))
        new_chat "$new_chats" >&"$WRITER_FD"
    fi
    if ((tick == second_joins_from)); then
        start_busy_loops
        say "second joins beside ${#BUSY_PIDS[@]} busy loops on the application's processor"
    fi
    if ((tick >= second_joins_from && tick <= second_joins_to && tick > 3)); then
        if (((tick - second_joins_from) % 5 == 0)); then
            new_chats=$((new_chats + 1))
            new_chat "$new_chats" >&"$WRITER_FD"
        fi
        for ((n = ${WRITTEN_AT[tick - 4]:-0} + 1; n <= ${WRITTEN_AT[tick - 3]:-0}; n++)); do
            second_join "$n" >&"$WRITER_FD"
            SECOND_JOINED+=("$n")
        done
    fi
    if ((tick == second_joins_to + 1)); then
        stop_busy_loops
    fi
    if ((tick % 150 == 0)); then
        {
            echo "BEGIN IMMEDIATE;"
            for ((i = 0; i < 50; i++)); do
                written=$((written + 1))
                write_message "$written"
            done
            echo "COMMIT;"
        } >&"$WRITER_FD"
    else
        written=$((written + 1))
        write_message "$written" >&"$WRITER_FD"
    fi
    # A question about a message written ten seconds (five ticks) ago.
    WRITTEN_AT[tick]=$written
    if ((tick % QUESTION_TICKS == 0 && tick > 5)); then
        asked=$((asked + 1))
        # Every other question in the main window's chat, whose answers stay on screen, and a
        # new chat there every tenth, which lets the last one's answers go.
        chat=
        if ((asked % 2 == 0)); then
            chat="chat=main&"
            if ((asked % 10 == 0)); then
                timeout 20 "$VASK" "vasktest://new?chat=main" >>"$ROOT/senders.out" 2>&1
            fi
        fi
        # At a random moment of the tick, so that questions meet synchronisations at every
        # point of theirs.
        (sleep "$(awk -v r="$RANDOM" 'BEGIN { printf "%.3f", r / 16384 }')" &&
            timeout 20 "$VASK" "vasktest://query?${chat}text=soak${WRITTEN_AT[tick - 5]}") \
            >>"$ROOT/senders.out" 2>&1 &
        SENDERS+=($!)
    fi
    if [[ -z $unheld_at ]] && index_unheld; then
        unheld_at=$((SECONDS - first_sync_at))
        say "the application holds the shadow database's index open without its lock"
    fi
    if ((SECONDS - mark_rss >= 60)); then
        mark_rss=$SECONDS
        printf '%d\t%d\t%d\t%d\t%d\t%d\t%s\n' $((SECONDS - first_sync_at)) "$(rss_kib)" \
            "$(anon_kib)" "$(heap_kib)" "$(count_threads)" "$(count_fds)" "$(wal_sizes)" \
            >>"$ROOT/rss.tsv"
    fi
    sleep 2
done
writing_seconds=$((SECONDS - writing_started))
stop_busy_loops
exec {WRITER_FD}>&-
WRITER_FD=
for sender in "${SENDERS[@]}"; do
    wait "$sender" 2>/dev/null
done
if [[ -n $died_at ]]; then
    wait "$LAUNCH_PID"
    status=$?
    APP_PID=
    echo "soak: FAIL the application died $died_at s into the writing (status $status)" \
        "after $written messages and $asked questions; the end of its output:"
    tail -n 40 "$ROOT/app.out"
    exit 1
fi

# --- Settle, then idle again ------------------------------------------------------------------
# Distinct messages found; a guid found twice counts once here and is caught at the end.
found_count() {
    sqlite3 -readonly "$SHADOW_DB" \
        "SELECT COUNT(DISTINCT guid) FROM messages WHERE guid LIKE 'soak-%'" 2>/dev/null || echo 0
}
all_found() { [[ $(found_count) -ge $written ]]; }
wait_for 120 all_found
found=$(found_count)
# Soak messages in a chat other than the one of their last join in the history (the join with the
# highest ROWID), as the shadow database holds them.
misplaced_count() {
    sqlite3 -readonly "$SHADOW_DB" "ATTACH 'file:$CHAT_DB_PATH?mode=ro' AS h;
        SELECT COUNT(*) FROM messages s JOIN h.message m ON m.guid = s.guid
        WHERE s.guid LIKE 'soak-%' AND s.chat_id IS NOT (SELECT c.guid FROM h.chat_message_join j
            JOIN h.chat c ON c.ROWID = j.chat_id WHERE j.message_id = m.ROWID
            ORDER BY j.ROWID DESC LIMIT 1)" 2>/dev/null || echo -1
}
none_misplaced() { [[ $(misplaced_count) == 0 ]]; }
wait_for 60 none_misplaced
misplaced=$(misplaced_count)
sleep 10
measure_idle end
RSS_END=$(rss_kib)
RSS_PEAK=$(awk '/^VmHWM:/ { print $2 }' "/proc/$APP_PID/status")
ANON_END=$(anon_kib)
HEAP_END=$(heap_kib)
THREADS=$(count_threads)
FDS=$(count_fds)
WAL_END=$(wal_sizes)

answered=$(grep -cE 'rendered response: Found [1-9][0-9]* matching messages' "$TESTHOOK_LOG" 2>/dev/null || true)
failed_answers=$(grep -c 'rendered failure' "$TESTHOOK_LOG" 2>/dev/null || true)

quit_started=$(date +%s.%N)
kill -TERM "$APP_PID"
wait "$LAUNCH_PID"
quit_status=$?
quit_seconds=$(awk -v a="$quit_started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
APP_PID=

# --- Waits for the index that end otherwise -------------------------------------------------------
# A second instance of the application, signed in as the first, makes its own first copy of the
# history (now larger than at the start), on one processor beside the busy loops so that the
# copy outlasts the steps. While its full-text index is still to be built, a
# question in the main window's chat, whose chat is then deleted, and one in the popover's, then
# a sign-out: neither may reach the helper under the account (its runs are recorded), however the
# wait for the index ends.
WAITS_INSTANCE="$INSTANCE-waits"
WAITS_DELETED_WORD=soakdeletedchat
WAITS_SIGNED_OUT_WORD=soaksignedout
WAITS_RESULT=
waits_for_the_index() {
    local support="$XDG_DATA_HOME/$WAITS_INSTANCE" records="$ROOT/waits-records"
    local shadow="$XDG_DATA_HOME/$WAITS_INSTANCE/shadow.db" steps=() app status
    mkdir -p "$support" "$records"
    chmod 700 "$support"
    cp "$XDG_DATA_HOME/$INSTANCE/credentials.json" "$support/credentials.json"
    python3 - "$XDG_CONFIG_HOME/vask/ai.ternwick.Vask.json" "$WAITS_INSTANCE" <<'PY'
import json, sys
path, instance = sys.argv[1], sys.argv[2]
with open(path) as f:
    settings = json.load(f)
for key in ("onboarding.didStart", "onboarding.didComplete", "showProactiveSurfaces"):
    settings[f"{key}.{instance}"] = True
with open(path, "w") as f:
    json.dump(settings, f)
PY
    printf '{"record_dir":"%s","steps":[{"read_stdin":"all"},{"record":true},{"refuse_without_credentials":{"error":{"type":"RelayError","message":"Missing credentials","status":401}}},{"answer_from_staged":{}}]}\n' \
        "$records" >"$VASK_TEST_RLM_SCENARIO"
    (
        export VASK_SUPPORT_DIR="$WAITS_INSTANCE" VASK_LOG_FILE="$ROOT/waits.log"
        export TESTHOOK_LOG="$ROOT/waits-testhook.log" VASK_TESTHOOK_LOG="$ROOT/waits-testhook.log"
        hooked() { grep -q -- "$1" "$TESTHOOK_LOG" 2>/dev/null; }
        deferred() {
            [[ $(sqlite3 -readonly "$shadow" "SELECT
                (SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = 'messages_fts') = 1
                AND (SELECT COUNT(*) FROM sqlite_master WHERE type = 'trigger'
                     AND name LIKE 'messages_fts_%') < 3" 2>/dev/null) == 1 ]]
        }
        # send URL: the URL to the running instance, as a second launch hands it over.
        send() { timeout 20 "$VASK" "$1" >>"$ROOT/waits-senders.out" 2>&1; }
        "$VASK" >>"$ROOT/waits-app.out" 2>&1 &
        app=$!
        trap 'stop_busy_loops; kill -TERM "$app" 2>/dev/null' EXIT
        # On one processor beside the busy loops, so that its copy lasts the steps.
        APP_PID=$app
        start_busy_loops
        copied() { log_grew 'shadow_sync_complete' 0; }
        if wait_for 600 eval 'deferred || copied' && deferred; then
            send "vasktest://query?chat=main&text=$WAITS_DELETED_WORD"
            wait_for 30 hooked "submitting: $WAITS_DELETED_WORD" && deferred &&
                steps+=("asked in the main chat while the index was built")
            send "vasktest://delete?chat=main"
            wait_for 30 hooked "deleting chat" && deferred && steps+=("its chat deleted")
            send "vasktest://query?text=$WAITS_SIGNED_OUT_WORD"
            wait_for 30 hooked "submitting: $WAITS_SIGNED_OUT_WORD" && deferred &&
                steps+=("asked in the popover")
            send "vasktest://signout"
            wait_for 30 hooked "signing out (test)" && deferred && steps+=("signed out")
        fi
        stop_busy_loops
        # The copy's end, then a while for anything sent late.
        wait_for 600 copied
        sleep 5
        kill -TERM "$app"
        wait "$app"
        status=$?
        trap - EXIT
        echo "${#steps[@]}|$(IFS=,; echo "${steps[*]}")|$status"
    ) >"$ROOT/waits-outcome"
    WAITS_RESULT=$(tail -n 1 "$ROOT/waits-outcome")
    WAITS_SENT_DELETED=$(grep -l -- "$WAITS_DELETED_WORD" "$records"/*/request 2>/dev/null | wc -l)
    WAITS_SENT_SIGNED_OUT=$(grep -l -- "$WAITS_SIGNED_OUT_WORD" "$records"/*/request 2>/dev/null |
        xargs -r grep -l -e stub-customer-token -e stub-access-token | wc -l)
}
say "waits for the index that end otherwise: a second instance's first copy"
waits_for_the_index
WAITS_STEPS=${WAITS_RESULT%%|*}
WAITS_QUIT=${WAITS_RESULT##*|}
WAITS_DONE=${WAITS_RESULT#*|}
WAITS_DONE=${WAITS_DONE%|*}

mib() { awk -v k="$1" 'BEGIN { printf "%.1f MiB", k / 1024 }'; }
cat <<EOF
Soak: $MINUTES min over $MESSAGES messages ($BUILD_DIR)
  windows:                     $WINDOWS_CLOSED after the first sync
  history locked at start-up:  ${LOCK_SECONDS} s; $LOCKED_FAILURES run(s) met the lock; first sync done $((first_sync_at - lock_gone_at)) s after it went
  resident memory:             $(mib "$RSS_FIRST") after the first sync, $(mib "$RSS_END") at the end (peak $(mib "$RSS_PEAK"))
  idle CPU:                    ${IDLE_CPU_START} % of a core after the first sync, ${IDLE_CPU} % at the end
  wake-ups while idle:         ${IDLE_WAKEUPS_START}/s after the first sync, ${IDLE_WAKEUPS}/s at the end (busiest thread: $IDLE_BUSIEST)
  messages written / found:    $written / $found (in $new_chats new chats)
  joined again / misplaced:    ${#SECOND_JOINED[@]} beside $BUSY_LOOPS busy loops (ticks $second_joins_from-$second_joins_to) / $misplaced in a chat not of their last join
  questions answered:          $answered of $asked (failures shown: $failed_answers)
  asked during the first copy: ${FIRST_COPY_WORD:-?}: $FIRST_COPY_ANSWER
  anonymous memory / heap:     $(mib "$ANON_FIRST") / $(mib "$HEAP_FIRST") after the first sync, $(mib "$ANON_END") / $(mib "$HEAP_END") at the end
  anonymous memory growth:     $(mib $((ANON_END - ANON_FIRST))) over $asked questions in ${writing_seconds} s ($(awk -v q="$asked" -v s="$writing_seconds" 'BEGIN { printf "%.1f", (s > 0 ? 60 * q / s : 0) }') a minute; bound $ANON_GROWTH_MIB MiB)
  threads / descriptors:       $THREADS_FIRST / $FDS_FIRST after the first sync, $THREADS / $FDS at the end
  write-ahead logs (KiB):      ${WAL_FIRST:-none} after the first sync; ${WAL_END:-none} at the end
  quit (SIGTERM):              status $quit_status in $quit_seconds s
  waits for the index ended:   ${WAITS_STEPS:-0} of 4 steps while the second instance's index was built (${WAITS_DONE:-none}); helper runs for the deleted chat's question: $WAITS_SENT_DELETED, for the signed-out question under the account: $WAITS_SENT_SIGNED_OUT
  memory per minute:           $(awk -F '\t' '{ printf "%s%d:%.0f", (NR > 1 ? " " : ""), $1 / 60, $2 / 1024 }' "$ROOT/rss.tsv") (minute:MiB)
  per minute (in $ROOT/rss.tsv): seconds, resident KiB, anonymous KiB, heap KiB, threads, descriptors, logs
EOF
# What each failed question said, since a run that passes takes its files with it.
if ((failed_answers > 0)); then
    grep 'rendered failure' "$TESTHOOK_LOG" | sed 's/^.*rendered failure: //' | sort | uniq -c |
        sed -E 's/^ *([0-9]+) (.*)$/  failure shown (\1x):     \2/'
fi

# --- The verdict -----------------------------------------------------------------------------
problems=()
((quit_status == 0)) || problems+=("the quit ended with status $quit_status")
((found == written)) || problems+=("$((written - found)) of $written messages written were not found")
rows=$(sqlite3 -readonly "$SHADOW_DB" "SELECT COUNT(*) FROM messages WHERE guid LIKE 'soak-%'")
((rows == found)) || problems+=("$((rows - found)) messages were stored twice")
((misplaced == 0)) || problems+=("$misplaced soak messages are not in the chat of their last join (${#SECOND_JOINED[@]} joined again)")
integrity=$(sqlite3 -readonly "$SHADOW_DB" "PRAGMA integrity_check" 2>&1 | head -n 3)
[[ $integrity == ok ]] || problems+=("the shadow database's integrity check: $integrity")
if ! sqlite3 "$SHADOW_DB" \
    "INSERT INTO messages_fts(messages_fts, rank) VALUES ('integrity-check', 1)" 2>/dev/null; then
    problems+=("the full-text index does not match the messages")
fi
searchable=$(sqlite3 -readonly "$SHADOW_DB" \
    "SELECT COUNT(*) FROM messages_fts WHERE messages_fts MATCH 'soak*'" 2>/dev/null || echo 0)
((searchable == rows)) || problems+=("$((rows - searchable)) of $rows soak messages are not in the full-text index")
((answered > 0)) || problems+=("no question of $asked was answered")
if [[ -s $ROOT/first-copy-question && ! $FIRST_COPY_ANSWER =~ ^response:\ Found\ [1-9] ]]; then
    problems+=("the question asked during the first copy was answered \"$FIRST_COPY_ANSWER\"")
fi
((ANON_END - ANON_FIRST <= ANON_GROWTH_MIB * 1024)) ||
    problems+=("the anonymous memory grew $(mib $((ANON_END - ANON_FIRST))), more than the $ANON_GROWTH_MIB MiB allowed")
((WAITS_SENT_DELETED == 0)) ||
    problems+=("the question whose chat was deleted while it waited for the index reached the helper ($WAITS_SENT_DELETED run(s))")
((WAITS_SENT_SIGNED_OUT == 0)) ||
    problems+=("the question that waited for the index across a sign-out reached the helper under the signed-out account ($WAITS_SENT_SIGNED_OUT run(s))")
((${WAITS_STEPS:-0} == 4)) ||
    problems+=("the second instance's first copy was over before the waits' steps were done (${WAITS_DONE:-none})")
[[ ${WAITS_QUIT:-1} == 0 ]] || problems+=("the second instance's quit ended with status ${WAITS_QUIT:-unknown}")
[[ -z $unheld_at ]] || problems+=("$unheld_at s into the writing the application held the shadow database's index open without its lock, for another process to reset")
if ((${#problems[@]} > 0)); then
    for problem in "${problems[@]}"; do
        echo "soak: FAIL $problem"
    done
    exit 1
fi
PASSED=1
echo "soak: passed"
