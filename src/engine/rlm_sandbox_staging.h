#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/structured_logger.h"
#include "memory/memory_principal.h"
#include "memory/memory_store.h"
#include "records/chat_session.h"

namespace vask {

// The databases one helper run reads, staged in a private folder beside the shadow database
// (".vask-rlm-sandbox/<pid>-<UUID>", 0700): the live shadow database linked with its write-ahead
// log and index, online-backup copies of the contacts and sessions databases, and a sanitized copy
// of the asking account's memory.
class RLMSandboxStaging {
  public:
    // What a run's folder holds on to until cleanup: the mark that keeps a later staging from
    // taking the folder for one left behind by a crash, and a connection to the live shadow
    // database that keeps its write-ahead log and index in place under the staged links.
    class SandboxLease;

    // The databases of one run in its private folder. `cleanup` removes that folder and
    // nothing else, then lets go of the live shadow database.
    struct StagedDatabases {
        std::string dbPath;
        std::optional<std::string> contactsDbPath;
        std::optional<std::string> memoryDbPath;
        std::optional<std::string> sessionDbPath;
        std::filesystem::path directory;
        std::shared_ptr<SandboxLease> lease;

        // Never fails; errors are ignored. Call it once the helper has ended.
        void cleanup() const;
    };

    // Stages the databases of a run into a new private folder, first removing folders that
    // earlier runs left behind. Throws std::filesystem::filesystem_error when the folder or the
    // shadow link cannot be made, RLMHelperError when the live shadow database cannot be held.
    static StagedDatabases stageDatabasesForSandbox(
        const std::string& dbPath, const std::optional<std::string>& contactsDbPath,
        const std::optional<std::string>& memoryDbPath,
        const std::optional<MemoryPrincipal>& memoryPrincipal, MemoryStore* memoryStore,
        const std::vector<ChatSession>& conversationSessions,
        const std::optional<std::string>& sessionDbPath,
        const std::optional<std::string>& activeSessionID);
    // Online backup straight from the live file (the contacts database), never a copy of its
    // files: a copy taken while a sync writes can mix two states. Throws RLMHelperError.
    static void snapshotDatabase(const std::string& source, const std::string& destination);
    // Online backup straight from the live file, waiting while it is busy. Throws RLMHelperError.
    static void snapshotOwnedDatabase(const std::string& source, const std::string& destination);
    // The principal's active associations in a fresh read-only file; returns how many.
    // Throws RLMHelperError or std::filesystem::filesystem_error.
    static std::int64_t createSanitizedMemorySnapshot(const std::string& rawPath,
                                                      const std::string& destination,
                                                      const MemoryPrincipal& principal);
    // Removes the run folders beside the shadow database at `dbPath` that no live run holds
    // (left by a run that was killed): at start-up, so that they do not wait for the next
    // question. Never fails; problems are logged.
    static void sweepLeftovers(const std::string& dbPath);
    static const StructuredLogger& stagingLogger();
};

}  // namespace vask
