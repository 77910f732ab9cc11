#include "store/sqlite_connection.h"

#include <thread>

namespace vask {

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
