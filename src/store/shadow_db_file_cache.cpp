// ShadowDB: the file cache with its privacy erasure, and the calendar events.
#include <algorithm>

#include "store/shadow_db.h"
#include "store/shadow_db_statements.h"

namespace vask {
namespace {

using Case = ShadowDB::Error::Case;
using shadow_db_detail::prepare;
using shadow_db_detail::stepRow;

constexpr std::string_view fileCacheSchema[] = {
    R"(CREATE TABLE IF NOT EXISTS file_cache (
    path TEXT PRIMARY KEY,
    content_md TEXT,
    file_hash TEXT,
    parsed_at INTEGER,
    parse_model TEXT,
    parse_method TEXT,
    page_count INTEGER,
    token_cost INTEGER
))",
    R"(CREATE VIRTUAL TABLE IF NOT EXISTS file_cache_fts USING fts5(
    path, content_md,
    content='file_cache',
    content_rowid='rowid'
))",
    R"(CREATE TRIGGER IF NOT EXISTS file_cache_fts_insert AFTER INSERT ON file_cache BEGIN
    INSERT INTO file_cache_fts(rowid, path, content_md)
    VALUES (new.rowid, new.path, new.content_md);
END)",
    R"(CREATE TRIGGER IF NOT EXISTS file_cache_fts_delete AFTER DELETE ON file_cache BEGIN
    INSERT INTO file_cache_fts(file_cache_fts, rowid, path, content_md)
    VALUES ('delete', old.rowid, old.path, old.content_md);
END)",
    R"(CREATE TRIGGER IF NOT EXISTS file_cache_fts_update AFTER UPDATE ON file_cache BEGIN
    INSERT INTO file_cache_fts(file_cache_fts, rowid, path, content_md)
    VALUES ('delete', old.rowid, old.path, old.content_md);
    INSERT INTO file_cache_fts(rowid, path, content_md)
    VALUES (new.rowid, new.path, new.content_md);
END)",
};

constexpr std::string_view createErasureMarkerSQL =
    R"(CREATE TABLE IF NOT EXISTS privacy_erasure_state (
    id INTEGER PRIMARY KEY CHECK (id = 1)
))";

constexpr std::string_view dropFileCacheStatements[] = {
    "DROP TRIGGER IF EXISTS file_cache_fts_insert",
    "DROP TRIGGER IF EXISTS file_cache_fts_delete",
    "DROP TRIGGER IF EXISTS file_cache_fts_update",
    "DROP TABLE IF EXISTS file_cache_fts",
    "DROP TABLE IF EXISTS file_cache",
};

constexpr std::string_view fetchFileCacheSQL =
    R"(SELECT path, content_md, file_hash, parsed_at, parse_model, parse_method,
       page_count, token_cost
FROM file_cache
WHERE path = ?
LIMIT 1)";

constexpr std::string_view upsertFileCacheSQL = R"(INSERT INTO file_cache (
    path, content_md, file_hash, parsed_at, parse_model, parse_method,
    page_count, token_cost
)
VALUES (?, ?, ?, ?, ?, ?, ?, ?)
ON CONFLICT(path) DO UPDATE SET
    content_md = excluded.content_md,
    file_hash = excluded.file_hash,
    parsed_at = excluded.parsed_at,
    parse_model = excluded.parse_model,
    parse_method = excluded.parse_method,
    page_count = excluded.page_count,
    token_cost = excluded.token_cost)";

constexpr std::string_view insertEventSQL = R"(INSERT OR REPLACE INTO events
(id, title, start_date, end_date, location, notes, calendar_name,
 is_all_day, recurrence_rule, participants, created_at, modified_at)
VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?))";

void bindOptional(SQLiteStatement& statement, int index, const std::optional<std::int64_t>& value) {
    if (value) {
        statement.bind(index, *value);
    } else {
        statement.bindNull(index);
    }
}

}  // namespace

void ShadowDB::createFileCacheSchemaIfNeeded() {
    execute("DROP TABLE IF EXISTS privacy_erasure_state");
    for (const auto statement : fileCacheSchema) {
        execute(statement);
    }
}

