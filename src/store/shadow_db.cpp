#include "store/shadow_db.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <regex>
#include <system_error>
#include <thread>

#include "foundation/app_environment.h"
#include "platform/logger.h"
#include "platform/owner_only_file.h"
#include "platform/text.h"
#include "store/messages_time.h"
#include "store/shadow_db_statements.h"

namespace vask {
namespace {

using Case = ShadowDB::Error::Case;
using shadow_db_detail::prepare;
using shadow_db_detail::stepRow;

std::string describe(Case kind, const std::string& message) {
    switch (kind) {
        case Case::failedToOpen:
            return "Failed to open database: " + message;
        case Case::queryFailed:
            return "Query failed: " + message;
        case Case::prepareFailed:
            return "Statement preparation failed: " + message;
        case Case::insertFailed:
            return "Insert failed: " + message;
    }
    return message;
}

// The external-content full-text table `<table>_fts` over `table`, and the triggers that keep it
// in step: an insert adds the new row's words, a delete removes the old row's, an update does
// both. `columns` are the indexed columns, ", " between them.
namespace fullText {

std::string table(std::string_view table, std::string_view columns) {
    const std::string name(table);
    return "CREATE VIRTUAL TABLE IF NOT EXISTS " + name + "_fts USING fts5(\n    " +
           std::string(columns) + ",\n    content='" + name + "',\n    content_rowid='rowid'\n)";
}

std::string rowValues(std::string_view row, std::string_view columns) {
    std::string values = std::string(row) + ".rowid";
    for (std::size_t at = 0; at <= columns.size();) {
        const auto end = std::min(columns.find(", ", at), columns.size());
        values += ", " + std::string(row) + "." + std::string(columns.substr(at, end - at));
        at = end + 2;
    }
    return values;
}

std::string addNew(std::string_view table, std::string_view columns) {
    return "    INSERT INTO " + std::string(table) + "_fts(rowid, " + std::string(columns) +
           ")\n    VALUES (" + rowValues("new", columns) + ");\n";
}

std::string removeOld(std::string_view table, std::string_view columns) {
    const std::string fts = std::string(table) + "_fts";
    return "    INSERT INTO " + fts + "(" + fts + ", rowid, " + std::string(columns) +
           ")\n    VALUES ('delete', " + rowValues("old", columns) + ");\n";
}

std::string trigger(std::string_view table, std::string_view event, std::string_view body) {
    std::string name = std::string(table) + "_fts_" + text::toLower(event);
    return "CREATE TRIGGER IF NOT EXISTS " + name + " AFTER " + std::string(event) + " ON " +
           std::string(table) + " BEGIN\n" + std::string(body) + "END";
}

std::string insert(std::string_view table, std::string_view columns) {
    return trigger(table, "INSERT", addNew(table, columns));
}

std::string erase(std::string_view table, std::string_view columns) {
    return trigger(table, "DELETE", removeOld(table, columns));
}

std::string update(std::string_view table, std::string_view columns) {
    return trigger(table, "UPDATE", removeOld(table, columns) + addNew(table, columns));
}

}  // namespace fullText

const std::vector<std::string> schemaStatements = {
    R"(CREATE TABLE IF NOT EXISTS messages (
    rowid INTEGER PRIMARY KEY,
    guid TEXT NOT NULL,
    chat_id TEXT NOT NULL,
    chat_name TEXT,
    sender TEXT NOT NULL,
    text TEXT NOT NULL,
    timestamp INTEGER NOT NULL,
    is_from_me INTEGER NOT NULL,
    is_group INTEGER NOT NULL,
    recipient_handle TEXT,
    has_attachments INTEGER DEFAULT 0,
    attachment_types TEXT,
    content_hash TEXT,
    edited_at INTEGER,
    deleted_at INTEGER,
    timestamp_unix INTEGER
        GENERATED ALWAYS AS (timestamp / 1000000000 + 978307200) VIRTUAL
))",
    // A guid's one row: an index of its own (not a column constraint), so that a bulk copy can
    // leave it out and check the guids once at the end. Databases made with the constraint keep
    // it, and not this index.
    "CREATE UNIQUE INDEX IF NOT EXISTS idx_messages_guid_unique ON messages(guid)",
    "CREATE INDEX IF NOT EXISTS idx_messages_timestamp_unix ON messages(timestamp_unix DESC)",
    fullText::table("messages", "text, chat_name, sender"),
    fullText::insert("messages", "text, chat_name, sender"),
    fullText::erase("messages", "text, chat_name, sender"),
    fullText::update("messages", "text, chat_name, sender"),
    "CREATE INDEX IF NOT EXISTS idx_messages_chat ON messages(chat_id)",
    "CREATE INDEX IF NOT EXISTS idx_messages_timestamp ON messages(timestamp DESC)",
    "CREATE INDEX IF NOT EXISTS idx_messages_sender ON messages(sender)",
    "CREATE INDEX IF NOT EXISTS idx_messages_chat_time ON messages(chat_id, timestamp DESC)",
    // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): one statement split over two lines.
    "CREATE INDEX IF NOT EXISTS idx_messages_recipient_time ON messages(recipient_handle, "
    "timestamp DESC)",
    R"(CREATE TABLE IF NOT EXISTS events (
    id TEXT PRIMARY KEY,
    title TEXT NOT NULL,
    start_date INTEGER NOT NULL,
    end_date INTEGER,
    location TEXT,
    notes TEXT,
    calendar_name TEXT,
    is_all_day INTEGER DEFAULT 0,
    recurrence_rule TEXT,
    participants TEXT,
    created_at INTEGER,
    modified_at INTEGER
))",
    fullText::table("events", "title, location, notes"),
    fullText::insert("events", "title, location, notes"),
    fullText::erase("events", "title, location, notes"),
    fullText::update("events", "title, location, notes"),
    "CREATE INDEX IF NOT EXISTS idx_events_start_date ON events(start_date)",
    R"(CREATE TABLE IF NOT EXISTS chat_participants (
    chat_id TEXT NOT NULL,
    handle_id INTEGER NOT NULL,
    handle TEXT NOT NULL,
    service TEXT,
    PRIMARY KEY (chat_id, handle_id)
))",
    "CREATE INDEX IF NOT EXISTS idx_chat_participants_chat ON chat_participants(chat_id)",
    "CREATE INDEX IF NOT EXISTS idx_chat_participants_handle ON chat_participants(handle)",
    R"(CREATE TABLE IF NOT EXISTS sync_state (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    last_timestamp INTEGER NOT NULL DEFAULT 0,
    last_rowid INTEGER NOT NULL DEFAULT 0,
    message_count INTEGER NOT NULL DEFAULT 0,
    updated_at INTEGER NOT NULL
))",
    "INSERT OR IGNORE INTO sync_state (id, last_timestamp, last_rowid, updated_at) VALUES (1, 0, "
    "0, 0)",
    R"(CREATE TABLE IF NOT EXISTS join_cursor (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    join_rowid INTEGER NOT NULL,
    chat_id INTEGER NOT NULL,
    message_id INTEGER NOT NULL,
    last_chat_rowid INTEGER NOT NULL
))",
};

