#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "store/sqlite_support.h"

namespace vask {

// Owns one SQLite connection and closes it on destruction.
class SQLiteConnection {
  public:
    SQLiteConnection() = default;
    explicit SQLiteConnection(sqlite3* db) : db_(db) {}

    static SQLiteConnection open(
        const std::filesystem::path& path, SQLiteSupport::OpenMode mode,
        bool extendedResultCodes = false,
        int busyTimeoutMilliseconds = SQLiteSupport::defaultBusyTimeoutMilliseconds);

    sqlite3* get() const { return db_.get(); }
    explicit operator bool() const { return static_cast<bool>(db_); }

    void execute(std::string_view sql) const { SQLiteSupport::execute(sql, get()); }

    // Runs `body` inside BEGIN IMMEDIATE ... COMMIT; any exception rolls back and propagates.
    void inImmediateTransaction(const std::function<void()>& body) const;

  private:
    struct Closer {
        void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
    };
    std::unique_ptr<sqlite3, Closer> db_;
};

}  // namespace vask