std::optional<FileCacheEntry> ShadowDB::fetchFileCache(std::string_view path) {
    auto statement = prepare(connection(), fetchFileCacheSQL);
    statement.bind(1, path);
    // A missing or incomplete row only means the file is parsed again; a failing read is an
    // error like in every other query.
    if (!stepRow(statement)) {
        return std::nullopt;
    }
    for (const int column : {0, 1, 2, 4, 5}) {
        if (statement.columnIsNull(column)) {
            return std::nullopt;
        }
    }
    return FileCacheEntry{
        .path = statement.columnUtf8Text(0),
        .contentMarkdown = statement.columnUtf8Text(1),
        .fileHash = statement.columnUtf8Text(2),
        .parsedAt = statement.columnInt64(3),
        .parseModel = statement.columnUtf8Text(4),
        .parseMethod = statement.columnUtf8Text(5),
        .pageCount = sqlite3_column_int(statement.get(), 6),
        .tokenCost = sqlite3_column_int(statement.get(), 7),
    };
}

void ShadowDB::upsertFileCache(const FileCacheEntry& entry) {
    auto statement = prepare(connection(), upsertFileCacheSQL);
    try {
        statement.bind(1, entry.path)
            .bind(2, entry.contentMarkdown)
            .bind(3, entry.fileHash)
            .bind(4, entry.parsedAt)
            .bind(5, entry.parseModel)
            .bind(6, entry.parseMethod)
            .bind(7, static_cast<std::int64_t>(entry.pageCount))
            .bind(8, static_cast<std::int64_t>(entry.tokenCost))
            .run();
    } catch (const SQLiteSupport::Failure& failure) {
        throw Error(Case::insertFailed, failure.message());
    }
}

void ShadowDB::dropFileCacheSchema(const std::stop_token& stop) {
    // The VACUUM rewrites the whole database: on a large history it runs for seconds, and a
    // stop (the application quits) must not wait for it. Interrupted, it rolls back, the marker
    // is not written and the next call erases again in full.
    const SQLiteStopInterrupt interrupt(connection(), stop);
    interrupt.throwIfStopped<Error>();
    execute(createErasureMarkerSQL);
    const auto tables = listTables();
    const bool hasFileCache = std::any_of(tables.begin(), tables.end(), [](const auto& name) {
        return name.starts_with("file_cache");
    });
    const bool marked =
        !executeReadOnly("SELECT 1 FROM privacy_erasure_state WHERE id = 1", 1).rows.empty();
    if (!hasFileCache && marked) {
        return;
    }
    for (const auto statement : dropFileCacheStatements) {
        execute(statement);
    }
    try {
        interrupt.throwIfStopped<Error>();
        vacuumThroughFile();
        interrupt.throwIfStopped<Error>();
        checkpointWalOrThrow();
    } catch (const Error&) {
        // An interrupt that meets the VACUUM as it attaches its new database fails the attach.
        interrupt.throwIfStopped<Error>();
        throw;
    }
    interrupt.throwIfStopped<Error>();
    // Written last: an erasure cut short anywhere before runs again in full next time.
    execute("INSERT OR IGNORE INTO privacy_erasure_state (id) VALUES (1)");
}

void ShadowDB::vacuumThroughFile() {
    // VACUUM builds the whole new database in the temporary store before copying it back.
    withFileTemporaryStore([&] { execute("VACUUM"); });
}

void ShadowDB::checkpointWalOrThrow() {
    auto statement = prepare(connection(), "PRAGMA wal_checkpoint(TRUNCATE)");
    if (!stepRow(statement)) {
        return;
    }
    const auto busy = statement.columnInt64(0);
    if (busy != 0) {
        throw Error(Case::queryFailed,
                    "wal_checkpoint(TRUNCATE) reported busy=" + std::to_string(busy) +
                        " \u2014 another connection held the WAL open, "
                        "checkpoint incomplete");
    }
}

void ShadowDB::replaceEvents(const std::vector<ShadowEvent>& events) {
    sqlite3* db = connection();
    inWriteTransaction([&] {
        execute("DELETE FROM events");
        // Two events of one id replace each other; recursive triggers (set when the writer
        // opened) make that replacement fire the full-text delete trigger.
        auto statement = prepare(db, insertEventSQL);
        for (const auto& event : events) {
            statement.reset();
            try {
                statement.bind(1, event.id).bind(2, event.title).bind(3, event.startDate);
                bindOptional(statement, 4, event.endDate);
                statement.bind(5, event.location)
                    .bind(6, event.notes)
                    .bind(7, event.calendarName)
                    .bind(8, event.isAllDay ? 1 : 0)
                    .bind(9, event.recurrenceRule)
                    .bind(10, event.participants);
                bindOptional(statement, 11, event.createdAt);
                bindOptional(statement, 12, event.modifiedAt);
                statement.run();
            } catch (const SQLiteSupport::Failure& failure) {
                throw Error(Case::insertFailed, failure.message());
            }
        }
    });
}

}  // namespace vask