// What a bulk copy leaves out while it runs: the full-text triggers and the indexes that
// random keys would scatter writes over, the guid's UNIQUE index among them (the copy appends,
// and the guids are made unique once at its end; a database whose guid column carries the
// constraint itself keeps it, and copies by replacing). The two time indexes stay: rows arrive in
// nearly time order, and a query names idx_messages_timestamp.
constexpr std::string_view messagesFtsTriggers[] = {
    "messages_fts_insert",
    "messages_fts_delete",
    "messages_fts_update",
};
constexpr std::string_view guidUniqueIndex = "idx_messages_guid_unique";
// A plain index on the guid: made by older builds beside the unique one, and now only for the
// moment a bulk copy's end removes duplicate guids.
constexpr std::string_view plainGuidIndex = "idx_messages_guid";
constexpr std::string_view deferrableIndexes[] = {
    "idx_messages_chat", "idx_messages_sender",         "idx_messages_chat_time",
    "idx_messages_guid", "idx_messages_recipient_time", guidUniqueIndex,
};
// The indexes beside the guid's that a bulk copy leaves out and builds again at its end.
constexpr std::string_view secondaryIndexes[] = {
    "idx_messages_chat",
    "idx_messages_sender",
    "idx_messages_chat_time",
    "idx_messages_recipient_time",
};
constexpr std::string_view secondaryIndexCountSQL =
    "SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND name IN ('idx_messages_chat', "
    "'idx_messages_sender', 'idx_messages_chat_time', 'idx_messages_recipient_time')";
// A statement of the schema that makes one of the objects a bulk copy leaves out.
bool isDeferrable(std::string_view statement) {
    auto names = [&](std::string_view name) {
        return statement.find("IF NOT EXISTS " + std::string(name) + " ") != std::string_view::npos;
    };
    return std::any_of(std::begin(messagesFtsTriggers), std::end(messagesFtsTriggers), names) ||
           std::any_of(std::begin(deferrableIndexes), std::end(deferrableIndexes), names);
}

// SQLite's checkpoint after a commit once the log holds this many pages (a bulk copy's is
// ShadowDB::bulkCopyCheckpointPages).
constexpr int defaultCheckpointPages = 1000;

// The page cache while the indexes are built, in KiB: also the size of the chunks the builds
// sort, during which a stop waits (see rebuildIndexes). SQLite sorts no smaller chunk than 250
// pages (1 MiB of 4 KiB pages) whatever the cache.
constexpr int buildCacheKiB = 1024;

constexpr std::string_view messagesFtsCountSQL =
    "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = 'messages_fts'";
constexpr std::string_view messagesFtsTriggerCountSQL =
    "SELECT COUNT(*) FROM sqlite_master WHERE type = 'trigger' AND name IN "
    "('messages_fts_insert', 'messages_fts_delete', 'messages_fts_update')";

// The index SQLite made for a guid column declared UNIQUE (databases from before the index of
// its own), and the one of its own.
constexpr std::string_view inlineGuidConstraintCountSQL =
    "SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND name = "
    "'sqlite_autoindex_messages_1'";
constexpr std::string_view guidUniqueIndexCountSQL =
    "SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND name IN "
    "('sqlite_autoindex_messages_1', 'idx_messages_guid_unique')";

constexpr std::string_view legacyTables[] = {
    "messages_fts",      "messages",   "events_fts",  "events",
    "chat_participants", "sync_state", "join_cursor",
};

constexpr std::string_view insertMessageSQL = R"(INSERT OR REPLACE INTO messages
(guid, chat_id, chat_name, sender, text, timestamp, is_from_me, is_group,
 recipient_handle, has_attachments, attachment_types, content_hash)
VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?))";

constexpr std::string_view createStagingSQL = R"(CREATE TEMP TABLE IF NOT EXISTS shadow_batch (
    seq INTEGER PRIMARY KEY,
    guid TEXT, chat_id TEXT, chat_name TEXT, sender TEXT, text TEXT, timestamp INTEGER,
    is_from_me INTEGER, is_group INTEGER, recipient_handle TEXT, has_attachments INTEGER,
    attachment_types TEXT, content_hash TEXT
))";

constexpr std::string_view stageMessageSQL = R"(INSERT INTO temp.shadow_batch
(guid, chat_id, chat_name, sender, text, timestamp, is_from_me, is_group,
 recipient_handle, has_attachments, attachment_types, content_hash)
VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?))";

constexpr std::string_view copyStagedSQL = R"(INSERT OR REPLACE INTO main.messages
(guid, chat_id, chat_name, sender, text, timestamp, is_from_me, is_group,
 recipient_handle, has_attachments, attachment_types, content_hash)
SELECT guid, chat_id, chat_name, sender, text, timestamp, is_from_me, is_group,
 recipient_handle, has_attachments, attachment_types, content_hash
FROM temp.shadow_batch ORDER BY seq)";

// A staged row without a chat takes the chat of the row it replaces, when that has one: the
// message was read before its chat join was there, and the row it replaces was written later
// (by another run, or by the move into its chat), with it.
constexpr std::string_view keepChatOfReplacedSQL = R"(UPDATE temp.shadow_batch
SET chat_id = m.chat_id, chat_name = m.chat_name, is_group = m.is_group,
    recipient_handle = m.recipient_handle
FROM main.messages AS m
WHERE m.guid = temp.shadow_batch.guid AND temp.shadow_batch.chat_id = ?1 AND m.chat_id <> ?1)";

