#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "store/awaiting_reply.h"
#include "store/chat_participant.h"
#include "store/message_cursor.h"
#include "store/search_result.h"
#include "store/shadow_db.h"
#include "store/source_message.h"
#include "store/thread_message.h"

namespace vask {

class ChatDBReader;
struct LateJoinMovePass;

class ShadowSyncError : public Error {
  public:
    enum class Case { syncFailed, chatDBNotFound, cancelled };

    explicit ShadowSyncError(Case kind, std::string message = {});
    Case kind() const { return kind_; }
    const std::string& message() const { return message_; }

  private:
    Case kind_;
    std::string message_;
};

// Copies the Messages history incrementally into the shadow database, and reads it back for other
// components. Holds only its two paths: every call opens and releases its own connections, so one
// instance may serve several tasks. Runs that overlap are kept apart by the caller; if they do
// overlap (two processes), their writes serialise through SQLite, and a run writes a batch only
// if no other run wrote the copy's cursor or the join cursor since it read the batch (it reads
// it again otherwise), so that a message read before its chat join was there never replaces one
// written with its chat, nor lands behind a move that already passed its join.
class ShadowSync {
  public:
    // (processed, total); called on the thread that runs the synchronisation.
    using Progress = std::function<void(std::int64_t processed, std::int64_t total)>;

    static constexpr int defaultBatchSize = 10000;
    // A run with at least this many rows to copy, and no fewer than the messages already
    // stored, builds its indexes once at the end rather than row by row.
    static constexpr std::int64_t defaultDeferredIndexingThreshold = 20000;
    // Batches committed together by a run that defers its indexes but keeps the guid's unique
    // index (a database whose guid column carries the constraint); other runs commit each batch.
    static constexpr int bulkBatchesPerTransaction = 20;
    // How long a run that could not take the bulk-copy lock waits for it at its end.
    static constexpr std::chrono::milliseconds defaultBulkCopyLockWait{30000};

    // Absent paths take ChatDBReader::defaultChatDBPath() and ShadowDB::defaultShadowDBPath().
    explicit ShadowSync(const std::optional<std::filesystem::path>& chatDBPath = std::nullopt,
                        const std::optional<std::filesystem::path>& shadowDBPath = std::nullopt);

    const std::filesystem::path& databasePath() const { return shadowDBPath_; }
    const std::filesystem::path& sourceDatabasePath() const { return chatDBPath_; }

    // One synchronisation from the stored cursor; blocks, so callers run it off the main
    // executor. Returns the number of messages written. Messages copied before the Messages app
    // joined them to a chat are moved into their chat once the join is there: each run follows
    // the join rows that arrived since the last one (batches of defaultBatchSize, each committed
    // with its cursor), so messages that never get a join cost nothing after they were copied;
    // a message in several chats ends in the chat of its join with the highest row id, as in the
    // Messages database. The run's connections let go of the shadow database before its last
    // progress report: nothing of it keeps a reader out once it reports its end.
    // Throws ShadowSyncError (chatDBNotFound,
    // before anything is opened or created), ShadowDB::Error or ChatDBReader::Error; batches
    // committed before a failure stay, with their cursor. A stop request ends the run with
    // ShadowSyncError (cancelled) within the batch in hand: its read and its write look at the
    // stop row by row and interrupt the running statement, and the batch (with any others of its
    // transaction) is rolled back whole. What was committed stays, and a run that had deferred
    // its indexes leaves them deferred rather than hold up a quit: the next run goes on with the
    // copy from its cursor and builds them at its end (another writer that opens the database
    // first rebuilds them instead). A bulk copy that fails logs why, then builds the indexes it
    // left out before it throws, so that the rows it copied are searchable; a stop ends that
    // build too, leaving them to the next run. A run asked to stop before it starts opens
    // nothing.
    std::int64_t performSync(const Progress& onProgress = {}, std::stop_token stop = {});

    // The row count from which a run defers its index work (for tests and measurements: 0
    // always defers, a huge value never does).
    void setDeferredIndexingThreshold(std::int64_t rows) { deferredIndexingThreshold_ = rows; }
    // How long a run that wrote without the bulk-copy lock (another copy held it) waits for it
    // at its end, to build the indexes it could not (for tests: a short wait).
    void setBulkCopyLockWait(std::chrono::milliseconds wait) { bulkCopyLockWait_ = wait; }
    // The rows a batch reads and writes (for tests: a small history in a few batches takes every
    // path a large one takes, at a fraction of the time).
    void setBatchSize(int rows) { batchSize_ = rows; }
    // Called on the run's thread after each read from the Messages database (a batch of messages
    // to copy, or to move into their chats) and before what it read is written (for tests: they
    // hold a run there).
    void setAfterBatchRead(std::function<void()> hook) { afterBatchRead_ = std::move(hook); }

