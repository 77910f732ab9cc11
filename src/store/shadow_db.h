#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "platform/environment.h"
#include "platform/error.h"
#include "store/awaiting_reply.h"
#include "store/chat_participant.h"
#include "store/file_cache_entry.h"
#include "store/message_cursor.h"
#include "store/persona_message.h"
#include "store/search_result.h"
#include "store/shadow_event.h"
#include "store/shadow_message.h"
#include "store/shadow_query_result.h"
#include "store/source_message.h"
#include "store/sqlite_connection.h"
#include "store/thread_message.h"

namespace vask {

// The private, indexed copy of the user's Messages history (shadow.db): its schema and version
// rule, the writes of messages, chat participants and the synchronisation cursor, the queries
// over them, and the calendar events and file cache that other components keep in it. One
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

    // How far the move of late-joined messages has read the Messages database's
    // chat_message_join table: the last join row read and what it held (so that a table whose
    // rows were renumbered, replaced or cut back is noticed), and the last chat row there was.
    struct JoinCursor {
        std::int64_t rowid = 0;
        std::int64_t chatId = 0;
        std::int64_t messageId = 0;
        std::int64_t lastChatRowid = 0;
        bool operator==(const JoinCursor&) const = default;
    };

    // Live messages stored without a chat, in row order after the row `afterRowid`.
    struct ChatlessPage {
        std::vector<std::string> guids;
        std::int64_t lastRowid = 0;
    };

    // The format this build reads and writes, kept in PRAGMA user_version.
    static constexpr std::int64_t supportedSchemaVersion = 1;

    // A bulk copy's checkpoint interval, in pages of the log (4 KiB each): SQLite copies the log
    // back into the database after a commit once it holds this many. Each checkpoint syncs the
    // log and the database, so a copy checkpoints less often than SQLite's 1,000 pages; but the
    // close of a copy that a stop ended copies back what the log holds, which the stop waits
    // for (see docs/performance.md).
    static constexpr int bulkCopyCheckpointPages = 2048;

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
    // one), then creates every missing table, index, full-text table and trigger. A stop request
    // ends the repair of a cut-short bulk copy (see below) with queryFailed, leaving it to the
    // next open.
    void createSchemaIfNeeded(std::stop_token stop = {});

    // Bulk copies: suspending drops the full-text triggers and the secondary indexes that
    // random keys make expensive (one transaction); resuming rebuilds the full-text index and
    // recreates every missing object (one transaction). While suspended, searches miss what was
    // written since but never return a wrong row. The copy holds a lock (a file beside the
    // database) from suspend to resume: createSchemaIfNeeded() elsewhere leaves a running copy's
    // indexes alone, and repairs those of a copy that was killed. False when another copy holds
    // the lock (nothing was changed).
    // A stop request ends the rebuild at once (the running statement is interrupted and the
    // transaction rolled back) with queryFailed: the indexes stay suspended, and the next
    // createSchemaIfNeeded() repairs them as it repairs a copy that was killed.
    // Suspending also drops the guid's unique index (not on databases whose guid column carries
    // the constraint itself): the copy then appends every row, and resuming keeps the last row
    // written of each guid (without a chat, it takes the chat of the latest it replaced that had
    // one, as a replace would) before the index is made again, and counts the messages afresh.
    bool suspendIndexMaintenance();
    void resumeIndexMaintenance(std::stop_token stop = {});
    bool isIndexMaintenanceSuspended();
    // Whether the full-text index is still to be built: a bulk copy (running, or cut short and
    // not yet repaired) left it out, or the database has no full-text table yet (it is being
    // made), so a search now would miss every message copied.
    bool fullTextIndexPending();
    // Takes over the indexes of a bulk copy that was cut short (killed or stopped) instead of
    // leaving them for createSchemaIfNeeded() to rebuild: the caller copies on, as the copy that
    // was cut short did, and resumes at its end. False (nothing changed) when there is no such
    // copy or another one holds the lock.
    bool resumeCutShortBulkCopy();
    // Whether the guids are held unique by an index now (false while a bulk copy appends).
    bool guidIsIndexed();
    // Whether every trigger and index that a bulk copy leaves out is in place.
    bool indexesAreWhole();
    // For a run that could not take the bulk-copy lock and wrote beside the copy that holds it:
    // waits up to `wait` for the lock (a stop ends the wait), builds with it what a bulk copy
    // left out (as createSchemaIfNeeded() repairs a copy that was killed), and says whether
    // every trigger and index is in place. A run must not be reported done before.
    bool completeIndexes(const std::stop_token& stop, std::chrono::milliseconds wait);

    // Runs `body` with the temporary store in files, for work that would otherwise hold a copy
    // of whole tables, or of every page its statements change, in memory (a statement's undo
    // journal is kept in the temporary store); back to memory afterwards. Outside any
    // transaction: SQLite changes the store only between transactions.
    void withFileTemporaryStore(const std::function<void()>& body);

