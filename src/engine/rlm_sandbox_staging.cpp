#include "engine/rlm_sandbox_staging.h"

#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <mutex>
#include <system_error>

#include "engine/in_use_folder.h"
#include "engine/resolved_path.h"
#include "engine/rlm_helper_error.h"
#include "platform/crypto.h"
#include "platform/file_io.h"
#include "platform/file_lock.h"
#include "platform/text.h"
#include "records/sqlite_session_store.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"

namespace vask {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view sandboxFolderName = ".vask-rlm-sandbox";
constexpr int stagingBusyTimeoutMilliseconds = 1000;
// The hold on the live shadow database waits as long as its writers do: the helper starts as a
// synchronisation ends, when the run's last connection may still be folding its log in (which
// locks readers out for as long as that takes on a loaded machine). A lock that passes is
// waited out, never shown as the question's failure.
constexpr int liveShadowHoldBusyTimeoutMilliseconds = SQLiteSupport::defaultBusyTimeoutMilliseconds;

constexpr const char* sanitizedMemorySchema =
    "BEGIN IMMEDIATE;\n"
    "CREATE TABLE associations (\n"
    "    id TEXT PRIMARY KEY,\n"
    "    term TEXT NOT NULL CHECK(\n"
    "        length(CAST(term AS BLOB)) BETWEEN 1 AND 256\n"
    "        AND length(trim(term, ' ' || char(9) || char(10) || char(13))) > 0\n"
    "        AND instr(term, char(0)) = 0\n"
    "    ),\n"
    "    definition TEXT NOT NULL CHECK(\n"
    "        length(CAST(definition AS BLOB)) BETWEEN 1 AND 4096\n"
    "        AND length(trim(definition, ' ' || char(9) || char(10) || char(13))) > 0\n"
    "        AND instr(definition, char(0)) = 0\n"
    "    ),\n"
    "    provenance TEXT NOT NULL CHECK(provenance IN ('explicit', 'inferred')),\n"
    "    updated_at INTEGER NOT NULL\n"
    ");\n"
    "CREATE VIRTUAL TABLE associations_fts USING fts5(\n"
    "    id UNINDEXED, term, definition\n"
    ");\n"
    "CREATE TABLE snapshot_metadata (\n"
    "    key TEXT PRIMARY KEY,\n"
    "    value TEXT NOT NULL\n"
    ");\n"
    "INSERT INTO snapshot_metadata(key, value)\n"
    "VALUES ('vask_memory_snapshot', '1');";

void removeWithSidecars(const std::string& path) {
    std::error_code ignored;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        fs::remove(path + suffix, ignored);
    }
}

bool fileExists(const std::string& path) {
    std::error_code ignored;
    return fs::exists(path, ignored);
}

// Whether anything, even a dangling link, is at `path`.
bool anythingAt(const std::string& path) {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(path, ignored));
}

// A database of the data folder with the folder's own links resolved (the data folder may live
// elsewhere through one) but not the file's: a database that is itself a link is refused where it
// is read, as its writers refuse it.
std::string resolvedFolderPath(const std::string& path) {
    const fs::path file(path);
    if (!file.has_parent_path()) {
        return path;
    }
    return (fs::path(realpathOrSame(file.parent_path().string())) / file.filename()).string();
}

// A usable path: present, not blank and not the text "nil"; trimmed.
std::optional<std::string> usablePath(const std::optional<std::string>& path) {
    if (!path) {
        return std::nullopt;
    }
    std::string trimmedPath(text::trimmed(*path));
    if (trimmedPath.empty() || trimmedPath == "nil") {
        return std::nullopt;
    }
    return trimmedPath;
}

std::string linkInto(const std::string& source, const fs::path& folder) {
    std::string destination = (folder / fs::path(source).filename()).string();
    fs::create_hard_link(source, destination);
    for (const char* suffix : {"-wal", "-shm"}) {
        std::error_code ignored;
        if (fs::exists(source + suffix, ignored)) {
            fs::create_hard_link(source + suffix, destination + suffix, ignored);
        }
    }
    return destination;
}

