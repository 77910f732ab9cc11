#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "foundation/structured_logger.h"
#include "platform/environment.h"

namespace vask {

struct FullDiskAccessResult {
    bool hasAccess = false;
    // Why there is no access; absent when there is.
    std::optional<std::string> reason;

    bool operator==(const FullDiskAccessResult&) const = default;
};

// Whether the Messages database can be read: it must open read-only
// and give up its schema. On Linux nothing grants "Full Disk Access"; a database that opens and
// reads is access, and a file that cannot be opened or read is none.
class FullDiskAccessChecker {
  public:
    FullDiskAccessChecker() = delete;

    static constexpr const char* probeQuery = "SELECT 1 FROM sqlite_master LIMIT 1";
    // A database locked by the Messages app is waited for as the reader waits
    // (ChatDBReader::busyTimeoutMilliseconds). One still locked after it was opened and is
    // readable: that is access, logged as "fda_chat_db_busy".

    // The database the Messages reader reads (ChatDBReader::defaultChatDBPath: $CHAT_DB_PATH or
    // ~/Library/Messages/chat.db), so that the probe and the synchronisation agree. Blocks for
    // one open and one step (up to the busy timeout). Every failure is logged through `logger`
    // and comes back as a result with a reason.
    static FullDiskAccessResult checkChatDatabaseAccess(const StructuredLogger& logger) noexcept;
    static FullDiskAccessResult checkChatDatabaseAccess(const StructuredLogger& logger,
                                                        const Environment& env) noexcept;
    // The same probe on the database at `path`.
    static FullDiskAccessResult checkDatabaseAccess(const std::filesystem::path& path,
                                                    const StructuredLogger& logger) noexcept;
};

}  // namespace vask
