#include "records/sqlite_session_store.h"

#include <sqlite3.h>

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <system_error>

#include "foundation/app_environment.h"
#include "platform/crypto.h"
#include "platform/owner_only_file.h"
#include "platform/text.h"
#include "records/record_json.h"
#include "records/session_store_error.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"
#include "store/sqlite_support.h"

namespace vask {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view schemaScript = R"sql(
CREATE TABLE IF NOT EXISTS snapshot_metadata (
    key TEXT PRIMARY KEY,
    value TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS chat_sessions (
    id TEXT PRIMARY KEY,
    title TEXT NOT NULL,
    created_at REAL NOT NULL,
    last_message_at REAL NOT NULL,
    message_count INTEGER NOT NULL,
    title_is_user_set INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS chat_messages (
    id TEXT PRIMARY KEY,
    session_id TEXT NOT NULL REFERENCES chat_sessions(id) ON DELETE CASCADE,
    sequence INTEGER NOT NULL,
    role TEXT NOT NULL,
    text TEXT NOT NULL,
    created_at REAL NOT NULL,
    extracted INTEGER,
    citation_count INTEGER NOT NULL,
    evidence_count INTEGER NOT NULL,
    artifact_count INTEGER NOT NULL,
    memory_receipt_count INTEGER NOT NULL,
    metadata_json TEXT NOT NULL,
    UNIQUE(session_id, sequence)
);
CREATE INDEX IF NOT EXISTS idx_chat_messages_session_sequence
    ON chat_messages(session_id, sequence);
CREATE VIRTUAL TABLE IF NOT EXISTS chat_messages_fts USING fts5(
    message_id UNINDEXED,
    session_id UNINDEXED,
    role UNINDEXED,
    text
);
)sql";

constexpr std::string_view storedMessagesQuery =
    "SELECT metadata_json FROM chat_messages WHERE session_id = ? ORDER BY sequence";

enum class OpenMode { readWrite, readWriteCreate };

// `readWrite` opens only a file that is there: the caller has checked, and a load must never
// leave an empty file behind.
SQLiteConnection openConnection(
    const fs::path& path, OpenMode mode,
    std::chrono::milliseconds busyTimeout = SQLiteSessionStore::defaultBusyTimeout) {
    if (mode == OpenMode::readWrite && !fs::exists(path)) {
        throw SessionStoreError::openFailed(path.string());
    }
    try {
        return SQLiteConnection::open(path, SQLiteSupport::OpenMode::readWriteCreate, false,
                                      static_cast<int>(busyTimeout.count()));
    } catch (const SQLiteSupport::Failure&) {
        throw SessionStoreError::openFailed(path.string());
    }
}

void execute(sqlite3* db, std::string_view sql) {
    SQLiteSupport::execute(sql, db);
}

void bindText(SQLiteStatement& statement, int index, std::string_view value) {
    if (SQLiteSupport::bindText(value, index, statement.get()) != SQLITE_OK) {
        throw SessionStoreError::sqlite("bind text failed");
    }
}

// Steps a statement that returns no rows; a row or an error is a failure.
void runToCompletion(SQLiteStatement& statement, sqlite3* db) {
    if (statement.step()) {
        throw SessionStoreError::sqlite(sqlite3_errmsg(db));
    }
}

// Runs `body`, turning the failures of the layers below into this store's error.
template <typename Body>
auto rewrapped(Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const SQLiteSupport::Failure& failure) {
        throw SessionStoreError::sqlite(failure.message());
    } catch (const RecordDecodingError& error) {
        throw SessionStoreError::decodingFailed(error.what());
    } catch (const fs::filesystem_error& error) {
        throw SessionStoreError::fileFailed(error.what());
    }
}

void configureWriter(sqlite3* db) {
    execute(db, "PRAGMA journal_mode=DELETE");
    execute(db, "PRAGMA foreign_keys=ON");
}

void insertMetadata(sqlite3* db, std::string_view key, std::string_view value) {
    SQLiteStatement statement(db, "INSERT INTO snapshot_metadata(key, value) VALUES(?, ?)");
    bindText(statement, 1, key);
    bindText(statement, 2, value);
    runToCompletion(statement, db);
}

void replaceMarks(sqlite3* db, std::string_view marker,
                  std::optional<std::string_view> activeSessionID) {
    execute(db, "DELETE FROM snapshot_metadata");
    insertMetadata(db, marker, "1");
    if (activeSessionID) {
        insertMetadata(db, SQLiteSessionStore::activeSessionKey, *activeSessionID);
    }
}

void upsertSession(sqlite3* db, const ChatSession& session) {
    SQLiteStatement statement(db,
                              "INSERT INTO chat_sessions(id, title, created_at, last_message_at, "
                              "message_count, title_is_user_set) VALUES(?, ?, ?, ?, ?, ?) "
                              "ON CONFLICT(id) DO UPDATE SET title = excluded.title, "
                              "created_at = excluded.created_at, "
                              "last_message_at = excluded.last_message_at, "
                              "message_count = excluded.message_count, "
                              "title_is_user_set = excluded.title_is_user_set");
    bindText(statement, 1, session.id);
    bindText(statement, 2, text::toValidUtf8(session.title));
    statement.bind(3, record_date::unixSeconds(session.createdAt));
    statement.bind(4, record_date::unixSeconds(session.lastMessageAt));
    statement.bind(5, session.messageCount);
    statement.bind(6, session.titleIsUserSet ? 1 : 0);
    runToCompletion(statement, db);
}

void deleteSessionMessages(sqlite3* db, std::string_view sessionID) {
    for (auto sql : {"DELETE FROM chat_messages_fts WHERE session_id = ?",
                     "DELETE FROM chat_messages WHERE session_id = ?"}) {
        SQLiteStatement statement(db, sql);
        bindText(statement, 1, sessionID);
        runToCompletion(statement, db);
    }
}

void deleteRemovedSessions(sqlite3* db, const std::set<std::string, std::less<>>& keeping) {
    std::vector<std::string> removed;
    SQLiteStatement ids(db, "SELECT id FROM chat_sessions");
    while (ids.step()) {
        auto id = ids.columnText(0);
        if (!keeping.contains(id)) {
            removed.push_back(std::move(id));
        }
    }
    for (const auto& id : removed) {
        SQLiteStatement fts(db, "DELETE FROM chat_messages_fts WHERE session_id = ?");
        bindText(fts, 1, id);
        runToCompletion(fts, db);
        SQLiteStatement session(db, "DELETE FROM chat_sessions WHERE id = ?");
        bindText(session, 1, id);
        runToCompletion(session, db);
    }
}

// One message with a stray byte (a quoted text cut mid-character, say) must not block every
// save of every session: ill-formed UTF-8 is stored as U+FFFD, in the JSON and in the columns.
std::vector<std::string> encodedMessages(const ChatSession& session) {
    std::vector<std::string> encoded;
    encoded.reserve(session.messages.size());
    for (const auto& message : session.messages) {
        encoded.push_back(record_json::dumpRepairingText(message.toJson()));
    }
    return encoded;
}

std::vector<std::string> storedMessages(sqlite3* db, std::string_view sessionID) {
    SQLiteStatement statement(db, storedMessagesQuery);
    bindText(statement, 1, sessionID);
    std::vector<std::string> stored;
    while (statement.step()) {
        stored.push_back(statement.columnText(0));
    }
    return stored;
}

struct SourceCounts {
    std::int64_t conversations = 0;
    std::int64_t queries = 0;
};

SourceCounts sourceCounts(const ChatMessage& message) {
    SourceCounts counts;
    for (const auto& source : message.sources.value_or(std::vector<AnswerSource>{})) {
        if (source.kind() == AnswerSource::Kind::conversation) {
            ++counts.conversations;
        } else {
            ++counts.queries;
        }
    }
    return counts;
}

void insertMessage(sqlite3* db, std::string_view sessionID, std::int64_t sequence,
                   const ChatMessage& message, std::string_view metadata) {
    const auto id = message.id.lowercaseString();
    const auto counts = sourceCounts(message);
    SQLiteStatement row(db,
                        "INSERT INTO chat_messages(id, session_id, sequence, role, text, "
                        "created_at, extracted, citation_count, evidence_count, artifact_count, "
                        "memory_receipt_count, metadata_json) "
                        "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    bindText(row, 1, id);
    bindText(row, 2, sessionID);
    row.bind(3, sequence);
    bindText(row, 4, rawValue(message.role));
    const auto validText = text::toValidUtf8(message.text);
    bindText(row, 5, validText);
    row.bind(6, record_date::unixSeconds(message.timestamp));
    if (message.extracted) {
        row.bind(7, *message.extracted ? 1 : 0);
    } else {
        row.bindNull(7);
    }
    row.bind(8, counts.conversations);
    row.bind(9, counts.queries);
    row.bind(10, static_cast<std::int64_t>(message.artifacts.size()));
    row.bind(
        11, static_cast<std::int64_t>(message.memoryReceipts ? message.memoryReceipts->size() : 0));
    bindText(row, 12, metadata);
    runToCompletion(row, db);

    SQLiteStatement fts(
        db, "INSERT INTO chat_messages_fts(message_id, session_id, role, text) VALUES(?, ?, ?, ?)");
    bindText(fts, 1, id);
    bindText(fts, 2, sessionID);
    bindText(fts, 3, rawValue(message.role));
    bindText(fts, 4, validText);
    runToCompletion(fts, db);
}

void insertMessages(sqlite3* db, const ChatSession& session,
                    const std::vector<std::string>& encoded) {
    for (std::size_t index = 0; index < session.messages.size(); ++index) {
        insertMessage(db, session.id, static_cast<std::int64_t>(index), session.messages[index],
                      encoded[index]);
    }
}

bool hasSessionsTable(sqlite3* db) {
    SQLiteStatement statement(
        db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'chat_sessions'");
    return statement.step();
}

RecordDate storedDate(double seconds) {
    auto date = record_date::fromUnixSeconds(seconds);
    if (!date) {
        throw RecordDecodingError::dataCorrupted("Stored session date out of range.");
    }
    return *date;
}

// "<name>.unreadable-<seconds>", with a counter when that name is taken.
fs::path asideName(const fs::path& path) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    const auto base = path.string() + ".unreadable-" + std::to_string(seconds);
    fs::path candidate = base;
    for (int counter = 1; fs::exists(candidate) || fs::exists(candidate.string() + "-journal");
         ++counter) {
        candidate = base + "-" + std::to_string(counter);
    }
    return candidate;
}

constexpr std::array<std::string_view, 3> companionSuffixes{"-journal", "-wal", "-shm"};

}  // namespace

SQLiteSessionStore::SQLiteSessionStore(std::filesystem::path databaseURL,
                                       std::chrono::milliseconds busyTimeout)
    : databaseURL_(std::move(databaseURL)), busyTimeout_(busyTimeout) {}

std::optional<fs::path> SQLiteSessionStore::defaultDatabaseURL() {
    try {
        return AppEnvironment::supportDirectoryURL() / "sessions.db";
    } catch (const std::exception& error) {
        StructuredLogger("session-store")
            .error("session_store_persistence_off", {{"error", error.what()}});
        return std::nullopt;
    }
}

std::vector<ChatSession> SQLiteSessionStore::readStoredSessions() const {
    std::vector<ChatSession> loaded;
    if (!fs::exists(databaseURL_)) {
        return loaded;
    }
    try {
        restrictDatabaseToOwner(databaseURL_);
    } catch (const fs::filesystem_error& error) {
        // A link would have SQLite open its target and write companions beside it.
        if (isRefusedDatabasePath(error)) {
            throw;
        }
        logger_.error("session_store_permissions_failed",
                      {{"path", databaseURL_.string()}, {"error", error.what()}});
    }
    // Read-write (without create) so that a journal left by a save cut short is rolled back
    // rather than failing the load.
    const auto db = openConnection(databaseURL_, OpenMode::readWrite, busyTimeout_);
    // A file whose first save never committed is empty: it holds no sessions.
    if (!hasSessionsTable(db.get())) {
        return loaded;
    }
    SQLiteStatement sessionRows(db.get(),
                                "SELECT id, created_at, last_message_at, title, "
                                "message_count, title_is_user_set FROM chat_sessions "
                                "ORDER BY last_message_at DESC");
    SQLiteStatement messageRows(db.get(), storedMessagesQuery);
    while (sessionRows.step()) {
        ChatSession session;
        session.id = sessionRows.columnText(0);
        session.createdAt = storedDate(sessionRows.columnDouble(1));
        session.lastMessageAt = storedDate(sessionRows.columnDouble(2));
        session.title = sessionRows.columnText(3);
        session.messageCount = sessionRows.columnInt64(4);
        session.titleIsUserSet = sessionRows.columnInt64(5) != 0;
        messageRows.reset();
        bindText(messageRows, 1, session.id);
        while (messageRows.step()) {
            session.messages.push_back(
                ChatMessage::fromJson(record_json::parse(messageRows.columnText(0))));
        }
        loaded.push_back(std::move(session));
    }
    return loaded;
}

std::vector<ChatSession> SQLiteSessionStore::loadSessions() {
    std::lock_guard lock(mutex_);
    // Only a file that cannot be read as sessions is set aside. Any other failure (a lock held
    // past the busy timeout, an I/O or permission error) may pass, and the file may be intact:
    // saving is refused rather than writing over a history that was never read.
    const auto unreadable = [&](const std::string& reason) {
        saveGate_ = SaveGate::setAsideFirst;
        logger_.error("session_store_unreadable",
                      {{"path", databaseURL_.string()}, {"error", reason}});
    };
    const auto refuseSaving = [&](const std::string& reason) {
        saveGate_ = SaveGate::refused;
        refusal_ = reason;
        logger_.error("session_store_saving_off",
                      {{"path", databaseURL_.string()}, {"error", reason}});
    };
    try {
        auto sessions = readStoredSessions();
        saveGate_ = SaveGate::open;
        return sessions;
    } catch (const SQLiteSupport::Failure& failure) {
        const int primary = failure.resultCode() & 0xff;
        if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB || primary == SQLITE_ERROR) {
            unreadable(failure.message());
        } else {
            refuseSaving(failure.message());
        }
        throw SessionStoreError::sqlite(failure.message());
    } catch (const RecordDecodingError& error) {
        unreadable(error.what());
        throw SessionStoreError::decodingFailed(error.what());
    } catch (const fs::filesystem_error& error) {
        refuseSaving(error.what());
        throw SessionStoreError::fileFailed(error.what());
    } catch (const std::exception& error) {
        refuseSaving(error.what());
        throw;
    }
}