// A bulk copy without the guid's unique index appends, numbering each row as a replace would:
// the rows of a guid from other batches or runs stay until the copy's end, which keeps the last
// (see removeDuplicateGuidsSQL).
constexpr std::string_view appendMessageSQL = R"(INSERT INTO main.messages
(guid, chat_id, chat_name, sender, text, timestamp, is_from_me, is_group,
 recipient_handle, has_attachments, attachment_types, content_hash, rowid)
VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?))";
constexpr std::string_view nextRowidSQL = "SELECT COALESCE(MAX(rowid), 0) + 1 FROM main.messages";

// The end of such a copy, through idx_messages_guid (built first): of the rows of one guid the
// last written stays, as if each had replaced the one before; without a chat it takes the chat
// of the latest row it replaced that had one, as a replace does (keepChatOfReplacedSQL).
constexpr std::string_view createDuplicatesSQL =
    "CREATE TEMP TABLE IF NOT EXISTS shadow_duplicate (guid TEXT PRIMARY KEY, kept INTEGER)";
constexpr std::string_view findDuplicatesSQL = R"(INSERT INTO temp.shadow_duplicate (guid, kept)
SELECT guid, MAX(rowid) FROM main.messages GROUP BY guid HAVING COUNT(*) > 1)";
constexpr std::string_view keepChatOfDuplicatesSQL = R"(UPDATE main.messages
SET chat_id = older.chat_id, chat_name = older.chat_name, is_group = older.is_group,
    recipient_handle = older.recipient_handle
FROM (SELECT d.kept AS kept, m.chat_id, m.chat_name, m.is_group, m.recipient_handle, MAX(m.rowid)
      FROM temp.shadow_duplicate AS d JOIN main.messages AS m ON m.guid = d.guid
      WHERE m.rowid < d.kept AND m.chat_id <> ?1
      GROUP BY d.kept) AS older
WHERE main.messages.rowid = older.kept AND main.messages.chat_id = ?1)";
constexpr std::string_view removeDuplicateGuidsSQL = R"(DELETE FROM main.messages
WHERE rowid IN (SELECT m.rowid FROM temp.shadow_duplicate AS d
                JOIN main.messages AS m ON m.guid = d.guid WHERE m.rowid < d.kept))";
constexpr std::string_view recountSQL = R"(UPDATE sync_state
SET message_count = (SELECT COUNT(*) FROM messages WHERE deleted_at IS NULL) WHERE id = 1)";

// Messages moved into their chats, one row per guid (the last written wins, as in a batch).
constexpr std::string_view createMoveStagingSQL = R"(CREATE TEMP TABLE IF NOT EXISTS shadow_move (
    guid TEXT PRIMARY KEY, chat_id TEXT, chat_name TEXT, is_group INTEGER, recipient_handle TEXT
))";

constexpr std::string_view stageMoveSQL = R"(INSERT OR REPLACE INTO temp.shadow_move
(guid, chat_id, chat_name, is_group, recipient_handle) VALUES (?, ?, ?, ?, ?))";

// The rows to move, by where they live: looked up in guid order (the staging table's key, so
// the lookups walk the guid index once, which gives the row id: no table page read), then keyed
// by row id. CROSS JOIN keeps the staged rows the outer loop: without statistics SQLite could
// as well walk every waiting message of the table for each batch.
constexpr std::string_view createMoveTargetsSQL =
    R"(CREATE TEMP TABLE IF NOT EXISTS shadow_move_target (
    target INTEGER PRIMARY KEY, chat_id TEXT, chat_name TEXT, is_group INTEGER,
    recipient_handle TEXT
))";

constexpr std::string_view locateMovesSQL = R"(INSERT INTO temp.shadow_move_target
(target, chat_id, chat_name, is_group, recipient_handle)
SELECT m.rowid, mv.chat_id, mv.chat_name, mv.is_group, mv.recipient_handle
FROM temp.shadow_move AS mv CROSS JOIN main.messages AS m ON m.guid = mv.guid
ORDER BY mv.guid)";

// In place, in row-id order: the row keeps its row id and guid, so only the chat's indexes and
// the full-text row change, not the guid indexes a replace would scatter writes over; and the
// table's pages and the old chat's index entries are met in the order they lie. The row ids
// drive the loop (`+chat_id` keeps SQLite from walking the chat index instead). ?2 true moves
// rows from any chat.
constexpr std::string_view moveStagedSQL = R"(UPDATE main.messages
SET (chat_id, chat_name, is_group, recipient_handle) =
    (SELECT mv.chat_id, mv.chat_name, mv.is_group, mv.recipient_handle
     FROM temp.shadow_move_target AS mv WHERE mv.target = main.messages.rowid)
WHERE rowid IN (SELECT target FROM temp.shadow_move_target)
  AND (+chat_id = ?1 OR ?2) AND deleted_at IS NULL)";

// Distinct guids of the batch without a live row yet: how much the live count grows.
constexpr std::string_view countNewLiveSQL = R"(SELECT COUNT(*)
FROM (SELECT DISTINCT guid FROM temp.shadow_batch) AS batch
WHERE NOT EXISTS (
    SELECT 1 FROM main.messages AS m WHERE m.guid = batch.guid AND m.deleted_at IS NULL))";

constexpr std::string_view insertParticipantSQL =
    R"(INSERT INTO chat_participants (chat_id, handle_id, handle, service)
VALUES (?, ?, ?, ?))";

constexpr std::string_view updateSyncStateSQL = R"(UPDATE sync_state
SET last_timestamp = ?, last_rowid = ?, message_count = ?, updated_at = ?
WHERE id = 1)";

constexpr std::string_view fetchParticipantsSQL = R"(SELECT chat_id, handle_id, handle, service
FROM chat_participants
WHERE chat_id = ?
ORDER BY handle_id ASC)";

constexpr std::string_view listTablesSQL = R"(SELECT name
FROM sqlite_master
WHERE type IN ('table', 'view')
  AND name NOT LIKE 'sqlite_%'
ORDER BY name)";

constexpr std::string_view messageCountSQL =
    "SELECT COUNT(*) FROM messages WHERE deleted_at IS NULL";

void bindMessage(SQLiteStatement& statement, const ShadowMessage& message) {
    statement.bind(1, message.guid)
        .bind(2, message.chatId)
        .bind(3, message.chatName)
        .bind(4, message.sender)
        .bind(5, message.text)
        .bind(6, message.timestamp)
        .bind(7, message.isFromMe ? 1 : 0)
        .bind(8, message.isGroup ? 1 : 0)
        .bind(9, message.recipientHandle)
        .bind(10, message.hasAttachments ? 1 : 0)
        .bind(11, message.attachmentTypesJSON())
        .bind(12, message.contentHash());
}