// Links the live shadow database into the run's folder so that the helper reads the very
// database the application writes, not a copy. SQLite keeps a database consistent for its
// readers only when they all share one write-ahead log and one index of it: `holder` is opened
// on the live file and reading through it once makes SQLite create both sidecars when the
// writer left none, and keeps them from being deleted when the writer closes. Linking all
// three files then puts the helper under the same index as every writer, so a checkpoint never
// copies a page over one that a helper's read still needs.
std::string linkLiveShadowDatabase(const std::string& source, const fs::path& folder,
                                   SQLiteConnection& holder) {
    std::string destination = (folder / fs::path(source).filename()).string();
    fs::create_hard_link(source, destination);
    try {
        holder = SQLiteConnection::open(source, SQLiteSupport::OpenMode::readOnly, false,
                                        liveShadowHoldBusyTimeoutMilliseconds);
        SQLiteStatement(holder.get(), "SELECT count(*) FROM sqlite_schema").step();
    } catch (const SQLiteSupport::Failure& e) {
        throw RLMHelperError::decodeFailure("shadow database hold: " + e.message());
    }
    for (const char* suffix : {"-wal", "-shm"}) {
        // No log beside the database means it is not in WAL mode, and there is nothing to share.
        if (fileExists(source + suffix)) {
            fs::create_hard_link(source + suffix, destination + suffix);
        }
    }
    return destination;
}

// Copies the live database at `source` into a new file at `destination` by SQLite's online
// backup, which reads one committed state under the source's own locks whatever its writers do
// meanwhile (copying its files one after another could pair a main file and a log from two
// different moments). Failures are decoding failures whose text starts with `label`.
void copyByOnlineBackup(const std::string& source, const std::string& destination,
                        std::string_view label) {
    const auto fail = [label](std::string_view stage, std::string_view message) {
        return RLMHelperError::decodeFailure(std::string(label) + " " + std::string(stage) + ": " +
                                             std::string(message));
    };
    SQLiteConnection live;
    try {
        live = SQLiteConnection::open(source, SQLiteSupport::OpenMode::readOnly, false,
                                      stagingBusyTimeoutMilliseconds);
    } catch (const SQLiteSupport::Failure& e) {
        throw fail("open source", e.message());
    }
    SQLiteConnection copy;
    try {
        copy = SQLiteConnection::open(destination, SQLiteSupport::OpenMode::readWriteCreate, false,
                                      stagingBusyTimeoutMilliseconds);
        // The copy lives only as long as the run, and a failed copy is deleted: nothing is
        // gained by waiting for the disk.
        copy.execute("PRAGMA synchronous=OFF; PRAGMA journal_mode=OFF");
    } catch (const SQLiteSupport::Failure& e) {
        throw fail("open destination", e.message());
    }
    const auto outcome = live.backupInto(copy, 100, std::chrono::milliseconds(10));
    if (!outcome) {
        throw fail("backup_init", sqlite3_errmsg(copy.get()));
    }
    if (!outcome->succeeded()) {
        throw fail("backup step=" + std::to_string(outcome->lastStep) +
                       " finish=" + std::to_string(outcome->finish),
                   sqlite3_errmsg(copy.get()));
    }
}

bool isRunFolder(const fs::path& folder) {
    return !folder.filename().string().starts_with(".");
}

void reportSweptRunFolder(const fs::path& folder, const std::error_code& removal) {
    // "<pid>-<UUID>": the run that made it, for whoever reads the log.
    const std::string name = folder.filename().string();
    const auto dash = name.find('-');
    const std::string madeBy = dash == std::string::npos ? "unknown" : name.substr(0, dash);
    if (removal) {
        RLMSandboxStaging::stagingLogger().warning("stale_run_folder_removal_failed",
                                                   {{"error", removal.message()}, {"pid", madeBy}});
    } else {
        RLMSandboxStaging::stagingLogger().warning("stale_run_folder_removed", {{"pid", madeBy}});
    }
}

