#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "memory/memory_association.h"
#include "memory/memory_mutation.h"
#include "memory/memory_store_changes.h"
#include "memory/memory_store_error.h"
#include "platform/clock.h"
#include "store/sqlite_connection.h"

namespace vask {

// The sole owner and writer of memory.db. Every public operation takes the store's one lock for
// its whole duration, so all reads and writes of the file in this process are ordered; callers
// run them off the main executor. Change notices only fill the subscribers' buffers, never run
// their code under the lock. Every operation names a principal and touches no other's rows.
class MemoryStore {
  public:
    // Called once inside the store's serialised call before anything is written; false refuses
    // the write with authorizationChanged.
    using Authorizing = std::function<bool()>;

    static constexpr std::chrono::milliseconds defaultConfigurationRetryWindow{5000};

    // Opens (creating when needed), configures and migrates the file to the current schema.
    // Throws MemoryStoreError, or the file system's error when its folder cannot be created.
    // `configurationRetryWindow` is how long a busy or locked file is retried while configuring.
    MemoryStore(
        const std::filesystem::path& databaseURL, std::shared_ptr<MemoryStoreChanges> changes,
        const Clock& clock = Clock::system(),
        std::chrono::milliseconds configurationRetryWindow = defaultConfigurationRetryWindow);

    MemoryStore(const MemoryStore&) = delete;
    MemoryStore& operator=(const MemoryStore&) = delete;

    const std::shared_ptr<MemoryStoreChanges>& changes() const { return changes_; }

    MemoryAssociation createAssociation(const MemoryPrincipal& principal, std::string_view term,
                                        std::string_view definition, MemoryProvenance provenance,
                                        const Uuid& id, std::int64_t timestamp);
    // Oldest first (created_at, then id).
    std::vector<MemoryAssociation> activeAssociations(const MemoryPrincipal& principal);

    MemoryAssociation updateAssociation(const Uuid& id, const MemoryPrincipal& principal,
                                        std::string_view term, std::string_view definition,
                                        std::int64_t timestamp);
    MemoryAssociation updateAssociation(const Uuid& id, const MemoryPrincipal& principal,
                                        std::string_view term, std::string_view definition,
                                        const Authorizing& authorizing);
    MemoryAssociation tombstoneAssociation(const Uuid& id, const MemoryPrincipal& principal,
                                           std::int64_t timestamp);
    MemoryAssociation tombstoneAssociation(const Uuid& id, const MemoryPrincipal& principal,
                                           const Authorizing& authorizing);
    // Tombstones an automatic save only while it is exactly as its receipt recorded it.
    MemoryAssociation undoInferredAssociation(const Uuid& id, const MemoryPrincipal& principal,
                                              std::string_view expectedTerm,
                                              std::string_view expectedDefinition,
                                              std::int64_t expectedUpdatedAt,
                                              std::int64_t timestamp,
                                              const Authorizing& authorizing);
    // The number of rows tombstoned; a notice only when there was at least one.
    int tombstoneAllAssociations(const MemoryPrincipal& principal, std::int64_t timestamp);
    int tombstoneAllAssociations(const MemoryPrincipal& principal, const Authorizing& authorizing);

    // All or nothing, in one transaction; one notice per mutation, sent before COMMIT.
    std::vector<CommittedMemoryMutation> apply(const std::vector<MemoryMutation>& mutations,
                                               const MemoryPrincipal& principal,
                                               std::int64_t timestamp);
    std::vector<CommittedMemoryMutation> apply(const std::vector<MemoryMutation>& mutations,
                                               const MemoryPrincipal& principal,
                                               const Authorizing& authorizing);

    // A complete copy of the whole file at `destination`, replacing whatever was there.
    void snapshot(const std::filesystem::path& destination);

    // Milliseconds since 1970 as the store writes them.
    static std::int64_t milliseconds(Clock::WallTime time);

  private:
    std::int64_t now() const;
    void authorize(const Authorizing& authorizing) const;
    MemoryAssociation insert(const MemoryAssociation& association);
    MemoryAssociation updateRow(const Uuid& id, const MemoryPrincipal& principal,
                                std::string_view term, std::string_view definition,
                                std::int64_t timestamp);
    MemoryAssociation tombstoneRow(const Uuid& id, const MemoryPrincipal& principal,
                                   std::int64_t timestamp);
    int tombstoneAllRows(const MemoryPrincipal& principal, std::int64_t timestamp);
    std::vector<CommittedMemoryMutation> applyBatch(const std::vector<MemoryMutation>& mutations,
                                                    const MemoryPrincipal& principal,
                                                    std::int64_t timestamp);

    std::shared_ptr<MemoryStoreChanges> changes_;
    const Clock& clock_;
    std::mutex mutex_;
    SQLiteConnection connection_;
};

}  // namespace vask