std::int64_t fileSizeOrMinusOne(const std::filesystem::path& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? -1 : static_cast<std::int64_t>(size);
}

}  // namespace

ShadowDB::Error::Error(Case kind, std::string message)
    : vask::Error(describe(kind, message)), kind_(kind), message_(std::move(message)) {}

ShadowDB::ShadowDB(const std::optional<std::filesystem::path>& path, OpenMode mode)
    : path_(path ? *path : defaultShadowDBPath()), mode_(mode) {
    const auto sqliteMode = mode == OpenMode::readOnly ? SQLiteSupport::OpenMode::readOnly
                                                       : SQLiteSupport::OpenMode::readWriteCreate;
    if (mode != OpenMode::readOnly) {
        // A copy of the person's messages: private from the file's creation on.
        try {
            prepareOwnerOnlyDatabase(path_);
        } catch (const std::filesystem::filesystem_error& error) {
            throw Error(Case::failedToOpen, error.what());
        }
    }
    try {
        db_ = SQLiteConnection::open(path_, sqliteMode);
    } catch (const SQLiteSupport::Failure& failure) {
        throw Error(Case::failedToOpen, failure.message());
    }
    if (mode == OpenMode::readOnly) {
        return;
    }
    try {
        SQLiteSupport::configureWriterRetrying(
            db_.get(), SQLiteSupport::SynchronousMode::normal, false,
            std::chrono::milliseconds(SQLiteSupport::defaultBusyTimeoutMilliseconds));
    } catch (const SQLiteSupport::Failure& failure) {
        close();
        throw Error(Case::queryFailed, failure.message());
    }
    // Messages are written with INSERT OR REPLACE; SQLite fires the delete trigger for the row a
    // REPLACE removes only with recursive triggers on, and without it the full-text index would
    // keep the old row's words. Writers are short-lived and mostly add a few rows: a small page
    // cache, since what a worker thread's connection allocates stays in that thread's heap arena
    // after it closes (a bulk copy takes a large one, below).
    constexpr std::pair<std::string_view, std::string_view> writerPragmas[] = {
        {"recursive_triggers", "PRAGMA recursive_triggers = ON"},
        {"cache_size", "PRAGMA cache_size = -4096"},
        {"temp_store", "PRAGMA temp_store = MEMORY"},
    };
    for (const auto& [context, sql] : writerPragmas) {
        try {
            db_.execute(sql);
        } catch (const SQLiteSupport::Failure& failure) {
            close();
            throw Error(Case::queryFailed, std::string(context) + ": " + failure.message());
        }
    }
}

std::filesystem::path ShadowDB::defaultShadowDBPath() {
    return defaultShadowDBPath(processEnvironment(), AppEnvironment::bundleIdentifier());
}

std::filesystem::path ShadowDB::defaultShadowDBPath(const Environment& env,
                                                    const std::optional<std::string>& bundleId) {
    if (const auto it = env.find("SHADOW_DB_PATH"); it != env.end()) {
        return it->second;
    }
    try {
        return AppEnvironment::supportDirectoryURL(env, bundleId) / "shadow.db";
    } catch (const vask::Error& error) {
        throw Error(Case::failedToOpen, error.what());
    }
}

sqlite3* ShadowDB::connection() const {
    if (!db_) {
        throw Error(Case::queryFailed, "database is closed");
    }
    return db_.get();
}

void ShadowDB::execute(std::string_view sql) {
    sqlite3* db = connection();
    try {
        SQLiteSupport::execute(sql, db);
    } catch (const SQLiteSupport::Failure& failure) {
        throw Error(Case::queryFailed, failure.message());
    }
}

void ShadowDB::inWriteTransaction(const std::function<void()>& body) {
    sqlite3* db = connection();
    if (sqlite3_get_autocommit(db) == 0) {
        // Inside a caller's transaction: a savepoint keeps this write all or nothing.
        execute("SAVEPOINT shadow_write");
        try {
            body();
            execute("RELEASE shadow_write");
        } catch (...) {
            sqlite3_exec(db, "ROLLBACK TO shadow_write; RELEASE shadow_write", nullptr, nullptr,
                         nullptr);
            throw;
        }
        return;
    }
    try {
        db_.inImmediateTransaction(body);
    } catch (const SQLiteSupport::Failure& failure) {
        // BEGIN or COMMIT (the body throws our own errors).
        throw Error(Case::queryFailed, failure.message());
    }
}

void ShadowDB::inWriteTransaction(const std::function<void()>& body, const std::stop_token& stop) {
    inWriteTransaction([&] {
        // Not over the commit: SQLite writes a commit's pages without looking at an interrupt,
        // and a checkpoint interrupted after it is only done again when the connection closes.
        const SQLiteStopInterrupt interrupt(connection(), stop);
        body();
        // SQLite forgets an interrupt that came between two statements.
        interrupt.throwIfStopped<Error>();
    });
}

std::int64_t ShadowDB::scalarCount(std::string_view sql) {
    try {
        SQLiteStatement statement(connection(), sql);
        if (!statement.step()) {
            throw Error(Case::queryFailed, sqlite3_errmsg(connection()));
        }
        return statement.columnInt64(0);
    } catch (const SQLiteSupport::Failure& failure) {
        throw Error(Case::queryFailed, failure.message());
    }
}

std::int64_t ShadowDB::firstColumnOrZero(std::string_view sql) {
    auto statement = prepare(connection(), sql);
    return stepRow(statement) ? statement.columnInt64(0) : 0;
}

