#!/usr/bin/env bash
# The application's first synchronisation of a generated history beside SQLite's own copy of the
# same rows (the `INSERT ... SELECT` of bench/store's baseline: the rows whose text is in the text
# column, into the same schema with its full-text triggers and the writers' settings), per row.
# Pairs taking turns (the application, then the copy) and pairs started together.
#
#   bash scripts/first-sync-beside-sqlite.sh [BUILD_DIR] [MESSAGES]   (build/rel, 1000000)
#
# VASK_PAIRS sets how many pairs of each kind (default 2). Prints one line per run and the ratio
# of each pair: the application's seconds per message written over the copy's per row copied
# (below 1.0: faster than SQLite's own copy). Each run's line also gives what the process wrote
# to storage over its whole life, its exit's checkpoint included (getrusage's blocks out: the
# write_bytes of /proc/<pid>/io, files deleted before they reached the disk included) and its
# fsync and fdatasync calls (strace, when installed), and how many of those were of the
# database's own files. The sample is kept in
# BUILD_DIR/bench-cache.
set -uo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${1:-build/rel}
MESSAGES=${2:-1000000}
PAIRS=${VASK_PAIRS:-2}
source scripts/harness.sh
harness_tools_ok || exit 1
VASK="$(cd "$BUILD_DIR" && pwd)/src/app/vask"

SAMPLE="$BUILD_DIR/bench-cache/first-sync-$MESSAGES.db"
if [[ ! -f $SAMPLE ]]; then
    mkdir -p "$(dirname "$SAMPLE")"
    "$BUILD_DIR/tools/sample-chatdb/sample-chatdb" --messages "$MESSAGES" --chats 500 --seed 1 \
        --out "$SAMPLE.new" >/dev/null && mv "$SAMPLE.new" "$SAMPLE"
fi
BASE=$(mktemp -d "${TMPDIR:-/tmp}/vask-first-sync.XXXXXX")
CALLER_HOME=$HOME
# VASK_KEEP=1 keeps the databases (their folder is printed) for a look afterwards.
trap 'harness_stop_stubs; export HOME=$CALLER_HOME
    if [[ ${VASK_KEEP:-} == 1 ]]; then echo "kept: $BASE"; else rm -rf "$BASE"; fi' EXIT
SCHEMA="$BASE/schema.sql"

# Milliseconds since the epoch of the log line that first names $1 after line $2.
log_ms() {
    tail -n +"$(($2 + 1))" "$VASK_LOG_FILE" | grep -m1 -- "$1" | cut -c1-24 |
        { read -r stamp && date -d "$stamp" +%s%3N; }
}

seconds() { echo "$(($1 / 1000)).$(printf '%03d' $(($1 % 1000)))"; }

# counted OUT COMMAND...: runs COMMAND, writing its seconds and blocks written to OUT.io and, with
# strace, its syncs to OUT.syncs (the process and every thread and child it starts).
counted() {
    local out=$1
    shift
    if command -v strace >/dev/null; then
        /usr/bin/time -f '%e %O' -o "$out.io" strace -f --seccomp-bpf -qq -y \
            -e trace=fsync,fdatasync -o "$out.syncs" "$@"
    else
        /usr/bin/time -f '%e %O' -o "$out.io" "$@"
    fi
}

