#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include <sqlite3.h>

#include "platform/error.h"

namespace vask {

// The one thin layer through which our own databases open connections, configure writers, run
// SQL, bind text and keep their schema number in user_version. Owns nothing and keeps no state.
class SQLiteSupport {
  public:
    enum class OpenMode { readOnly, readWriteCreate };
    enum class SynchronousMode { normal, full };

    // SQLite's result code and message. Callers wrap the message in their own error texts.
    class Failure : public Error {
      public:
        Failure(std::int32_t resultCode, std::string message);
        std::int32_t resultCode() const { return resultCode_; }
        const std::string& message() const { return message_; }
        bool operator==(const Failure& other) const {
            return resultCode_ == other.resultCode_ && message_ == other.message_;
        }

      private:
        std::int32_t resultCode_;
        std::string message_;
    };

    static constexpr int defaultBusyTimeoutMilliseconds = 5000;

    // "NORMAL" or "FULL"; exact match, nothing for any other text.
    static std::optional<SynchronousMode> synchronousMode(std::string_view rawValue);
    static std::string_view rawValue(SynchronousMode mode);

    // A full-mutex connection; the caller owns it (SQLiteConnection closes it). A handle made
    // before a failure is closed before the Failure is thrown. A read-only open is made only on
    // a regular file that is not a symbolic link: anything else is a SQLITE_CANTOPEN Failure
    // naming the path, found without waiting on it (a FIFO never blocks the open).
    static sqlite3* open(const std::filesystem::path& path, OpenMode mode,
                         int busyTimeoutMilliseconds, bool extendedResultCodes);
    // WAL (changed only when not already on), synchronous, foreign keys, and optionally secure
    // delete, stopping at the first failure, whose message is prefixed by the pragma's name.
    static void configureWriter(sqlite3* db, SynchronousMode synchronous, bool secureDelete);
    // configureWriter, tried again for up to `retryWindow` while another connection keeps the
    // file busy: switching a new file to WAL needs it alone, and SQLite answers such a switch
    // with "database is locked" at once rather than waiting in the busy handler. The last
    // failure is thrown as configureWriter throws it.
    static void configureWriterRetrying(sqlite3* db, SynchronousMode synchronous, bool secureDelete,
                                        std::chrono::milliseconds retryWindow);
    // One or more statements.
    static void execute(std::string_view sql, sqlite3* db);
    // Binds a copy of `text`; returns SQLite's result code (SQLITE_TOOBIG for text past 2 GiB).
    static int bindText(std::string_view text, int index, sqlite3_stmt* statement);
    static int bindOptionalText(const std::optional<std::string>& text, int index,
                                sqlite3_stmt* statement);
    static std::int32_t userVersion(sqlite3* db);
    static void setUserVersion(std::int32_t version, sqlite3* db);

    // The connection's current error as a Failure with `code`.
    static Failure failure(int code, sqlite3* db);

  private:
    static std::string journalMode(sqlite3* db);
};

// While it lives, a stop request ends what `db` runs: the running statement ends with
// SQLITE_INTERRUPT (inside a transaction the whole transaction is rolled back), and so does a
// checkpoint, the one a commit runs after it included. Two ways, so that no stop is lost: the
// stop interrupts SQLite at once (sqlite3_interrupt), and SQLite's progress handler looks at the
// stop every progressSteps steps of every statement, so that a stop that came between two
// statements, which an interrupt would leave unseen (SQLite forgets it when the next statement
// starts), still ends the next one as it starts. Neither reaches into a sort (an index build
// sorts its rows in chunks the size of the page cache): a caller keeps the cache small around
// statements that sort much. Guards of one connection nest (the innermost restores the handler
// of the one around it, and either's stop ends the statement); a token that can never be
// stopped installs nothing.
class SQLiteStopInterrupt {
  public:
    SQLiteStopInterrupt(sqlite3* db, std::stop_token stop);
    ~SQLiteStopInterrupt();
    SQLiteStopInterrupt(const SQLiteStopInterrupt&) = delete;
    SQLiteStopInterrupt& operator=(const SQLiteStopInterrupt&) = delete;

    // VM steps between two looks at the stop: each costs an atomic read.
    static constexpr int progressSteps = 1000;

    bool stopRequested() const { return stop_.stop_requested(); }
    // Throws the caller's error, `Failure(Failure::Case::queryFailed, "interrupted")`, once a
    // stop was requested.
    template <typename Failure>
    void throwIfStopped() const {
        if (stopRequested()) {
            throw Failure(Failure::Case::queryFailed, "interrupted");
        }
    }

  private:
    struct Interrupt {
        sqlite3* db;
        void operator()() const { sqlite3_interrupt(db); }
    };
    static int onProgress(void* guard);

    sqlite3* db_;
    std::stop_token stop_;
    // The guard of the same connection this one nests in, whose handler it restores.
    SQLiteStopInterrupt* outer_ = nullptr;
    bool installed_ = false;
    std::stop_callback<Interrupt> interrupt_;
};

}  // namespace vask