    // Runs `body` inside BEGIN IMMEDIATE ... COMMIT, rolling back on any exception; inside a
    // transaction already open (a caller's), inside a savepoint instead. The writes below use
    // it, so a caller can group several of them into one commit.
    void inWriteTransaction(const std::function<void()>& body);
    // The same, ended by a stop request up to the commit: the running statement is interrupted,
    // and a stop that came by the end of `body` rolls it all back (queryFailed, "interrupted").
    // Once the commit has begun, it and the checkpoint after it run to their end.
    void inWriteTransaction(const std::function<void()>& body, const std::stop_token& stop);

    // Writes the batch in one transaction, replacing messages with the same guid; all or
    // nothing. A message without a chat (ShadowMessage::unknownChatId) never takes away the
    // chat of the row it replaces: it was read before its chat join was there. Returns the
    // number of messages written.
    std::size_t insertBatch(const std::vector<ShadowMessage>& messages);
    // insertBatch that also tells how much messageCount() grew: messages that replaced a live
    // row of the same guid add nothing. Lets a synchronisation keep the count without counting
    // the whole table after every batch.
    struct BatchOutcome {
        std::size_t written = 0;
        std::int64_t addedToCount = 0;
    };
    // A stop request ends it with queryFailed ("interrupted"), rolled back, the running
    // statement at once.
    BatchOutcome insertBatchCounting(const std::vector<ShadowMessage>& messages,
                                     const std::stop_token& stop = {});
    // Which stored messages a move takes: those without a chat, or any live one (a message
    // copied into one of its chats before the join to its last chat came).
    enum class MoveFrom { noChat, anyChat };
    // Moves the live messages stored without a chat (or in any chat) into the chats `messages`
    // give them (chat, chat name, group flag, recipient), in place, in one transaction; of
    // several rows of one guid the last wins. Returns how many moved. A stop request ends it
    // with queryFailed, rolled back, the running statement at once.
    std::int64_t moveIntoChats(const std::vector<ShadowMessage>& messages,
                               const std::stop_token& stop = {}, MoveFrom from = MoveFrom::noChat);
    // Replaces every participant in one transaction; all or nothing.
    void replaceChatParticipants(const std::vector<ChatParticipant>& participants);
    void updateSyncState(std::int64_t lastTimestamp, std::int64_t lastRowid,
                         std::int64_t messageCount);
    SyncWatermark lastSyncWatermark();

    std::int64_t messageCount();
    // The join cursor; nothing before a run first read the join table.
    std::optional<JoinCursor> joinCursor();
    void updateJoinCursor(const JoinCursor& cursor);
    // Live messages stored without a chat (ShadowMessage::unknownChatId): how many, counted no
    // further than `limit`; at most `limit` of their guids after a row; those among `guids`, in
    // guid order. These reads and the next end at a stop request with queryFailed
    // ("interrupted"), the running statement at once.
    std::int64_t countWithoutChat(std::int64_t limit, const std::stop_token& stop = {});
    ChatlessPage guidsWithoutChat(std::int64_t afterRowid, int limit,
                                  const std::stop_token& stop = {});
    std::vector<std::string> guidsWithoutChatAmong(const std::vector<std::string>& guids,
                                                   const std::stop_token& stop = {});
    // Of the (guid, chat) pairs given, the guids stored live in a chat other than the one paired
    // with them (not without a chat), in guid order.
    std::vector<std::string> guidsInAnotherChat(
        const std::vector<std::pair<std::string, std::string>>& guidChats,
        const std::stop_token& stop = {});
    // message_count as the last synchronised batch stored it; 0 without a sync_state row.
    std::int64_t syncedMessageCount();
    std::int64_t eventCount();
    std::vector<ChatParticipant> fetchChatParticipants(std::string_view chatId);
    std::vector<std::string> listTables();
    std::vector<ColumnInfo> describeTable(std::string_view table);
    // SQLite's PRAGMA schema_version (changes with every schema change).
    std::int64_t schemaVersion();

    // --- Queries. Contact names come from the contacts database at `contactsDBPath`, attached
    // for the one call. Times: `now` is Unix seconds, `withinDays` whole days.