void ShadowDB::createSchemaIfNeeded(std::stop_token stop) {
    // A repair and the indexes made here can each run for seconds on a large history.
    const SQLiteStopInterrupt interrupt(connection(), stop);
    inWriteTransaction([&] { rebuildOnSchemaVersionMismatchLocked(); });
    const auto lock = tryLockBulkCopy();
    if (!lock) {
        // A bulk copy is running (in this process or another): its indexes are its own to
        // rebuild, and a trigger made now, without the rebuild, would leave the index short.
        for (const auto& statement : schemaStatements) {
            if (!isDeferrable(statement)) {
                execute(statement);
            }
        }
        return;
    }
    // A bulk copy cut short left the full-text index without its triggers: it missed rows, so
    // it is rebuilt along with them before anything reads it.
    if (scalarCount(messagesFtsCountSQL) == 1 && isIndexMaintenanceSuspended()) {
        Logger("ai.vask.VaskCore", "shadow-db")
            .info("Repairing the indexes of a cut-short bulk copy");
        rebuildIndexes(stop);
    }
    executeSchemaStatements({});
    // Databases of older builds carry a plain guid index beside the unique one.
    if (guidIsIndexed()) {
        execute("DROP INDEX IF EXISTS " + std::string(plainGuidIndex));
    }
}

void ShadowDB::executeSchemaStatements(const std::function<void()>& beforeEach) {
    for (const auto& statement : schemaStatements) {
        if (beforeEach) {
            beforeEach();
        }
        // A table made with the guid constraint has its unique index already.
        if (statement.find(guidUniqueIndex) != std::string::npos &&
            scalarCount(inlineGuidConstraintCountSQL) > 0) {
            continue;
        }
        execute(statement);
    }
}

bool ShadowDB::guidIsIndexed() {
    return scalarCount(guidUniqueIndexCountSQL) > 0;
}

bool ShadowDB::indexesAreWhole() {
    return !isIndexMaintenanceSuspended() && guidIsIndexed() &&
           scalarCount(secondaryIndexCountSQL) ==
               static_cast<std::int64_t>(std::size(secondaryIndexes));
}