// A new run folder, named after this process, after removing those whose owner is gone (left
// by a crash).
InUseFolder createRunFolder(const fs::path& sandbox) {
    return InUseFolder::create(sandbox, std::to_string(::getpid()) + "-" + randomUUID(),
                               isRunFolder, reportSweptRunFolder);
}

std::string typeName(const std::exception& error) {
    if (dynamic_cast<const RLMHelperError*>(&error) != nullptr) {
        return "RLMHelperError";
    }
    if (dynamic_cast<const fs::filesystem_error*>(&error) != nullptr) {
        return "filesystem_error";
    }
    if (dynamic_cast<const Error*>(&error) != nullptr) {
        return "Error";
    }
    return "exception";
}

std::optional<std::string> stageMemory(const fs::path& folder,
                                       const std::optional<std::string>& memoryDbPath,
                                       const std::optional<MemoryPrincipal>& principal,
                                       MemoryStore* store) {
    const auto path = usablePath(memoryDbPath);
    if (!path || !principal || store == nullptr || !fileExists(*path)) {
        return std::nullopt;
    }
    const std::string rawPath = (folder / "memory.raw.db").string();
    const std::string stagedPath = (folder / "memory.db").string();
    std::optional<std::string> staged;
    try {
        store->snapshot(rawPath);
        const auto count =
            RLMSandboxStaging::createSanitizedMemorySnapshot(rawPath, stagedPath, *principal);
        RLMSandboxStaging::stagingLogger().info(
            "memory_snapshot_completed",
            {{"operation", "snapshot"}, {"result", "success"}, {"count", std::to_string(count)}});
        staged = stagedPath;
    } catch (const std::exception& e) {
        removeWithSidecars(rawPath);
        removeWithSidecars(stagedPath);
        RLMSandboxStaging::stagingLogger().warning("memory_snapshot_completed",
                                                   {{"operation", "snapshot"},
                                                    {"result", "omitted"},
                                                    {"count", "0"},
                                                    {"error_type", typeName(e)}});
    }
    removeWithSidecars(rawPath);
    return staged;
}

std::optional<std::string> stageContacts(const fs::path& folder,
                                         const std::optional<std::string>& contactsDbPath) {
    const auto contacts = usablePath(contactsDbPath);
    if (!contacts) {
        return std::nullopt;
    }
    const std::string resolved = resolvedFolderPath(*contacts);
    if (!anythingAt(resolved)) {
        // A user without contacts can still ask: no file is the same as no path.
        RLMSandboxStaging::stagingLogger().warning("contacts_db_missing");
        return std::nullopt;
    }
    const std::string destination = (folder / fs::path(resolved).filename()).string();
    try {
        RLMSandboxStaging::snapshotDatabase(resolved, destination);
        return destination;
    } catch (const std::exception& e) {
        removeWithSidecars(destination);
        try {
            // A link, a FIFO or a folder is refused, not linked for the helper to open.
            requireRegularFile(resolved, LinkPolicy::refuse);
        } catch (const FileError& refused) {
            RLMSandboxStaging::stagingLogger().warning("contacts_db_refused",
                                                       {{"error", refused.what()}});
            return std::nullopt;
        }
        RLMSandboxStaging::stagingLogger().warning("contacts_snapshot_failed_fallback_link",
                                                   {{"error", e.what()}});
        return linkInto(resolved, folder);
    }
}