void SQLiteSessionStore::setAsideUnreadableFile() {
    if (!fs::exists(databaseURL_)) {
        return;
    }
    const auto aside = asideName(databaseURL_);
    std::vector<std::pair<fs::path, fs::path>> moved;
    try {
        // The journal goes first: a hot journal left beside a fresh file would be rolled into it.
        for (auto suffix : companionSuffixes) {
            const fs::path companion = databaseURL_.string() + std::string(suffix);
            if (fs::exists(companion)) {
                const fs::path target = aside.string() + std::string(suffix);
                fs::rename(companion, target);
                moved.emplace_back(companion, target);
            }
        }
        fs::rename(databaseURL_, aside);
    } catch (const fs::filesystem_error& error) {
        for (const auto& [from, to] : moved) {
            std::error_code ignored;
            fs::rename(to, from, ignored);
        }
        logger_.error("session_store_set_aside_failed",
                      {{"path", databaseURL_.string()}, {"error", error.what()}});
        throw SessionStoreError::fileFailed(error.what());
    }
    logger_.error("session_store_unreadable_set_aside",
                  {{"path", databaseURL_.string()}, {"aside", aside.string()}});
}

void SQLiteSessionStore::saveSessions(const std::vector<ChatSession>& sessions) {
    std::lock_guard lock(mutex_);
    if (saveGate_ == SaveGate::refused) {
        throw SessionStoreError::savingRefused(refusal_);
    }
    if (saveGate_ == SaveGate::setAsideFirst) {
        setAsideUnreadableFile();
        saveGate_ = SaveGate::open;
    }
    rewrapped([&] {
        fs::create_directories(databaseURL_.parent_path());
        prepareOwnerOnlyDatabase(databaseURL_);
        const auto db = openConnection(databaseURL_, OpenMode::readWriteCreate, busyTimeout_);
        configureWriter(db.get());
        db.inImmediateTransaction([&] {
            execute(db.get(), schemaScript);
            replaceMarks(db.get(), storeMarker, std::nullopt);
            std::set<std::string, std::less<>> keeping;
            for (const auto& session : sessions) {
                keeping.insert(session.id);
            }
            deleteRemovedSessions(db.get(), keeping);
            // Changed sessions lose their old rows before any new row goes in, so a message
            // that moved between two changed sessions never meets its own old row.
            std::vector<std::pair<const ChatSession*, std::vector<std::string>>> changed;
            for (const auto& session : sessions) {
                upsertSession(db.get(), session);
                auto encoded = encodedMessages(session);
                if (encoded != storedMessages(db.get(), session.id)) {
                    deleteSessionMessages(db.get(), session.id);
                    changed.emplace_back(&session, std::move(encoded));
                }
            }
            for (const auto& [session, encoded] : changed) {
                insertMessages(db.get(), *session, encoded);
            }
        });
    });
}

