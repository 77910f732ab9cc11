#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "store/sqlite_support.h"

namespace vask {

// Owns one SQLite connection and closes it on destruction, or at closeEveryConnection().
class SQLiteConnection {
  public:
    SQLiteConnection() = default;
    explicit SQLiteConnection(sqlite3* db);
    SQLiteConnection(SQLiteConnection&& other) noexcept;
    SQLiteConnection& operator=(SQLiteConnection&& other) noexcept;
    ~SQLiteConnection();
    SQLiteConnection(const SQLiteConnection&) = delete;
    SQLiteConnection& operator=(const SQLiteConnection&) = delete;

    // At quit, once no thread uses a database any more: closes every connection of the process
    // that is still open, so that SQLite checkpoints each database and removes its -wal and
    // -shm files even where the objects owning them live on until the process ends. Each is
    // empty afterwards. Returns how many were closed.
    static std::size_t closeEveryConnection();

    static SQLiteConnection open(
        const std::filesystem::path& path, SQLiteSupport::OpenMode mode,
        bool extendedResultCodes = false,
        int busyTimeoutMilliseconds = SQLiteSupport::defaultBusyTimeoutMilliseconds);

    sqlite3* get() const { return db_.get(); }
    explicit operator bool() const { return static_cast<bool>(db_); }

    void execute(std::string_view sql) const { SQLiteSupport::execute(sql, get()); }

    // Runs `body` inside BEGIN IMMEDIATE ... COMMIT; any exception rolls back and propagates.
    void inImmediateTransaction(const std::function<void()>& body) const;

    // What an online backup ended with: SQLite's result of the last step and of the finish.
    struct BackupOutcome {
        int lastStep;
        int finish;
        bool succeeded() const { return lastStep == SQLITE_DONE && finish == SQLITE_OK; }
    };
    // Copies this connection's "main" database into `destination`'s by SQLite's online backup,
    // all pages in one step, stepping again up to `busyRetries` times `pause` apart while the
    // source is busy or locked. Nothing when the backup cannot start (the destination's error
    // then says why).
    std::optional<BackupOutcome> backupInto(const SQLiteConnection& destination, int busyRetries,
                                            std::chrono::milliseconds pause) const;

  private:
    struct Closer {
        void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
    };
    std::unique_ptr<sqlite3, Closer> db_;
};

}  // namespace vask