std::optional<std::string> stageSessions(const fs::path& folder,
                                         const std::vector<ChatSession>& sessions,
                                         const std::optional<std::string>& sessionDbPath,
                                         const std::optional<std::string>& activeSessionID) {
    if (!activeSessionID) {
        return std::nullopt;
    }
    const auto livePath =
        sessionDbPath ? std::optional(std::string(text::trimmed(*sessionDbPath))) : std::nullopt;
    const bool hasLivePath = livePath && !livePath->empty();
    if (sessions.empty() && !hasLivePath) {
        return std::nullopt;
    }
    const std::string destination = (folder / "sessions.db").string();
    bool staged = false;
    if (hasLivePath && anythingAt(*livePath)) {
        try {
            RLMSandboxStaging::snapshotOwnedDatabase(resolvedFolderPath(*livePath), destination);
            SQLiteSessionStore::markSnapshot(destination, *activeSessionID);
            staged = true;
        } catch (const std::exception& e) {
            // The conversations held in memory are staged instead.
            removeWithSidecars(destination);
            RLMSandboxStaging::stagingLogger().warning("session_db_snapshot_failed",
                                                       {{"error", e.what()}});
        }
    }
    if (!staged) {
        try {
            SQLiteSessionStore::writeSnapshot(sessions, *activeSessionID, destination);
        } catch (const std::exception& e) {
            removeWithSidecars(destination);
            RLMSandboxStaging::stagingLogger().warning(
                "session_snapshot_completed", {{"result", "omitted"}, {"error_type", typeName(e)}});
            return std::nullopt;
        }
    }
    RLMSandboxStaging::stagingLogger().info(
        "session_snapshot_completed",
        {{"result", "success"}, {"session_count", std::to_string(sessions.size())}});
    return destination;
}

}  // namespace

class RLMSandboxStaging::SandboxLease {
  public:
    explicit SandboxLease(FileLock folderLock) : folderLock_(std::move(folderLock)) {}

    SQLiteConnection& liveShadow() { return liveShadow_; }

    void release() {
        std::lock_guard lock(mutex_);
        liveShadow_ = SQLiteConnection();
        folderLock_.reset();
    }

  private:
    std::mutex mutex_;
    std::optional<FileLock> folderLock_;
    SQLiteConnection liveShadow_;
};

void RLMSandboxStaging::sweepLeftovers(const std::string& dbPath) {
    try {
        InUseFolder::sweep(fs::path(resolvedFolderPath(dbPath)).parent_path() / sandboxFolderName,
                           isRunFolder, reportSweptRunFolder);
    } catch (const std::exception& error) {
        stagingLogger().warning("stale_run_folder_sweep_failed", {{"error", error.what()}});
    }
}

const StructuredLogger& RLMSandboxStaging::stagingLogger() {
    static const StructuredLogger logger("rlm-staging");
    return logger;
}

void RLMSandboxStaging::StagedDatabases::cleanup() const {
    std::error_code ignored;
    // The links go first: the live database is let go only once no helper can reach it.
    fs::remove_all(directory, ignored);
    if (lease) {
        lease->release();
    }
}

RLMSandboxStaging::StagedDatabases RLMSandboxStaging::stageDatabasesForSandbox(
    const std::string& dbPath, const std::optional<std::string>& contactsDbPath,
    const std::optional<std::string>& memoryDbPath,
    const std::optional<MemoryPrincipal>& memoryPrincipal, MemoryStore* memoryStore,
    const std::vector<ChatSession>& conversationSessions,
    const std::optional<std::string>& sessionDbPath,
    const std::optional<std::string>& activeSessionID) {
    const std::string shadow = resolvedFolderPath(dbPath);
    try {
        if (anythingAt(shadow)) {  // a missing one fails below, as a file error
            requireRegularFile(shadow, LinkPolicy::refuse);
        }
    } catch (const FileError& refused) {
        throw RLMHelperError::decodeFailure(std::string("shadow database: ") + refused.what());
    }
    const fs::path sandbox = fs::path(shadow).parent_path() / sandboxFolderName;
    auto [folder, lock] = createRunFolder(sandbox);

    StagedDatabases staged;
    staged.directory = folder;
    staged.lease = std::make_shared<SandboxLease>(std::move(lock));
    try {
        fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
        staged.dbPath = linkLiveShadowDatabase(shadow, folder, staged.lease->liveShadow());

        // The copies are independent and each reads its own live file: made side by side, the
        // staging takes as long as the slowest of them rather than all of them together. Each
        // future joins when it goes out of scope, so nothing writes into the folder after a
        // failure has started removing it.
        // Lambdas capture variables, not structured bindings, on every compiler.
        const auto& runFolder = folder;
        auto contacts = std::async(std::launch::async,
                                   [&] { return stageContacts(runFolder, contactsDbPath); });
        auto sessions = std::async(std::launch::async, [&] {
            return stageSessions(runFolder, conversationSessions, sessionDbPath, activeSessionID);
        });
        staged.memoryDbPath = stageMemory(folder, memoryDbPath, memoryPrincipal, memoryStore);
        staged.contactsDbPath = contacts.get();
        staged.sessionDbPath = sessions.get();
    } catch (...) {
        staged.cleanup();
        throw;
    }
    return staged;
}

