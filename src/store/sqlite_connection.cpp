#include "store/sqlite_connection.h"

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

}  // namespace vask