    // The messages the current or latest run has committed (copied, or moved into their
    // chats), with their cursor: what a run that was stopped or failed leaves in place (a stop
    // while the deferred indexes are built comes after every row was committed). Read on the thread
    // that runs the synchronisation.
    std::int64_t messagesCommitted() const { return messagesCommitted_; }

    std::int64_t messageCount();
    // Whether the shadow database's full-text index is still to be built (see
    // ShadowDB::fullTextIndexPending); true when there is no shadow database yet. Any thread.
    bool fullTextIndexPending();
    // The messages in the shadow database after this instance's last successful run, as the run
    // kept the count (no scan of the table); 0 before any.
    std::int64_t messageCountAfterSync() const { return lastMessageCount_; }
    // Participants of each distinct chat id, sorted by handle then handle id; empty ids and the
    // placeholder chat "unknown" (any case) are left out.
    std::map<std::string, std::vector<ChatParticipant>> fetchChatParticipants(
        const std::vector<std::string>& chatIds);

    // Read wrappers: each opens the shadow database read-only for the one call and throws its
    // ShadowDB::Error unchanged. `now` is the current time in whole Unix seconds.
    std::vector<SearchResult> search(std::string_view query, int limit);
    std::vector<AwaitingReply> awaitingReplies(const std::filesystem::path& contactsDBPath,
                                               int withinDays, int limit);
    std::vector<SourceMessage> fetchMessages(const std::vector<std::string>& guids,
                                             const std::filesystem::path& contactsDBPath,
                                             int limit);
    std::vector<SourceMessage> recentMessages(int withinDays, int limit,
                                              const std::filesystem::path& contactsDBPath);
    std::vector<std::string> sentMessages(std::string_view recipientHandle,
                                          const std::optional<MessageCursor>& before, int limit);
    std::vector<std::string> recentSentSample(std::string_view recipientHandle,
                                              const std::optional<MessageCursor>& before,
                                              int limit);
    std::vector<ThreadMessage> recentThread(std::string_view chatId,
                                            const std::optional<MessageCursor>& before, int limit);

  private:
    // After a bulk copy failed (`failure`): logs why, then builds the indexes it left out,
    // ended by a stop (they are then left to the next open).
    void rebuildAfterFailedCopy(ShadowDB& shadow, const std::exception_ptr& failure,
                                const std::stop_token& stop);
    void copyBatches(ChatDBReader& reader, ShadowDB& shadow, ShadowDB::SyncWatermark& cursor,
                     std::int64_t total, std::int64_t& written, std::int64_t& processed,
                     const std::stop_token& stop,
                     const std::function<void(std::int64_t, std::int64_t)>& report,
                     int batchesPerTransaction);
    // Writes again, in their chats, the stored messages that had no chat when they were copied
    // and have one now; returns how many. Stops between batches.
    std::int64_t moveChatlessMessagesIntoTheirChats(ChatDBReader& reader, ShadowDB& shadow,
                                                    const LateJoinMovePass& pass);
    // The move by join rows: those after the cursor up to the join row `upToJoin`, and those
    // read before their chat was there.
    std::int64_t moveByNewJoins(ChatDBReader& reader, ShadowDB& shadow,
                                ShadowDB::JoinCursor joinCursor, std::int64_t upToJoin,
                                std::int64_t lastChatRowid, const LateJoinMovePass& pass);
    // The move by stored message: every message without a chat is looked up by guid.
    std::int64_t moveByStoredGuids(ChatDBReader& reader, ShadowDB& shadow,
                                   const LateJoinMovePass& pass);

    std::filesystem::path chatDBPath_;
    std::filesystem::path shadowDBPath_;
    std::int64_t deferredIndexingThreshold_ = defaultDeferredIndexingThreshold;
    int batchSize_ = defaultBatchSize;
    std::chrono::milliseconds bulkCopyLockWait_ = defaultBulkCopyLockWait;
    std::function<void()> afterBatchRead_;
    std::int64_t lastMessageCount_ = 0;
    std::int64_t messagesCommitted_ = 0;
};

}  // namespace vask