# "MB fdatasyncs fsyncs ofDatabase" of a run counted into OUT: ofDatabase, the syncs of files
# whose name holds DATABASE (the database, its log and journal); "-" without strace.
io_of() {
    local blocks syncs
    blocks=$(tail -1 "$1.io" | cut -d' ' -f2)
    if [[ -f $1.syncs ]]; then
        syncs=$(awk -v db="$2" '/fdatasync\(/ { d++ } /[^a]fsync\(/ { f++ }
            index($0, db) && /sync\(/ { o++ } END { print d + 0, f + 0, o + 0 }' "$1.syncs")
    else
        syncs="- - -"
    fi
    echo "$(awk -v b="$blocks" 'BEGIN { printf "%.1f", b * 512 / 1e6 }') $syncs"
}

# The process named vask under PID (the counting wrappers between them).
vask_under() {
    local pid=$1
    while [[ -n $pid && $(cat "/proc/$pid/comm" 2>/dev/null) != vask ]]; do
        pid=$(pgrep -P "$pid" | head -1)
    done
    echo "$pid"
}

# One run's line from "seconds count MB fdatasyncs fsyncs ofDatabase".
describe() {
    read -r secs count mb datasyncs fsyncs own <<<"$1"
    echo "$secs s, $count $2; $mb MB written, $datasyncs fdatasync + $fsyncs fsync" \
        "($own of the database)"
}

# The application's first synchronisation; prints "seconds messages MB fdatasyncs fsyncs
# ofDatabase", and on standard error the copy's share and the closing index build's.
app_sync() {
    local root="$BASE/app-$1" lines start end pid build
    ROOT=$root
    mkdir -p "$root/tmp"
    export HOME=$CALLER_HOME
    unset XDG_RUNTIME_DIR
    harness_prepare "$root" "first-sync-$$-$1"
    cp "$SAMPLE" "$CHAT_DB_PATH"
    export TMPDIR="$root/tmp" QT_QPA_PLATFORM=offscreen
    harness_start_stubs "$root"
    lines=0
    counted "$root/app" "$VASK" >>"$root/app.out" 2>&1 &
    pid=$!
    wait_for 3600 log_grew 'shadow_sync_complete' 0
    start=$(log_ms shadow_sync_start "$lines")
    build=$(log_ms 'Building the indexes deferred' "$lines")
    end=$(log_ms shadow_sync_complete "$lines")
    if [[ -n $build ]]; then
        echo "  (copy $(seconds $((build - start))) s, indexes and the rest $(seconds $((end - build))) s)" >&2
    fi
    kill -TERM "$(vask_under "$pid")"
    wait "$pid"
    harness_stop_stubs
    local shadow="$XDG_DATA_HOME/first-sync-$$-$1/shadow.db"
    if [[ ! -f $SCHEMA ]]; then
        # Every table, index and trigger but the full-text index's own tables, in their order.
        sqlite3 "$shadow" "SELECT sql || ';' FROM sqlite_master WHERE sql IS NOT NULL AND NOT
            (type = 'table' AND (name GLOB 'messages_fts_*' OR name GLOB 'events_fts_*'))
            ORDER BY rowid" >"$SCHEMA"
    fi
    echo "$(seconds $((end - start))) $(sqlite3 "$shadow" 'SELECT count(*) FROM messages')" \
        "$(io_of "$root/app" /shadow.db)"
}

# SQLite's copy into a new database of the same schema; prints "seconds rows MB fdatasyncs
# fsyncs ofDatabase".
sqlite_copy() {
    local db="$BASE/copy-$1.db" timing
    rm -f "$db" "$db-wal" "$db-shm"
    { echo "PRAGMA journal_mode = WAL;"; cat "$SCHEMA"; } | sqlite3 "$db" >/dev/null
    counted "$BASE/copy-$1" sqlite3 "$db" >/dev/null <<EOF
PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA recursive_triggers = ON;
PRAGMA cache_size = -32768; PRAGMA temp_store = MEMORY;
ATTACH DATABASE '$SAMPLE' AS source;
BEGIN IMMEDIATE;
INSERT OR REPLACE INTO messages
(guid, chat_id, chat_name, sender, text, timestamp, is_from_me, is_group,
 recipient_handle, has_attachments, attachment_types, content_hash)
SELECT m.guid, IFNULL(c.guid, 'unknown'), c.display_name,
       CASE WHEN m.is_from_me THEN 'me' ELSE IFNULL(lower(h.id), 'unknown') END,
       m.text, m.date, m.is_from_me != 0, IFNULL(c.style, 0) = 43,
       CASE WHEN m.is_from_me AND IFNULL(c.style, 0) != 43 THEN h.id END, 0, NULL,
       substr(hex(m.guid), 1, 16)
FROM source.message m
LEFT JOIN source.handle h ON m.handle_id = h.ROWID
LEFT JOIN source.chat_message_join cmj ON m.ROWID = cmj.message_id
LEFT JOIN source.chat c ON cmj.chat_id = c.ROWID
WHERE m.text IS NOT NULL AND m.text != ''
ORDER BY m.ROWID;
COMMIT;
EOF
    timing=$(tail -1 "$BASE/copy-$1.io" | cut -d' ' -f1)
    echo "$timing $(sqlite3 "$db" 'SELECT count(*) FROM messages') $(io_of "$BASE/copy-$1" "/copy-$1.db")"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { split(a, x, " "); split(b, y, " ");
    printf "%.3f", (x[1] / x[2]) / (y[1] / y[2]) }'; }

load() { cut -d' ' -f1-3 /proc/loadavg; }

for ((i = 1; i <= PAIRS; i++)); do
    echo "taking turns $i (load $(load))"
    app=$(app_sync "turns-$i")
    echo "  application: $(describe "$app" messages)"
    copy=$(sqlite_copy "turns-$i")
    echo "  SQLite copy: $(describe "$copy" rows)"
    echo "  ratio per row: $(ratio "$app" "$copy")"
done
for ((i = 1; i <= PAIRS; i++)); do
    echo "together $i (load $(load))"
    sqlite_copy "together-$i" >"$BASE/copy-together-$i.out" &
    copier=$!
    app=$(app_sync "together-$i")
    wait "$copier"
    copy=$(cat "$BASE/copy-together-$i.out")
    echo "  application: $(describe "$app" messages)"
    echo "  SQLite copy: $(describe "$copy" rows)"
    echo "  ratio per row: $(ratio "$app" "$copy")"
done
