#include "store/sqlite_support.h"

#include <cctype>
#include <cerrno>
#include <limits>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "platform/file_io.h"
#include "store/sqlite_statement.h"

namespace vask {

SQLiteSupport::Failure::Failure(std::int32_t resultCode, std::string message)
    : Error(message), resultCode_(resultCode), message_(std::move(message)) {}

std::optional<SQLiteSupport::SynchronousMode> SQLiteSupport::synchronousMode(
    std::string_view rawValue) {
    if (rawValue == "NORMAL") {
        return SynchronousMode::normal;
    }
    if (rawValue == "FULL") {
        return SynchronousMode::full;
    }
    return std::nullopt;
}

std::string_view SQLiteSupport::rawValue(SynchronousMode mode) {
    return mode == SynchronousMode::full ? "FULL" : "NORMAL";
}

SQLiteSupport::Failure SQLiteSupport::failure(int code, sqlite3* db) {
    return Failure(code, db != nullptr ? sqlite3_errmsg(db) : "unknown error");
}

sqlite3* SQLiteSupport::open(const std::filesystem::path& path, OpenMode mode,
                             int busyTimeoutMilliseconds, bool extendedResultCodes) {
    const int flags = mode == OpenMode::readOnly
                          ? SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW
                          : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    std::filesystem::path target = path;
    if (mode == OpenMode::readOnly) {
        // SQLite would open a FIFO and wait in open() for a writer that never comes, and read a
        // link's target while putting its -wal and -shm beside that target. Writers are checked
        // where they prepare the file (prepareOwnerOnlyDatabase). A missing file is left to
        // SQLite, which says so in its own words. The check opens nothing: another connection
        // of this process may hold the file's locks, and closing any descriptor of it drops them.
        try {
            requireRegularFile(path, LinkPolicy::refuse);
        } catch (const FileError& error) {
            if (error.errorNumber() != ENOENT) {
                throw Failure(SQLITE_CANTOPEN, error.what());
            }
        }
        // SQLITE_OPEN_NOFOLLOW refuses a link anywhere in the path, but a data folder reached
        // through one (a home on another disk) is the user's choice: SQLite is given the folder
        // resolved, so that only the file itself must not be a link.
        std::error_code ignored;
        const auto parent =
            path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
        if (const auto folder = std::filesystem::canonical(parent, ignored); !ignored) {
            target = folder / path.filename();
        }
    }
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(target.c_str(), &db, flags, nullptr);
    if (opened != SQLITE_OK) {
        Failure error = failure(opened, db);
        sqlite3_close(db);
        throw error;
    }
    if (db == nullptr) {
        throw Failure(0, "unknown error");
    }
    auto closeAndThrow = [db](int code) {
        Failure error = failure(code, db);
        sqlite3_close(db);
        throw error;
    };
    if (extendedResultCodes) {
        if (const int rc = sqlite3_extended_result_codes(db, 1); rc != SQLITE_OK) {
            closeAndThrow(rc);
        }
    }
    if (const int rc = sqlite3_busy_timeout(db, busyTimeoutMilliseconds); rc != SQLITE_OK) {
        closeAndThrow(rc);
    }
    return db;
}

void SQLiteSupport::configureWriter(sqlite3* db, SynchronousMode synchronous, bool secureDelete) {
    auto step = [](std::string_view context, auto&& action) {
        try {
            action();
        } catch (const Failure& error) {
            throw Failure(error.resultCode(), std::string(context) + ": " + error.message());
        }
    };
    step("journal_mode", [&] {
        std::string mode = journalMode(db);
        for (auto& c : mode) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (mode != "wal") {
            execute("PRAGMA journal_mode = WAL", db);
        }
    });
    step("synchronous",
         [&] { execute("PRAGMA synchronous = " + std::string(rawValue(synchronous)), db); });
    step("foreign_keys", [&] { execute("PRAGMA foreign_keys = ON", db); });
    if (secureDelete) {
        step("secure_delete", [&] { execute("PRAGMA secure_delete = ON", db); });
    }
}

void SQLiteSupport::configureWriterRetrying(sqlite3* db, SynchronousMode synchronous,
                                            bool secureDelete,
                                            std::chrono::milliseconds retryWindow) {
    // Each attempt gives up quickly on a busy file; this loop, not SQLite, does the waiting.
    if (const int rc = sqlite3_busy_timeout(db, 50); rc != SQLITE_OK) {
        throw failure(rc, db);
    }
    struct RestoreBusyTimeout {
        sqlite3* db;
        ~RestoreBusyTimeout() { sqlite3_busy_timeout(db, defaultBusyTimeoutMilliseconds); }
    } restore{db};
    const auto deadline = std::chrono::steady_clock::now() + retryWindow;
    while (true) {
        try {
            configureWriter(db, synchronous, secureDelete);
            return;
        } catch (const Failure& error) {
            const int primary = error.resultCode() & 0xff;
            if ((primary != SQLITE_BUSY && primary != SQLITE_LOCKED) ||
                std::chrono::steady_clock::now() >= deadline) {
                throw;
            }
            sqlite3_sleep(10);
        }
    }
}

void SQLiteSupport::execute(std::string_view sql, sqlite3* db) {
    char* errorText = nullptr;
    const std::string text(sql);
    const int rc = sqlite3_exec(db, text.c_str(), nullptr, nullptr, &errorText);
    if (rc != SQLITE_OK) {
        std::string message = errorText != nullptr ? errorText : sqlite3_errmsg(db);
        sqlite3_free(errorText);
        throw Failure(rc, std::move(message));
    }
}

int SQLiteSupport::bindText(std::string_view text, int index, sqlite3_stmt* statement) {
    if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        return SQLITE_TOOBIG;
    }
    return sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                             SQLITE_TRANSIENT);
}