bool ShadowDB::completeIndexes(const std::stop_token& stop, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::mutex mutex;
    std::condition_variable_any stopped;
    while (!indexesAreWhole()) {
        // Free now: the repair takes the lock again for itself. Whoever takes it in between is
        // another copy, whose own end builds the indexes.
        if (tryLockBulkCopy()) {
            createSchemaIfNeeded(stop);
            if (indexesAreWhole()) {
                return true;
            }
        }
        if (stop.stop_requested() || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::unique_lock lock(mutex);
        stopped.wait_for(lock, stop, std::chrono::milliseconds(100), [] { return false; });
    }
    return true;
}

bool ShadowDB::resumeCutShortBulkCopy() {
    if (bulkLock_) {
        return true;
    }
    try {
        if (SQLiteSupport::userVersion(connection()) != supportedSchemaVersion) {
            return false;
        }
    } catch (const SQLiteSupport::Failure& failure) {
        throw Error(Case::queryFailed, failure.message());
    }
    if (scalarCount(messagesFtsCountSQL) != 1 || !isIndexMaintenanceSuspended()) {
        return false;
    }
    bulkLock_ = tryLockBulkCopy();
    if (!bulkLock_) {
        return false;
    }
    // Another copy may have finished between the look and the lock.
    if (!isIndexMaintenanceSuspended()) {
        bulkLock_.reset();
        return false;
    }
    configureBulkCopy();
    return true;
}

std::shared_ptr<void> ShadowDB::tryLockBulkCopy() const {
    // An advisory lock on a file beside the database, held for as long as a bulk copy runs; the
    // system drops it when the process ends, however it ends.
    const int fd = ::open((path_.string() + "-bulk").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        // Nowhere to keep the lock: no bulk copy can hold it either.
        return std::make_shared<int>(-1);
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::shared_ptr<void>(new int(fd), [](void* held) {
        auto* descriptor = static_cast<int*>(held);
        ::close(*descriptor);
        delete descriptor;
    });
}

bool ShadowDB::suspendIndexMaintenance() {
    // Another writer checking the schema holds the lock for a moment; a bulk copy for long.
    for (int attempt = 0; !bulkLock_ && attempt < 50; ++attempt) {
        bulkLock_ = tryLockBulkCopy();
        if (!bulkLock_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    if (!bulkLock_) {
        return false;
    }
    configureBulkCopy();
    inWriteTransaction([&] {
        for (const auto trigger : messagesFtsTriggers) {
            execute("DROP TRIGGER IF EXISTS " + std::string(trigger));
        }
        for (const auto index : deferrableIndexes) {
            execute("DROP INDEX IF EXISTS " + std::string(index));
        }
    });
    return true;
}

void ShadowDB::configureBulkCopy() {
    // The copy goes over the whole table and its time indexes.
    execute("PRAGMA cache_size = -32768");
    // Each checkpoint syncs the log and the database: one every bulkCopyCheckpointPages of log
    // rather than every few batches.
    execute("PRAGMA wal_autocheckpoint = " + std::to_string(bulkCopyCheckpointPages));
}

void ShadowDB::resumeIndexMaintenance(std::stop_token stop) {
    rebuildIndexes(stop);
    bulkLock_.reset();
    execute("PRAGMA wal_autocheckpoint = " + std::to_string(defaultCheckpointPages));
}

void ShadowDB::rebuildIndexes(const std::stop_token& stop) {
    // Each statement of a large history runs for seconds: a quit must not wait for them. The
    // interrupted transaction rolls back whole, so the indexes stay suspended and marked for the
    // next open to repair.
    const SQLiteStopInterrupt interrupt(connection(), stop);
    const auto stopIfAsked = [&] { interrupt.throwIfStopped<Error>(); };
    // Index builds sort every row; in the writer's in-memory temporary store the sort would
    // hold the whole table. SQLite sorts in chunks the size of the page cache and merges them as
    // it writes the index, and a stop reaches the merge but not the sort of a chunk: a bulk
    // copy's 32 MiB cache held a stop up for over 2 s on a loaded core, and 4 MiB still the
    // first chunk of the guid's index (the longest stretch of a build) for over a second under
    // ThreadSanitizer; a chunk of buildCacheKiB is sorted in a third of that. Smaller chunks
    // build no slower (they sort in the processor's caches; the merge is cheap), and the
    // full-text rebuild and the other statements write their pages in order. The cache the
    // connection had comes back after.
    const auto cacheBefore = firstColumnOrZero("PRAGMA cache_size");
    execute("PRAGMA cache_size = -" + std::to_string(buildCacheKiB));
    const auto restoreCache = [&] {
        sqlite3_exec(connection(), ("PRAGMA cache_size = " + std::to_string(cacheBefore)).c_str(),
                     nullptr, nullptr, nullptr);
    };
    try {
        withFileTemporaryStore([&] {
            inWriteTransaction([&] {
                // Each statement looks at the stop before it starts, as well as inside.
                stopIfAsked();
                if (!guidIsIndexed() && !createGuidUniqueIndex()) {
                    removeDuplicateGuids();
                }
                stopIfAsked();
                execute("INSERT INTO messages_fts(messages_fts) VALUES ('rebuild')");
                executeSchemaStatements(stopIfAsked);
                stopIfAsked();
                // The copy kept its count as if no guid had been stored before it.
                execute(recountSQL);
            });
        });
    } catch (...) {
        restoreCache();
        throw;
    }
    restoreCache();
}

bool ShadowDB::createGuidUniqueIndex() {
    // A copy writes each guid once unless a run wrote beside it, or it went over rows already
    // stored: the index is made at once, and only a duplicate sends the end through their removal.
    execute("SAVEPOINT guid_unique");
    try {
        execute("CREATE UNIQUE INDEX IF NOT EXISTS " + std::string(guidUniqueIndex) +
                " ON messages(guid)");
    } catch (const Error&) {
        sqlite3* db = connection();
        const int failed = sqlite3_errcode(db);
        sqlite3_exec(db, "ROLLBACK TO guid_unique; RELEASE guid_unique", nullptr, nullptr, nullptr);
        if ((failed & 0xff) == SQLITE_CONSTRAINT) {
            return false;
        }
        throw;
    }
    execute("RELEASE guid_unique");
    return true;
}

void ShadowDB::removeDuplicateGuids() {
    sqlite3* db = connection();
    execute("CREATE INDEX IF NOT EXISTS " + std::string(plainGuidIndex) + " ON messages(guid)");
    execute(createDuplicatesSQL);
    execute("DELETE FROM temp.shadow_duplicate");
    execute(findDuplicatesSQL);
    try {
        prepare(db, keepChatOfDuplicatesSQL).bind(1, ShadowMessage::unknownChatId).run();
    } catch (const SQLiteSupport::Failure& failure) {
        throw Error(Case::queryFailed, failure.message());
    }
    execute(removeDuplicateGuidsSQL);
    execute("DELETE FROM temp.shadow_duplicate");
    // The unique index made next serves every lookup by guid.
    execute("DROP INDEX " + std::string(plainGuidIndex));
}

bool ShadowDB::isIndexMaintenanceSuspended() {
    return scalarCount(messagesFtsTriggerCountSQL) <
           static_cast<std::int64_t>(std::size(messagesFtsTriggers));
}

bool ShadowDB::fullTextIndexPending() {
    // No full-text table yet (a database being made) counts as pending too: nothing is indexed.
    return scalarCount(messagesFtsCountSQL) != 1 || isIndexMaintenanceSuspended();
}

void ShadowDB::withFileTemporaryStore(const std::function<void()>& body) {
    execute("PRAGMA temp_store = FILE");
    try {
        body();
    } catch (...) {
        sqlite3_exec(connection(), "PRAGMA temp_store = MEMORY", nullptr, nullptr, nullptr);
        throw;
    }
    execute("PRAGMA temp_store = MEMORY");
}

void ShadowDB::rebuildOnSchemaVersionMismatchLocked() {
    sqlite3* db = connection();
    std::int32_t version = 0;
    try {
        version = SQLiteSupport::userVersion(db);
    } catch (const SQLiteSupport::Failure& failure) {
        throw Error(Case::queryFailed, failure.message());
    }
    if (version == supportedSchemaVersion) {
        return;
    }
    if (version > supportedSchemaVersion) {
        throw Error(Case::queryFailed, "shadow.db schema version " + std::to_string(version) +
                                           " is newer than this build supports (" +
                                           std::to_string(supportedSchemaVersion) +
                                           ") \u2014 refusing to rebuild a newer database; "
                                           "upgrade Vask or delete shadow.db manually");
    }
    if (scalarCount("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = "
                    "'messages'") >= 1) {
        for (const auto table : legacyTables) {
            execute("DROP TABLE IF EXISTS " + std::string(table));
        }
    }
    try {
        SQLiteSupport::setUserVersion(static_cast<std::int32_t>(supportedSchemaVersion), db);
    } catch (const SQLiteSupport::Failure& failure) {
        throw Error(Case::queryFailed, failure.message());
    }
}

std::size_t ShadowDB::insertBatch(const std::vector<ShadowMessage>& messages) {
    return insertBatchCounting(messages).written;
}

ShadowDB::BatchOutcome ShadowDB::insertBatchCounting(const std::vector<ShadowMessage>& messages,
                                                     const std::stop_token& stop) {
    if (messages.empty()) {
        return {};
    }
    sqlite3* db = connection();
    std::int64_t added = 0;
    // SQLite ignores an interrupt between statements, hence the checks in the staging loop.
    const SQLiteStopInterrupt interrupt(db, stop);
    const auto throwIfStopped = [&interrupt] { interrupt.throwIfStopped<Error>(); };
    if (!guidIsIndexed()) {
        // A bulk copy without the guid's index: no trigger to fire and nothing to replace, so
        // each row goes straight into the table, and the guids are made unique at the end.
        // Every row, as a replace would number it (a replace takes the next row id, then
        // deletes the row it replaces).
        inWriteTransaction([&] {
            auto append = prepare(db, appendMessageSQL);
            // The rows of one message come together (one per chat): only the last is written,
            // as the last replaces the others in a row-by-row copy, but each takes its number,
            // so the copy's end has no duplicate to remove and row ids come out the same.
            std::int64_t rowid = firstColumnOrZero(nextRowidSQL);
            for (std::size_t i = 0; i < messages.size(); ++i, ++rowid) {
                const auto& message = messages[i];
                throwIfStopped();
                if (i + 1 < messages.size() && messages[i + 1].guid == message.guid) {
                    continue;
                }
                append.reset();
                try {
                    bindMessage(append, message);
                    append.bind(13, rowid);
                    append.run();
                } catch (const SQLiteSupport::Failure& failure) {
                    throwIfStopped();
                    throw insertFailure(message.guid, failure.message());
                }
            }
        });
        // What the count grows by if none of these guids was stored before (the rows of a
        // message come together); the copy's end counts the table.
        for (std::size_t i = 0; i < messages.size(); ++i) {
            added += i == 0 || messages[i].guid != messages[i - 1].guid ? 1 : 0;
        }
        return {messages.size(), added};
    }
    inWriteTransaction([&] {
        // Every statement that fires the full-text triggers runs in a statement transaction, and
        // FTS5 writes its pending terms out at each one: a statement per message would leave a
        // segment per message to merge. The batch is staged in a temporary table and copied in
        // one statement instead, in the same order, so later rows of a guid still win.
        execute(createStagingSQL);
        execute("DELETE FROM temp.shadow_batch");
        auto stage = prepare(db, stageMessageSQL);
        for (const auto& message : messages) {
            throwIfStopped();
            stage.reset();
            try {
                bindMessage(stage, message);
                stage.run();
            } catch (const SQLiteSupport::Failure& failure) {
                throwIfStopped();
                throw insertFailure(message.guid, failure.message());
            }
        }
        throwIfStopped();
        added = firstColumnOrZero(countNewLiveSQL);
        try {
            prepare(db, keepChatOfReplacedSQL).bind(1, ShadowMessage::unknownChatId).run();
            throwIfStopped();
            SQLiteStatement(db, copyStagedSQL).run();
        } catch (const SQLiteSupport::Failure& failure) {
            throwIfStopped();
            // The failed copy undid itself; writing row by row names the message at fault.
            insertOneByOne(messages);
            throw insertFailure("?", failure.message());
        }
        execute("DELETE FROM temp.shadow_batch");
    });
    return {messages.size(), added};
}

std::int64_t ShadowDB::moveIntoChats(const std::vector<ShadowMessage>& messages,
                                     const std::stop_token& stop, MoveFrom from) {
    if (messages.empty()) {
        return 0;
    }
    sqlite3* db = connection();
    std::int64_t moved = 0;
    // SQLite ignores an interrupt between statements, hence the checks in the staging loop.
    const SQLiteStopInterrupt interrupt(db, stop);
    inWriteTransaction([&] {
        // One statement for the batch, as for a copy: FTS5 writes a segment per statement.
        execute(createMoveStagingSQL);
        execute("DELETE FROM temp.shadow_move");
        auto stage = prepare(db, stageMoveSQL);
        for (const auto& message : messages) {
            interrupt.throwIfStopped<Error>();
            stage.reset();
            try {
                stage.bind(1, message.guid)
                    .bind(2, message.chatId)
                    .bind(3, message.chatName)
                    .bind(4, message.isGroup ? 1 : 0)
                    .bind(5, message.recipientHandle)
                    .run();
            } catch (const SQLiteSupport::Failure& failure) {
                interrupt.throwIfStopped<Error>();
                throw insertFailure(message.guid, failure.message());
            }
        }
        execute(createMoveTargetsSQL);
        execute("DELETE FROM temp.shadow_move_target");
        try {
            SQLiteStatement(db, locateMovesSQL).run();
            interrupt.throwIfStopped<Error>();
            prepare(db, moveStagedSQL)
                .bind(1, ShadowMessage::unknownChatId)
                .bind(2, from == MoveFrom::anyChat ? 1 : 0)
                .run();
        } catch (const SQLiteSupport::Failure& failure) {
            // An interrupted statement is the stop's doing, not a failure of the batch.
            interrupt.throwIfStopped<Error>();
            throw insertFailure("?", failure.message());
        }
        moved = sqlite3_changes64(db);
        execute("DELETE FROM temp.shadow_move");
        execute("DELETE FROM temp.shadow_move_target");
    });
    return moved;
}

void ShadowDB::insertOneByOne(const std::vector<ShadowMessage>& messages) {
    auto statement = prepare(connection(), insertMessageSQL);
    for (const auto& message : messages) {
        statement.reset();
        try {
            bindMessage(statement, message);
            statement.run();
        } catch (const SQLiteSupport::Failure& failure) {
            throw insertFailure(message.guid, failure.message());
        }
    }
}

ShadowDB::Error ShadowDB::insertFailure(const std::string& guid, const std::string& message) const {
    const int code = sqlite3_extended_errcode(db_.get());
    const auto walSize = fileSizeOrMinusOne(path_.string() + "-wal");
    return Error(Case::insertFailed, "Failed on guid=" + guid + ": " + message +
                                         " [code=" + std::to_string(code) +
                                         " wal=" + std::to_string(walSize) + "]");
}

void ShadowDB::replaceChatParticipants(const std::vector<ChatParticipant>& participants) {
    sqlite3* db = connection();
    inWriteTransaction([&] {
        execute("DELETE FROM chat_participants");
        auto statement = prepare(db, insertParticipantSQL);
        for (const auto& participant : participants) {
            statement.reset();
            try {
                statement.bind(1, participant.chatId)
                    .bind(2, participant.handleId)
                    .bind(3, participant.handle)
                    .bind(4, participant.service)
                    .run();
            } catch (const SQLiteSupport::Failure& failure) {
                throw Error(Case::insertFailed, failure.message());
            }
        }
    });
}

void ShadowDB::updateSyncState(std::int64_t lastTimestamp, std::int64_t lastRowid,
                               std::int64_t messageCount) {
    auto statement = prepare(connection(), updateSyncStateSQL);
    try {
        statement.bind(1, lastTimestamp)
            .bind(2, lastRowid)
            .bind(3, messageCount)
            .bind(4, nowUnixSeconds())
            .run();
    } catch (const SQLiteSupport::Failure& failure) {
        throw Error(Case::queryFailed, failure.message());
    }
}

ShadowDB::SyncWatermark ShadowDB::lastSyncWatermark() {
    auto statement =
        prepare(connection(), "SELECT last_timestamp, last_rowid FROM sync_state WHERE id = 1");
    if (!stepRow(statement)) {
        return {};
    }
    return {statement.columnInt64(0), statement.columnInt64(1)};
}

std::int64_t ShadowDB::messageCount() {
    return firstColumnOrZero(messageCountSQL);
}

std::optional<ShadowDB::JoinCursor> ShadowDB::joinCursor() {
    auto statement = prepare(
        connection(),
        "SELECT join_rowid, chat_id, message_id, last_chat_rowid FROM join_cursor WHERE id = 1");
    if (!stepRow(statement)) {
        return std::nullopt;
    }
    return JoinCursor{statement.columnInt64(0), statement.columnInt64(1), statement.columnInt64(2),
                      statement.columnInt64(3)};
}

void ShadowDB::updateJoinCursor(const JoinCursor& cursor) {
    auto statement = prepare(connection(),
                             "INSERT OR REPLACE INTO join_cursor "
                             "(id, join_rowid, chat_id, message_id, last_chat_rowid) "
                             "VALUES (1, ?, ?, ?, ?)");
    try {
        statement.bind(1, cursor.rowid)
            .bind(2, cursor.chatId)
            .bind(3, cursor.messageId)
            .bind(4, cursor.lastChatRowid)
            .run();
    } catch (const SQLiteSupport::Failure& failure) {
        throw Error(Case::queryFailed, failure.message());
    }
}

std::int64_t ShadowDB::countWithoutChat(std::int64_t limit, const std::stop_token& stop) {
    const SQLiteStopInterrupt interrupt(connection(), stop);
    // Through idx_messages_chat, and no further than asked: a caller comparing the count with
    // another need not read them all.
    auto statement = prepare(connection(),
                             "SELECT COUNT(*) FROM (SELECT 1 FROM messages WHERE chat_id = ? "
                             "AND deleted_at IS NULL LIMIT ?)");
    statement.bind(1, ShadowMessage::unknownChatId).bind(2, limit);
    // SQLite forgets an interrupt that comes before the first step.
    interrupt.throwIfStopped<Error>();
    return stepRow(statement) ? statement.columnInt64(0) : 0;
}

ShadowDB::ChatlessPage ShadowDB::guidsWithoutChat(std::int64_t afterRowid, int limit,
                                                  const std::stop_token& stop) {
    const SQLiteStopInterrupt interrupt(connection(), stop);
    auto statement = prepare(connection(),
                             "SELECT rowid, guid FROM messages WHERE chat_id = ? AND rowid > ? "
                             "AND deleted_at IS NULL ORDER BY rowid LIMIT ?");
    statement.bind(1, ShadowMessage::unknownChatId).bind(2, afterRowid).bind(3, limit);
    ChatlessPage page;
    page.lastRowid = afterRowid;
    while ((interrupt.throwIfStopped<Error>(), stepRow(statement))) {
        page.lastRowid = statement.columnInt64(0);
        page.guids.push_back(statement.columnUtf8Text(1));
    }
    return page;
}

std::vector<std::string> ShadowDB::guidsWithoutChatAmong(const std::vector<std::string>& guids,
                                                         const std::stop_token& stop) {
    const SQLiteStopInterrupt interrupt(connection(), stop);
    auto statement = prepare(connection(),
                             "SELECT 1 FROM messages WHERE guid = ? AND chat_id = ? "
                             "AND deleted_at IS NULL");
    // In guid order, so that the lookups walk the guid index once.
    std::vector<std::string_view> sorted(guids.begin(), guids.end());
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::string> chatless;
    for (const auto guid : sorted) {
        // One statement per guid: an interrupt between two is forgotten.
        interrupt.throwIfStopped<Error>();
        statement.reset();
        statement.bind(1, guid).bind(2, ShadowMessage::unknownChatId);
        if (stepRow(statement)) {
            chatless.emplace_back(guid);
        }
    }
    return chatless;
}

std::vector<std::string> ShadowDB::guidsInAnotherChat(
    const std::vector<std::pair<std::string, std::string>>& guidChats,
    const std::stop_token& stop) {
    const SQLiteStopInterrupt interrupt(connection(), stop);
    auto statement = prepare(connection(),
                             "SELECT 1 FROM messages WHERE guid = ? AND chat_id NOT IN (?, ?) "
                             "AND deleted_at IS NULL");
    // In guid order, so that the lookups walk the guid index once.
    std::vector<const std::pair<std::string, std::string>*> sorted;
    sorted.reserve(guidChats.size());
    for (const auto& guidChat : guidChats) {
        sorted.push_back(&guidChat);
    }
    std::sort(sorted.begin(), sorted.end(), [](const auto* a, const auto* b) { return *a < *b; });
    std::vector<std::string> elsewhere;
    for (const auto* guidChat : sorted) {
        interrupt.throwIfStopped<Error>();
        statement.reset();
        statement.bind(1, guidChat->first)
            .bind(2, guidChat->second)
            .bind(3, ShadowMessage::unknownChatId);
        if (stepRow(statement)) {
            elsewhere.push_back(guidChat->first);
        }
    }
    return elsewhere;
}

std::int64_t ShadowDB::syncedMessageCount() {
    return firstColumnOrZero("SELECT message_count FROM sync_state WHERE id = 1");
}

std::int64_t ShadowDB::eventCount() {
    return firstColumnOrZero("SELECT COUNT(*) FROM events");
}

std::int64_t ShadowDB::schemaVersion() {
    return firstColumnOrZero("PRAGMA schema_version");
}

std::vector<ChatParticipant> ShadowDB::fetchChatParticipants(std::string_view chatId) {
    auto statement = prepare(connection(), fetchParticipantsSQL);
    statement.bind(1, chatId);
    std::vector<ChatParticipant> participants;
    while (stepRow(statement)) {
        participants.push_back({statement.columnUtf8Text(0), statement.columnInt64(1),
                                statement.columnUtf8Text(2), statement.columnOptionalUtf8Text(3)});
    }
    return participants;
}

std::vector<std::string> ShadowDB::listTables() {
    auto statement = prepare(connection(), listTablesSQL);
    std::vector<std::string> names;
    while (stepRow(statement)) {
        if (auto name = statement.columnOptionalText(0)) {
            names.push_back(std::move(*name));
        }
    }
    return names;
}

std::vector<ShadowDB::ColumnInfo> ShadowDB::describeTable(std::string_view table) {
    static const std::regex validName("^[A-Za-z_][A-Za-z0-9_]*$");
    if (!std::regex_match(table.begin(), table.end(), validName)) {
        throw Error(Case::queryFailed, "Invalid table name: " + std::string(table));
    }
    auto statement = prepare(connection(), "PRAGMA table_info(" + std::string(table) + ")");
    std::vector<ColumnInfo> columns;
    while (stepRow(statement)) {
        auto name = statement.columnOptionalText(1);
        auto type = statement.columnOptionalText(2);
        if (name && type) {
            columns.push_back({std::move(*name), std::move(*type), statement.columnInt64(3) != 0});
        }
    }
    return columns;
}

void ShadowDB::close() noexcept {
    attachedContacts_.reset();
    db_ = SQLiteConnection();
}

}  // namespace vask