    // `query` is FTS5 syntax, bound unchanged; best BM25 rank first. A query FTS5 cannot parse
    // gives no results; every other failure throws.
    std::vector<SearchResult> search(std::string_view query, int limit);
    // One-to-one chats whose newest live message is incoming, inside the window, from a sender
    // that is a known contact; newest first. Reactions are dropped after the limit, so fewer
    // than `limit` may come back.
    std::vector<AwaitingReply> awaitingReplies(const std::filesystem::path& contactsDBPath,
                                               int withinDays, int limit, std::int64_t now);
    // The messages of the first `limit` guids, in that order: unknown guids are skipped, a guid
    // given twice comes back twice.
    std::vector<SourceMessage> fetchMessages(const std::vector<std::string>& guids,
                                             const std::filesystem::path& contactsDBPath,
                                             int limit);
    std::vector<SourceMessage> recentMessages(int withinDays, int limit,
                                              const std::filesystem::path& contactsDBPath,
                                              std::int64_t now);
    // Texts the user sent to `recipientHandle`, newest first, older than `before` when given.
    std::vector<std::string> sentMessages(std::string_view recipientHandle,
                                          const std::optional<MessageCursor>& before, int limit);
    // Texts the user sent to anyone but `recipientHandle`, newest first.
    std::vector<std::string> recentSentSample(std::string_view recipientHandle,
                                              const std::optional<MessageCursor>& before,
                                              int limit);
    // The latest `limit` messages of the chat before the cursor, oldest first.
    std::vector<ThreadMessage> recentThread(std::string_view chatId,
                                            const std::optional<MessageCursor>& before, int limit);
    std::vector<PersonaExemplar> personaExemplars(std::string_view recipientHandle, int limit);
    // The chat's latest messages, oldest first; empty unless the chat is one-to-one and really
    // involves `recipientHandle`.
    std::vector<PersonaThreadMessage> personaThread(std::string_view chatId,
                                                    std::string_view recipientHandle, int limit);
    // Runs one statement that only reads, on a read-only connection, refusing writes, ATTACH,
    // DETACH, transactions and pragmas that change anything. At most `limit` rows (100 when
    // `limit` <= 0).
    ShadowQueryResult executeReadOnly(std::string_view sql, int limit);

    // --- File cache (present only while file access is on) and its privacy erasure.

    // Creates the file cache tables and clears the erasure marker.
    void createFileCacheSchemaIfNeeded();
    // Nothing when the path is not cached or its row is incomplete.
    std::optional<FileCacheEntry> fetchFileCache(std::string_view path);
    // Inserts, or updates in place (keeping the row id) the entry of the same path.
    void upsertFileCache(const FileCacheEntry& entry);
    // Drops the file cache, vacuums, truncates the write-ahead log and marks the erasure; does
    // nothing on a database already erased. An interrupted erasure is repeated in full. A stop
    // request ends it (the running statement at once) with queryFailed ("interrupted").
    void dropFileCacheSchema(const std::stop_token& stop = {});

    // --- Calendar events: replaced wholesale in one transaction; the previous events survive a
    // failed replacement, and of two events with one id the later wins.
    void replaceEvents(const std::vector<ShadowEvent>& events);

    // Idempotent; every later call fails with "database is closed".
    void close() noexcept;

  private:
    sqlite3* connection() const;
    void execute(std::string_view sql);
    // The first column of a keyset-paged statement about one recipient, newest first.
    std::vector<std::string> pagedTexts(std::string_view head, std::string_view recipientHandle,
                                        const std::optional<MessageCursor>& before, int limit);
    std::int64_t scalarCount(std::string_view sql);
    std::int64_t firstColumnOrZero(std::string_view sql);
    void rebuildOnSchemaVersionMismatchLocked();
    void insertOneByOne(const std::vector<ShadowMessage>& messages);
    Error insertFailure(const std::string& guid, const std::string& message) const;
    void vacuumThroughFile();
    // The bulk-copy lock, or nothing when a bulk copy holds it.
    std::shared_ptr<void> tryLockBulkCopy() const;
    // FTS5 'rebuild' and every missing object of the schema, in one transaction; stoppable as
    // resumeIndexMaintenance() says.
    void rebuildIndexes(const std::stop_token& stop);
    // The page cache and checkpoint interval of a bulk copy, from suspend to resume.
    void configureBulkCopy();
    // Every statement of the schema, `beforeEach` (when given) run before each.
    void executeSchemaStatements(const std::function<void()>& beforeEach);
    // Makes the guid's unique index; false (nothing changed) when duplicate guids prevent it.
    bool createGuidUniqueIndex();
    void removeDuplicateGuids();
    void checkpointWalOrThrow();
    // Runs `query` with the contacts database attached as "contacts". The attach is kept for
    // the connection's life (attaching re-reads the schema of both databases on the next
    // statement), and made again when another file or another path is asked for.
    template <typename Query>
    auto withContactsAttached(const std::filesystem::path& contactsDBPath, Query&& query)
        -> decltype(query());
    void detachContacts() noexcept;

    std::filesystem::path path_;
    OpenMode mode_;
    SQLiteConnection db_;
    std::shared_ptr<void> bulkLock_;
    // The contacts database attached now: its path and its file's device and inode.
    struct AttachedContacts {
        std::filesystem::path path;
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        bool operator==(const AttachedContacts&) const = default;
    };
    std::optional<AttachedContacts> attachedContacts_;
};

}  // namespace vask
