#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/environment.h"
#include "platform/error.h"
#include "store/chat_participant.h"
#include "store/shadow_message.h"
#include "store/sqlite_connection.h"

namespace vask {

// The private, indexed copy of the user's Messages history (shadow.db): its schema and version
// rule, and the writes of messages, chat participants and the synchronisation cursor. One
// instance holds one connection and is used by one task at a time; writers meet in SQLite's
// write lock.
class ShadowDB {
public:
    enum class OpenMode { readWrite, readOnly };

    class Error : public vask::Error {
    public:
        enum class Case { failedToOpen, queryFailed, prepareFailed, insertFailed };

        Error(Case kind, std::string message);
        Case kind() const { return kind_; }
        const std::string& message() const { return message_; }
        bool operator==(const Error& other) const {
            return kind_ == other.kind_ && message_ == other.message_;
        }

    private:
        Case kind_;
        std::string message_;
    };

    struct ColumnInfo {
        std::string name;
        std::string type;
        bool notNull = false;
        bool operator==(const ColumnInfo&) const = default;
    };

    // The synchronisation cursor in Messages-database terms: date and ROWID of the last row read.
    struct SyncWatermark {
        std::int64_t timestamp = 0;
        std::int64_t rowid = 0;
        bool operator==(const SyncWatermark&) const = default;
    };

    // The format this build reads and writes, kept in PRAGMA user_version.
    static constexpr std::int64_t supportedSchemaVersion = 1;

    // Opens (read-write also creates the file and configures it as a writer). Never creates
    // tables: writers call createSchemaIfNeeded(). Throws ShadowDB::Error.
    explicit ShadowDB(const std::optional<std::filesystem::path>& path = std::nullopt,
                      OpenMode mode = OpenMode::readWrite);

    // $SHADOW_DB_PATH as it is, else shadow.db in the support directory (created when missing).
    // Throws ShadowDB::Error (failedToOpen) when no support directory can be named.
    static std::filesystem::path defaultShadowDBPath();
    static std::filesystem::path defaultShadowDBPath(const Environment& env,
                                                     const std::optional<std::string>& bundleId);

    const std::filesystem::path& databasePath() const { return path_; }

    // Applies the version rule (rebuilding a database from before versioning, refusing a newer
    // one), then creates every missing table, index, full-text table and trigger.
    void createSchemaIfNeeded();

    // Writes the batch in one transaction, replacing messages with the same guid; all or
    // nothing. Returns the number of messages written.
    std::size_t insertBatch(const std::vector<ShadowMessage>& messages);
    // insertBatch that also tells how much messageCount() grew: messages that replaced a live
    // row of the same guid add nothing. Lets a synchronisation keep the count without counting
    // the whole table after every batch.
    struct BatchOutcome {
        std::size_t written = 0;
        std::int64_t addedToCount = 0;
    };
    BatchOutcome insertBatchCounting(const std::vector<ShadowMessage>& messages);
    // Replaces every participant in one transaction; all or nothing.
    void replaceChatParticipants(const std::vector<ChatParticipant>& participants);
    void updateSyncState(std::int64_t lastTimestamp, std::int64_t lastRowid,
                         std::int64_t messageCount);
    SyncWatermark lastSyncWatermark();

    std::int64_t messageCount();
    // message_count as the last synchronised batch stored it; 0 without a sync_state row.
    std::int64_t syncedMessageCount();
    std::int64_t eventCount();
    std::vector<ChatParticipant> fetchChatParticipants(std::string_view chatId);
    std::vector<std::string> listTables();
    std::vector<ColumnInfo> describeTable(std::string_view table);
    // SQLite's PRAGMA schema_version (changes with every schema change).
    std::int64_t schemaVersion();

    // Idempotent; every later call fails with "database is closed".
    void close() noexcept;

private:
    sqlite3* connection() const;
    void execute(std::string_view sql);
    std::int64_t scalarCount(std::string_view sql);
    std::int64_t firstColumnOrZero(std::string_view sql);
    void rebuildOnSchemaVersionMismatchLocked();
    void insertOneByOne(const std::vector<ShadowMessage>& messages);
    Error insertFailure(const std::string& guid, const std::string& message) const;

    std::filesystem::path path_;
    SQLiteConnection db_;
};

}  // namespace vask
