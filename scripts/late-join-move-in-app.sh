#!/usr/bin/env bash
# The application's move of 100,000 late joins at random over a generated history of 1,000,000
# messages (500 chats), as `BM_LateJoinSync/joins:100000/spread:2` measures it on the store alone:
# the joins are held back before Vask's first synchronisation and inserted in one commit 30 s
# after it; the watcher notices the commit and a run moves the messages into their chats.
#
#   bash scripts/late-join-move-in-app.sh [BUILD_DIR]   (build/rel)
#
# Prints the load, the CPU of the application's process and of each of its threads from the
# insert until the run that moved the messages has ended (plus 1 s), and how many messages are
# left without a chat. The end is read from the log, not from the database: a reader polling the
# shadow database would hold its write-ahead log from restarting and cost the run the log's
# growth. With SNAP=DIR, the two databases are copied there just before the insert, for a
# synchronisation of the same files outside the application.
set -uo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=$(cd "${1:-build/rel}" && pwd)
source scripts/harness.sh
harness_tools_ok || exit 1
ROOT=$(mktemp -d "${TMPDIR:-/tmp}/vask-late-join.XXXXXX")
INSTANCE="late-join-$$"
trap 'harness_stop_stubs; rm -rf "$ROOT"' EXIT
HARNESS_MESSAGES=1000000 HARNESS_CHATS=500 harness_prepare "$ROOT" "$INSTANCE"
SHADOW="$XDG_DATA_HOME/$INSTANCE/shadow.db"
# The joins of messages picked at random, in random order, as the benchmark picks them.
sqlite3 "$CHAT_DB_PATH" "PRAGMA journal_mode = WAL;
CREATE TABLE held_joins AS SELECT chat_id, message_id, message_date FROM chat_message_join
 WHERE (message_id * 2654435761) % 4294967291 % 10 = 0
   AND message_id < (SELECT MAX(message_id) FROM chat_message_join)
 ORDER BY (message_id * 40503) % 1000003, message_id;
DELETE FROM chat_message_join WHERE message_id IN (SELECT message_id FROM held_joins);" >/dev/null
export QT_QPA_PLATFORM=offscreen
harness_start_stubs "$ROOT" || exit 1
"$BUILD_DIR/src/app/vask" >>"$ROOT/app.out" 2>&1 &
APP=$!
wait_for 1800 log_grew 'shadow_sync_complete' 0 || { echo "no first synchronisation"; kill "$APP"; exit 1; }
sleep 30
if [[ -n ${SNAP:-} ]]; then
    rm -rf "$SNAP" && mkdir -p "$SNAP"
    for f in "$CHAT_DB_PATH"*; do cp "$f" "$SNAP/chat.db${f#"$CHAT_DB_PATH"}"; done
    for f in "$SHADOW"*; do cp "$f" "$SNAP/shadow.db${f#"$SHADOW"}"; done
fi
threads() {
    for t in /proc/"$APP"/task/*; do echo "$(basename "$t") $(awk '{ print $14 + $15 }' "$t/stat")"; done | sort
}
ticks() { awk '{ print $14 + $15 }' /proc/"$APP"/stat; }
HZ=$(getconf CLK_TCK)
before_threads=$(threads)
t0=$(ticks)
s0=$(date +%s.%N)
echo "load before: $(cat /proc/loadavg)"
moved_before=$(log_count 'shadow_sync_complete inserted=[1-9]')
sqlite3 "$CHAT_DB_PATH" "INSERT INTO chat_message_join (chat_id, message_id, message_date)
    SELECT chat_id, message_id, message_date FROM held_joins"
echo "insert committed after $(awk -v a="$s0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s"
wait_for 900 log_grew 'shadow_sync_complete inserted=[1-9]' "$moved_before" || echo "no move seen"
sleep 1
t1=$(ticks)
s1=$(date +%s.%N)
echo "load after: $(cat /proc/loadavg)"
echo "application: cpu $(awk -v d=$((t1 - t0)) -v hz="$HZ" 'BEGIN { printf "%.2f", d / hz }') s, wall $(awk -v a="$s0" -v b="$s1" 'BEGIN { printf "%.1f", b - a }') s"
join <(echo "$before_threads") <(threads) |
    awk -v hz="$HZ" '$3 > $2 { printf "  thread %s: %.2f s\n", $1, ($3 - $2) / hz }' | sort -k3 -nr
grep -E 'chatdb_sync_triggered|shadow_sync_start|Moved|shadow_sync_complete' "$VASK_LOG_FILE" | tail -16
echo "left without a chat: $(sqlite3 -readonly "$SHADOW" "SELECT COUNT(*) FROM messages WHERE chat_id = 'unknown'")"
kill -TERM "$APP"
wait "$APP"
