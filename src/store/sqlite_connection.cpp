#include "store/sqlite_connection.h"

#include <mutex>
#include <thread>
#include <unordered_set>

namespace vask {

namespace {

// Every connection object holding an open connection, for closeEveryConnection().
struct OpenConnections {
    std::mutex mutex;
    std::unordered_set<SQLiteConnection*> all;
};

OpenConnections& openConnections() {
    // Never destroyed: connections may close during static destruction.
    static auto* const connections = new OpenConnections;
    return *connections;
}

void track(SQLiteConnection* connection, bool open) {
    auto& connections = openConnections();
    std::lock_guard lock(connections.mutex);
    if (open) {
        connections.all.insert(connection);
    } else {
        connections.all.erase(connection);
    }
}

}  // namespace

SQLiteConnection::SQLiteConnection(sqlite3* db) : db_(db) {
    track(this, db != nullptr);
}

SQLiteConnection::SQLiteConnection(SQLiteConnection&& other) noexcept : db_(std::move(other.db_)) {
    track(&other, false);
    track(this, db_ != nullptr);
}

SQLiteConnection& SQLiteConnection::operator=(SQLiteConnection&& other) noexcept {
    if (this != &other) {
        db_ = std::move(other.db_);
        track(&other, false);
        track(this, db_ != nullptr);
    }
    return *this;
}

SQLiteConnection::~SQLiteConnection() {
    track(this, false);
}

std::size_t SQLiteConnection::closeEveryConnection() {
    auto& connections = openConnections();
    std::lock_guard lock(connections.mutex);
    std::size_t closed = 0;
    for (SQLiteConnection* connection : connections.all) {
        closed += connection->db_ ? 1 : 0;
        connection->db_.reset();
    }
    connections.all.clear();
    return closed;
}

SQLiteConnection SQLiteConnection::open(const std::filesystem::path& path,
                                        SQLiteSupport::OpenMode mode, bool extendedResultCodes,
                                        int busyTimeoutMilliseconds) {
    return SQLiteConnection(
        SQLiteSupport::open(path, mode, busyTimeoutMilliseconds, extendedResultCodes));
}

void SQLiteConnection::inImmediateTransaction(const std::function<void()>& body) const {
    execute("BEGIN IMMEDIATE");
    try {
        body();
        execute("COMMIT");
    } catch (...) {
        // A failed COMMIT can leave the transaction open; ROLLBACK after an automatic rollback
        // fails harmlessly, and the original error is what the caller needs.
        sqlite3_exec(get(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::optional<SQLiteConnection::BackupOutcome> SQLiteConnection::backupInto(
    const SQLiteConnection& destination, int busyRetries, std::chrono::milliseconds pause) const {
    sqlite3_backup* backup = sqlite3_backup_init(destination.get(), "main", get(), "main");
    if (backup == nullptr) {
        return std::nullopt;
    }
    int stepped = sqlite3_backup_step(backup, -1);
    for (int retry = 0; (stepped == SQLITE_BUSY || stepped == SQLITE_LOCKED) && retry < busyRetries;
         ++retry) {
        std::this_thread::sleep_for(pause);
        stepped = sqlite3_backup_step(backup, -1);
    }
    return BackupOutcome{stepped, sqlite3_backup_finish(backup)};
}

}  // namespace vask