void SQLiteSessionStore::writeSnapshot(const std::vector<ChatSession>& sessions,
                                       std::string_view activeSessionID,
                                       const fs::path& destination) {
    std::string temporaryName(".");
    temporaryName.append(destination.filename().string()).append(".").append(randomUUID());
    temporaryName.append(".tmp");
    const fs::path temporary = destination.parent_path() / temporaryName;
    const auto removeTemporaryFiles = [&] {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        for (auto suffix : companionSuffixes) {
            fs::remove(temporary.string() + std::string(suffix), ignored);
        }
    };
    try {
        rewrapped([&] {
            fs::create_directories(destination.parent_path());
            prepareOwnerOnlyDatabase(temporary);
            auto db = openConnection(temporary, OpenMode::readWriteCreate);
            configureWriter(db.get());
            db.inImmediateTransaction([&] {
                execute(db.get(), schemaScript);
                replaceMarks(db.get(), snapshotMarker, activeSessionID);
                for (const auto& session : sessions) {
                    upsertSession(db.get(), session);
                    insertMessages(db.get(), session, encodedMessages(session));
                }
            });
            // Closed before the move: every statement is finalised by now, so nothing of the
            // file is left in SQLite's hands.
            db = SQLiteConnection();
            fs::rename(temporary, destination);
        });
    } catch (...) {
        removeTemporaryFiles();
        throw;
    }
    removeTemporaryFiles();
}

void SQLiteSessionStore::markSnapshot(const fs::path& copy, std::string_view activeSessionID) {
    rewrapped([&] {
        const auto db = openConnection(copy, OpenMode::readWrite);
        // The copy lives for one helper run and a crash discards it with its folder: flushing
        // the whole freshly written copy to disk at this commit would only cost time.
        execute(db.get(), "PRAGMA synchronous=OFF");
        db.inImmediateTransaction([&] { replaceMarks(db.get(), snapshotMarker, activeSessionID); });
    });
}

}  // namespace vask