void RLMSandboxStaging::snapshotDatabase(const std::string& source,
                                         const std::string& destination) {
    copyByOnlineBackup(source, destination, "database snapshot");
}

void RLMSandboxStaging::snapshotOwnedDatabase(const std::string& source,
                                              const std::string& destination) {
    copyByOnlineBackup(source, destination, "owned database snapshot");
}

std::int64_t RLMSandboxStaging::createSanitizedMemorySnapshot(const std::string& rawPath,
                                                              const std::string& destination,
                                                              const MemoryPrincipal& principal) {
    SQLiteConnection snapshot;
    try {
        snapshot = SQLiteConnection::open(destination, SQLiteSupport::OpenMode::readWriteCreate);
    } catch (const SQLiteSupport::Failure&) {
        throw RLMHelperError::decodeFailure("memory snapshot open failed");
    }
    const auto fail = [](std::string_view stage, const SQLiteSupport::Failure& e) {
        return RLMHelperError::decodeFailure("memory snapshot " + std::string(stage) + ": " +
                                             e.message());
    };
    // Prepares, binds and steps one statement, each failure under its own stage name.
    const auto runOne = [&](std::string_view sql, const std::string& parameter,
                            std::string_view prepareStage, std::string_view stepStage) {
        std::optional<SQLiteStatement> statement;
        try {
            statement.emplace(snapshot.get(), sql);
        } catch (const SQLiteSupport::Failure& e) {
            throw fail(prepareStage, e);
        }
        try {
            statement->bind(1, parameter);
        } catch (const SQLiteSupport::Failure& e) {
            throw fail("bind", e);
        }
        try {
            statement->run();
        } catch (const SQLiteSupport::Failure& e) {
            throw fail(stepStage, e);
        }
        return sqlite3_changes(snapshot.get());
    };
    const auto execute = [&](std::string_view sql) {
        try {
            snapshot.execute(sql);
        } catch (const SQLiteSupport::Failure& e) {
            throw fail("schema", e);
        }
    };

    runOne("ATTACH DATABASE ? AS source_memory", rawPath, "prepare attach", "attach");
    try {
        execute(sanitizedMemorySchema);
        const int count = runOne(
            "INSERT INTO associations(id, term, definition, provenance, updated_at)\n"
            "SELECT id, term, definition, provenance, updated_at\n"
            "FROM source_memory.associations\n"
            "WHERE principal = ? AND state = 'active'",
            principal.rawValue(), "prepare copy", "copy");
        execute(
            "INSERT INTO associations_fts(id, term, definition)\n"
            "SELECT id, term, definition FROM associations;\n"
            "COMMIT;\n"
            "DETACH DATABASE source_memory;\n"
            "PRAGMA journal_mode=DELETE;");
        fs::permissions(destination, fs::perms::owner_read, fs::perm_options::replace);
        return count;
    } catch (...) {
        sqlite3_exec(snapshot.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

}  // namespace vask