int SQLiteSupport::bindOptionalText(const std::optional<std::string>& text, int index,
                                    sqlite3_stmt* statement) {
    if (!text) {
        return sqlite3_bind_null(statement, index);
    }
    return bindText(*text, index, statement);
}

std::string SQLiteSupport::journalMode(sqlite3* db) {
    SQLiteStatement statement(db, "PRAGMA journal_mode");
    if (!statement.step()) {
        throw Failure(SQLITE_DONE, sqlite3_errmsg(db));
    }
    auto mode = statement.columnOptionalText(0);
    if (!mode) {
        throw Failure(SQLITE_ROW, sqlite3_errmsg(db));
    }
    return *mode;
}

std::int32_t SQLiteSupport::userVersion(sqlite3* db) {
    SQLiteStatement statement(db, "PRAGMA user_version");
    if (!statement.step()) {
        throw Failure(SQLITE_DONE, sqlite3_errmsg(db));
    }
    return static_cast<std::int32_t>(statement.columnInt64(0));
}

void SQLiteSupport::setUserVersion(std::int32_t version, sqlite3* db) {
    execute("PRAGMA user_version = " + std::to_string(version), db);
}

namespace {

// The innermost stop guard of each connection that has one.
struct StopGuards {
    std::mutex mutex;
    std::unordered_map<sqlite3*, SQLiteStopInterrupt*> innermost;
};

StopGuards& stopGuards() {
    // Never destroyed: a guard may end during static destruction.
    static auto* const guards = new StopGuards;
    return *guards;
}

}  // namespace

SQLiteStopInterrupt::SQLiteStopInterrupt(sqlite3* db, std::stop_token stop)
    : db_(db), stop_(stop), interrupt_(std::move(stop), Interrupt{db}) {
    if (db_ == nullptr || !stop_.stop_possible()) {
        return;
    }
    auto& guards = stopGuards();
    std::lock_guard lock(guards.mutex);
    auto& innermost = guards.innermost[db_];
    outer_ = innermost;
    innermost = this;
    installed_ = true;
    sqlite3_progress_handler(db_, progressSteps, &SQLiteStopInterrupt::onProgress, this);
}

SQLiteStopInterrupt::~SQLiteStopInterrupt() {
    if (!installed_) {
        return;
    }
    auto& guards = stopGuards();
    std::lock_guard lock(guards.mutex);
    if (outer_ != nullptr) {
        guards.innermost[db_] = outer_;
        sqlite3_progress_handler(db_, progressSteps, &SQLiteStopInterrupt::onProgress, outer_);
    } else {
        guards.innermost.erase(db_);
        sqlite3_progress_handler(db_, 0, nullptr, nullptr);
    }
}

int SQLiteStopInterrupt::onProgress(void* guard) {
    // Guards nest in scopes on one connection: the outer ones outlive this call.
    for (auto* at = static_cast<const SQLiteStopInterrupt*>(guard); at != nullptr;
         at = at->outer_) {
        if (at->stop_.stop_requested()) {
            return 1;
        }
    }
    return 0;
}

}  // namespace vask
