#include "store/shadow_sync.h"

#include <algorithm>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "platform/logger.h"
#include "platform/text.h"
#include "store/chat_db_reader.h"
#include "store/messages_time.h"
#include "store/shadow_db.h"

namespace vask {

// One pass of the move of late-joined messages. It writes the join cursor only while the copy's
// cursor stands where it stood when the pass began: another run that copied messages since may
// have copied some without their chat after this pass looked for them, and a cursor past their
// joins would leave them there. The pass then ends, and the next one moves them.
struct LateJoinMovePass {
    ShadowDB::SyncWatermark copied;
    const std::function<void()>& afterRead;
    const std::stop_token& stop;
};

namespace {

std::string describe(ShadowSyncError::Case kind, const std::string& message) {
    switch (kind) {
        case ShadowSyncError::Case::syncFailed:
            return "Sync failed: " + message;
        case ShadowSyncError::Case::chatDBNotFound:
            return "Messages database not found. Copy chat.db from a Mac to where Vask reads it, "
                   "or set CHAT_DB_PATH.";
        case ShadowSyncError::Case::cancelled:
            return "Sync cancelled";
    }
    return message;
}

const Logger& logger() {
    static const Logger instance("ai.vask.VaskCore", "shadow-sync");
    return instance;
}

// Runs `body`; whatever it throws once a stop was requested is the stop's doing.
template <typename Body>
void stoppable(const std::stop_token& stop, Body&& body) {
    try {
        body();
    } catch (const std::exception&) {
        if (stop.stop_requested()) {
            throw ShadowSyncError(ShadowSyncError::Case::cancelled);
        }
        throw;
    }
}

// How many messages `rows` holds: a message in several chats is one row per chat.
std::int64_t messagesIn(const std::vector<ShadowMessage>& rows) {
    std::unordered_set<std::string_view> guids;
    for (const auto& row : rows) {
        guids.insert(row.guid);
    }
    return static_cast<std::int64_t>(guids.size());
}

void throwIfStopped(const std::stop_token& stop) {
    if (stop.stop_requested()) {
        throw ShadowSyncError(ShadowSyncError::Case::cancelled);
    }
}

ShadowDB::JoinCursor joinCursorAt(const ChatDBReader::JoinRow& join, std::int64_t lastChatRowid) {
    return {join.rowid, join.chatId, join.messageId, lastChatRowid};
}

struct Moved {
    std::int64_t messages = 0;
    bool cursorWritten = true;
};

// Moves the messages found into their chats, and writes the join cursor when given, in one
// transaction. Only live messages without a chat move, in place, so the kept count stays as it is.
Moved writeMoved(ShadowDB& shadow, const std::vector<ShadowMessage>& found,
                 const std::optional<ShadowDB::JoinCursor>& joinCursor,
                 const LateJoinMovePass& pass) {
    if (pass.afterRead) {
        pass.afterRead();
    }
    if (found.empty() && !joinCursor) {
        return {};
    }
    Moved moved;
    shadow.inWriteTransaction([&] {
        moved.messages = shadow.moveIntoChats(found, pass.stop);
        if (joinCursor) {
            moved.cursorWritten = shadow.lastSyncWatermark() == pass.copied;
            if (moved.cursorWritten) {
                shadow.updateJoinCursor(*joinCursor);
            }
        }
    });
    if (moved.messages > 0) {
        logger().info("Moved " + std::to_string(moved.messages) +
                      " messages copied before their chat into it");
    }
    if (!moved.cursorWritten) {
        logger().info("Another run copied messages during the move: the join cursor stays");
    }
    return moved;
}

// Of the messages that `joins` put in a chat, those stored without one, read again in their
// chats and written with the join cursor.
Moved moveJoined(ChatDBReader& reader, ShadowDB& shadow,
                 const std::vector<ChatDBReader::JoinRow>& joins,
                 const ShadowDB::JoinCursor& joinCursor, const LateJoinMovePass& pass) {
    std::vector<std::string> guids;
    std::unordered_map<std::string, std::int64_t> rowidOf;
    guids.reserve(joins.size());
    for (const auto& join : joins) {
        if (join.messageGuid && rowidOf.emplace(*join.messageGuid, join.messageId).second) {
            guids.push_back(*join.messageGuid);
        }
    }
    // Read again by row id, which the join gave: the message's own row, through its key, in
    // the order the rows lie (joins may come in any order).
    std::vector<std::int64_t> chatless;
    for (const auto& guid : shadow.guidsWithoutChatAmong(guids, pass.stop)) {
        chatless.push_back(rowidOf.at(guid));
    }
    std::sort(chatless.begin(), chatless.end());
    return writeMoved(shadow,
                      chatless.empty() ? std::vector<ShadowMessage>{}
                                       : reader.fetchMessagesInChats(chatless, pass.stop),
                      joinCursor, pass);
}

// A message copied while the join to its last chat was not there yet stays in an earlier chat,
// where a fresh copy would put it in the last: those in several chats that the joins after
// `afterJoin`, up to `upToJoin`, name, or the joins up to `afterJoin` of chats after the chat
// row `afterChat` (passed before their chat row was there), are read again and moved,
// `batchSize` at a time, before the join cursor passes them (a stop leaves them to the next
// run). Messages stored without a chat are left to the move by join or by guid.
std::int64_t moveIntoLastChats(ChatDBReader& reader, ShadowDB& shadow, std::int64_t afterJoin,
                               std::int64_t upToJoin, std::int64_t afterChat, std::size_t batchSize,
                               const LateJoinMovePass& pass) {
    const auto inSeveral =
        reader.fetchMessagesInSeveralChatsJoinedAfter(afterJoin, upToJoin, afterChat, pass.stop);
    std::int64_t moved = 0;
    for (std::size_t first = 0; first < inSeveral.size(); first += batchSize) {
        throwIfStopped(pass.stop);
        const auto last = std::min(inSeveral.size(), first + batchSize);
        std::vector<std::pair<std::string, std::string>> guidChats;
        std::unordered_map<std::string, std::int64_t> rowidOf;
        for (std::size_t i = first; i < last; ++i) {
            guidChats.emplace_back(inSeveral[i].guid, inSeveral[i].lastChatGuid);
            rowidOf.emplace(inSeveral[i].guid, inSeveral[i].rowid);
        }
        std::vector<std::int64_t> elsewhere;
        for (const auto& guid : shadow.guidsInAnotherChat(guidChats, pass.stop)) {
            elsewhere.push_back(rowidOf.at(guid));
        }
        if (elsewhere.empty()) {
            continue;
        }
        std::sort(elsewhere.begin(), elsewhere.end());
        const auto found = reader.fetchMessagesInChats(elsewhere, pass.stop);
        if (pass.afterRead) {
            pass.afterRead();
        }
        moved += shadow.moveIntoChats(found, pass.stop, ShadowDB::MoveFrom::anyChat);
    }
    if (moved > 0) {
        logger().info("Put " + std::to_string(moved) +
                      " messages in the last chat a later join gave them");
    }
    return moved;
}

}  // namespace

ShadowSyncError::ShadowSyncError(Case kind, std::string message)
    : Error(describe(kind, message)), kind_(kind), message_(std::move(message)) {}

ShadowSync::ShadowSync(const std::optional<std::filesystem::path>& chatDBPath,
                       const std::optional<std::filesystem::path>& shadowDBPath)
    : chatDBPath_(chatDBPath ? *chatDBPath : ChatDBReader::defaultChatDBPath()),
      shadowDBPath_(shadowDBPath ? *shadowDBPath : ShadowDB::defaultShadowDBPath()) {}

std::int64_t ShadowSync::performSync(const Progress& onProgress, std::stop_token stop) {
    std::error_code existsError;
    messagesCommitted_ = 0;
    if (chatDBPath_.empty() || !std::filesystem::exists(chatDBPath_, existsError)) {
        throw ShadowSyncError(ShadowSyncError::Case::chatDBNotFound);
    }
    auto report = [&](std::int64_t processed, std::int64_t total) {
        if (onProgress) {
            onProgress(processed, total);
        }
    };

    // A run that starts after a stop (queued behind other work while the application quit)
    // opens nothing.
    throwIfStopped(stop);
    // The Messages database first: one that cannot be read leaves no shadow database behind.
    ChatDBReader reader(chatDBPath_);
    const auto participants = reader.fetchChatParticipants();
    throwIfStopped(stop);
    ShadowDB shadow(shadowDBPath_, ShadowDB::OpenMode::readWrite);
    // A bulk copy that a quit (or a kill) cut short goes on from its cursor, its indexes still
    // left out, rather than have them rebuilt now and dropped again for the rest.
    const bool resumedBulkCopy = shadow.resumeCutShortBulkCopy();
    if (resumedBulkCopy) {
        logger().info("Going on with a bulk copy that was cut short");
    }
    // A stop during the repair of a cut-short bulk copy leaves it for the next open.
    stoppable(stop, [&] { shadow.createSchemaIfNeeded(stop); });

    auto cursor = shadow.lastSyncWatermark();
    std::int64_t total = 0;
    try {
        total = reader.remainingMessageCount(cursor.timestamp, cursor.rowid);
    } catch (const ChatDBReader::Error& error) {
        logger().error(std::string("Counting the messages to copy failed; progress runs without "
                                   "a total: ") +
                       error.what());
    }
    // Many rows to copy (a first synchronisation above all): the full-text index and the
    // secondary indexes are built once at the end instead of row by row, which scatters each
    // batch's writes over the whole file. Not for a few rows on top of a large history, whose
    // indexes would be rebuilt whole for them.
    const bool deferIndexes = resumedBulkCopy || (total >= deferredIndexingThreshold_ &&
                                                  total >= shadow.syncedMessageCount() &&
                                                  shadow.suspendIndexMaintenance());
    // Appending, a batch's commit writes about the pages its rows fill: each batch commits on
    // its own, so a quit keeps what was copied and waits for one batch at most. With the guid's
    // unique index kept (a database whose guid column carries the constraint), each commit
    // would write nearly every leaf of that index again: batches are grouped.
    const int batchesPerTransaction =
        deferIndexes && shadow.guidIsIndexed() ? bulkBatchesPerTransaction : 1;
    report(0, total);

    // Counting the whole table reads all of it: after every batch that would make a first
    // synchronisation quadratic, and even once per run it costs a scan of the history for every
    // message that arrives. The count is kept with the cursor instead, in the same transaction as
    // each batch's rows, so the two never part (a bulk copy, which rewrites the indexes anyway,
    // takes it afresh once at its end).
    std::int64_t written = 0;
    std::int64_t processed = 0;
    try {
        stoppable(stop, [&] {
            copyBatches(reader, shadow, cursor, total, written, processed, stop, report,
                        batchesPerTransaction);
        });
    } catch (...) {
        // A stopped run is leaving (the application quits): rebuilding now would hold that up
        // for seconds, and the next open rebuilds instead.
        if (deferIndexes && !stop.stop_requested()) {
            rebuildAfterFailedCopy(shadow, std::current_exception(), stop);
        }
        throw;
    }
    if (deferIndexes) {
        // Seconds for a large history: a stop leaves the rebuild to the next open.
        logger().info("Building the indexes deferred by the bulk copy");
        // It counts the messages afresh, in the same transaction.
        stoppable(stop, [&] { shadow.resumeIndexMaintenance(stop); });
    }
    // A run that could not take the bulk-copy lock wrote beside whoever holds it, into a table
    // whose full-text triggers and indexes may be left out: its rows are not searchable, so the
    // run is not done until they are whole (it waits for the lock and builds them, or fails and
    // leaves them to the next run).
    if (!shadow.indexesAreWhole()) {
        logger().info("Waiting for the bulk-copy lock to build the indexes left out");
        bool whole = false;
        stoppable(stop, [&] { whole = shadow.completeIndexes(stop, bulkCopyLockWait_); });
        throwIfStopped(stop);
        if (!whole) {
            throw ShadowSyncError(ShadowSyncError::Case::syncFailed,
                                  "the full-text index and the message indexes are left to "
                                  "another copy, which holds " +
                                      shadowDBPath_.string() + "-bulk");
        }
    }
    // After the copy: a batch may just have copied a message whose join row has come since.
    // A stop ends the batch in hand too: it rolls back, and the next run moves it. Messages
    // spread over the history touch a page of each index apiece, and the statement that moves a
    // batch keeps every page it changes until it ends: in files, not in memory.
    stoppable(stop, [&] {
        const LateJoinMovePass pass{shadow.lastSyncWatermark(), afterBatchRead_, stop};
        shadow.withFileTemporaryStore(
            [&] { written += moveChatlessMessagesIntoTheirChats(reader, shadow, pass); });
    });
    messagesCommitted_ = written;
    lastMessageCount_ = shadow.syncedMessageCount();
    // Only a run that read the Messages database to the end replaces the participants: a
    // damaged database must not empty them.
    shadow.replaceChatParticipants(participants);
    // The run lets go of the shadow database before it reports its end, the closing build's
    // connection with the rest: a question that waited for the index may start the helper at
    // that report, and closing the last connection checkpoints the log (all of a closing build's
    // pages, when a reader held them) under an exclusive lock that would keep it out.
    shadow.close();
    report(total, total);
    return written;
}

void ShadowSync::rebuildAfterFailedCopy(ShadowDB& shadow, const std::exception_ptr& failure,
                                        const std::stop_token& stop) {
    // Why the copy failed is told before the rebuild, which may run for seconds.
    std::string reason = "unknown error";
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        reason = error.what();
    } catch (...) {
    }
    logger().error("The copy failed, the indexes it left out are built now: " + reason);
    // Leave the database searchable if possible; if not, or when a stop ends the rebuild (the
    // application quits: it must not wait for it), the next open repairs it.
    try {
        shadow.resumeIndexMaintenance(stop);
    } catch (const std::exception& error) {
        if (stop.stop_requested()) {
            logger().info(
                "A stop ended the rebuild after the failed copy; the next run builds "
                "the indexes");
            return;
        }
        logger().error(std::string("Rebuilding the indexes after a failed run failed: ") +
                       error.what());
    }
}

void ShadowSync::copyBatches(ChatDBReader& reader, ShadowDB& shadow,
                             ShadowDB::SyncWatermark& cursor, std::int64_t total,
                             std::int64_t& written, std::int64_t& processed,
                             const std::stop_token& stop,
                             const std::function<void(std::int64_t, std::int64_t)>& report,
                             int batchesPerTransaction) {
    // One batch: read, then write it with the cursor and the count in one transaction, report.
    // False after the last.
    auto copyBatch = [&] {
        throwIfStopped(stop);
        // What another run may change between this run's read and its write: the copy's
        // cursor, and the join cursor (a move that passed the joins of messages this batch read
        // without a chat, before they were stored, would never see them again).
        const auto joinsSeen = shadow.joinCursor();
        // The stop is looked at inside the batch too, row by row as it is read and written, the
        // running statement interrupted: a quit waits for no batch, and a batch it stopped is
        // rolled back whole, for the next run to copy.
        auto batch = reader.fetchMessages(cursor.timestamp, cursor.rowid, batchSize_, stop);
        if (afterBatchRead_) {
            afterBatchRead_();
        }
        if (batch.rawRowCount == 0) {
            return false;
        }
        // A quit does not wait for the write of a batch it stopped.
        throwIfStopped(stop);
        bool stale = false;
        shadow.inWriteTransaction([&] {
            const auto stored = shadow.lastSyncWatermark();
            if (stored != cursor || shadow.joinCursor() != joinsSeen) {
                // Another run wrote in between: this batch is read again from where it left
                // the copy, so that nothing read before its write replaces what it wrote.
                stale = true;
                cursor = stored;
                return;
            }
            // Read inside the transaction: a run that overlaps this one adds to the count it
            // left, never to a stale one.
            std::int64_t messageCount = shadow.syncedMessageCount();
            if (!batch.messages.empty()) {
                messageCount += shadow.insertBatchCounting(batch.messages, stop).addedToCount;
            }
            shadow.updateSyncState(batch.lastRawTimestamp, batch.lastRawRowid, messageCount);
        });
        if (stale) {
            logger().info("A batch read before another run's write is read again");
            return true;
        }
        cursor = {batch.lastRawTimestamp, batch.lastRawRowid};
        written += messagesIn(batch.messages);
        processed += batch.rawRowCount;
        report(std::min(total, processed), total);
        return batch.rawRowCount >= batchSize_;
    };
    for (bool more = true; more;) {
        if (batchesPerTransaction <= 1) {
            more = copyBatch();
            messagesCommitted_ = written;
            continue;
        }
        // Each commit writes out every index page its rows touched; rows with random guids touch
        // nearly all of the guid index's leaves, so fewer, larger commits write far less. The
        // cursor still moves with each batch, inside the transaction. A stop that comes before
        // the commit rolls the group back whole, for the next run to copy: a quit does not wait
        // for the commit and its checkpoint.
        shadow.inWriteTransaction(
            [&] {
                for (int i = 0; i < batchesPerTransaction && more; ++i) {
                    more = copyBatch();
                }
            },
            stop);
        messagesCommitted_ = written;
    }
}

std::int64_t ShadowSync::moveChatlessMessagesIntoTheirChats(ChatDBReader& reader, ShadowDB& shadow,
                                                            const LateJoinMovePass& pass) {
    // The copy's cursor has moved past these messages, so no batch reads them again; the join
    // rows that put them in a chat come later. Both ends are read before anything is moved, and
    // no read goes past them: what arrives meanwhile lies after them, for the next run. (A join
    // read past the end would be passed without its message's other chats looked at.)
    const auto lastJoin = reader.lastJoin(pass.stop);
    const ShadowDB::JoinCursor end = lastJoin ? joinCursorAt(*lastJoin, 0) : ShadowDB::JoinCursor{};
    const auto lastChatRowid = reader.lastChatRowid(pass.stop);
    const auto stored = shadow.joinCursor();
    // The join table's rows are followed by row id, which only holds while the row the cursor
    // stopped at is still there as it was. Otherwise (no cursor yet, or the table was renumbered
    // by a VACUUM, or replaced, or its last rows deleted so that new ones take their ids), every
    // message in several chats is looked at, every stored message without a chat is looked up,
    // once, and the cursor starts again from the end.
    bool followable = false;
    if (stored && stored->rowid <= end.rowid) {
        const auto at = stored->rowid == 0 ? std::nullopt : reader.joinAt(stored->rowid, pass.stop);
        followable = stored->rowid == 0 ||
                     (at && at->chatId == stored->chatId && at->messageId == stored->messageId);
    }
    std::int64_t moved = 0;
    if (followable) {
        const std::int64_t newJoins = end.rowid - stored->rowid;
        if (newJoins == 0 && lastChatRowid <= stored->lastChatRowid) {
            return 0;
        }
        moved = moveIntoLastChats(reader, shadow, stored->rowid, end.rowid, stored->lastChatRowid,
                                  static_cast<std::size_t>(batchSize_), pass);
        messagesCommitted_ += moved;
        // The cheaper way: by join rows when fewer arrived than messages wait without a chat
        // (a first run, say), by guid otherwise. Counting the waiting ones stops there.
        if (shadow.countWithoutChat(newJoins + 1, pass.stop) > newJoins) {
            return moved + moveByNewJoins(reader, shadow, *stored, end.rowid, lastChatRowid, pass);
        }
    } else {
        moved = moveIntoLastChats(reader, shadow, 0, end.rowid, lastChatRowid,
                                  static_cast<std::size_t>(batchSize_), pass);
        messagesCommitted_ += moved;
    }
    moved += moveByStoredGuids(reader, shadow, pass);
    auto moveEnd = end;
    moveEnd.lastChatRowid = lastChatRowid;
    writeMoved(shadow, {}, moveEnd, pass);
    return moved;
}

std::int64_t ShadowSync::moveByNewJoins(ChatDBReader& reader, ShadowDB& shadow,
                                        ShadowDB::JoinCursor joinCursor, std::int64_t upToJoin,
                                        std::int64_t lastChatRowid, const LateJoinMovePass& pass) {
    std::int64_t moved = 0;
    bool more = true;
    // Joins already passed whose chat row was not there yet: the chat has come since.
    if (lastChatRowid > joinCursor.lastChatRowid) {
        const auto joins =
            reader.fetchJoinsOfChatsAfter(joinCursor.lastChatRowid, joinCursor.rowid, pass.stop);
        joinCursor.lastChatRowid = lastChatRowid;
        const auto batch = moveJoined(reader, shadow, joins, joinCursor, pass);
        moved += batch.messages;
        messagesCommitted_ += batch.messages;
        more = batch.cursorWritten;
    }
    while (more) {
        throwIfStopped(pass.stop);
        const auto joins = reader.fetchJoins(joinCursor.rowid, upToJoin, batchSize_, pass.stop);
        if (joins.empty()) {
            break;
        }
        joinCursor = joinCursorAt(joins.back(), joinCursor.lastChatRowid);
        const auto batch = moveJoined(reader, shadow, joins, joinCursor, pass);
        moved += batch.messages;
        messagesCommitted_ += batch.messages;
        more = batch.cursorWritten && joins.size() >= static_cast<std::size_t>(batchSize_);
    }
    return moved;
}

std::int64_t ShadowSync::moveByStoredGuids(ChatDBReader& reader, ShadowDB& shadow,
                                           const LateJoinMovePass& pass) {
    std::int64_t moved = 0;
    // Pages in row order: a message that moved keeps its row, now with a chat, and one that
    // did not is not met again.
    std::int64_t after = 0;
    for (bool more = true; more;) {
        throwIfStopped(pass.stop);
        auto page = shadow.guidsWithoutChat(after, batchSize_, pass.stop);
        if (page.guids.empty()) {
            break;
        }
        after = page.lastRowid;
        const auto batch = writeMoved(shadow, reader.fetchMessagesInChats(page.guids, pass.stop),
                                      std::nullopt, pass);
        moved += batch.messages;
        messagesCommitted_ += batch.messages;
        more = page.guids.size() >= static_cast<std::size_t>(batchSize_);
    }
    return moved;
}

std::int64_t ShadowSync::messageCount() {
    ShadowDB shadow(shadowDBPath_, ShadowDB::OpenMode::readOnly);
    return shadow.messageCount();
}

bool ShadowSync::fullTextIndexPending() {
    // No database yet: nothing is indexed (a first copy is about to make it).
    std::error_code missing;
    if (!std::filesystem::exists(shadowDBPath_, missing)) {
        return true;
    }
    ShadowDB shadow(shadowDBPath_, ShadowDB::OpenMode::readOnly);
    return shadow.fullTextIndexPending();
}

std::map<std::string, std::vector<ChatParticipant>> ShadowSync::fetchChatParticipants(
    const std::vector<std::string>& chatIds) {
    const std::set<std::string> distinct(chatIds.begin(), chatIds.end());
    ShadowDB shadow(shadowDBPath_, ShadowDB::OpenMode::readOnly);
    std::map<std::string, std::vector<ChatParticipant>> byChat;
    for (const auto& chatId : distinct) {
        if (chatId.empty() || text::toLower(chatId) == "unknown") {
            continue;
        }
        auto participants = shadow.fetchChatParticipants(chatId);
        std::sort(participants.begin(), participants.end(), [](const auto& a, const auto& b) {
            return a.handle != b.handle ? a.handle < b.handle : a.handleId < b.handleId;
        });
        byChat.emplace(chatId, std::move(participants));
    }
    return byChat;
}

std::vector<SearchResult> ShadowSync::search(std::string_view query, int limit) {
    ShadowDB shadow(shadowDBPath_, ShadowDB::OpenMode::readOnly);
    return shadow.search(query, limit);
}

std::vector<AwaitingReply> ShadowSync::awaitingReplies(const std::filesystem::path& contactsDBPath,
                                                       int withinDays, int limit) {
    ShadowDB shadow(shadowDBPath_, ShadowDB::OpenMode::readOnly);
    return shadow.awaitingReplies(contactsDBPath, withinDays, limit, nowUnixSeconds());
}

std::vector<SourceMessage> ShadowSync::fetchMessages(const std::vector<std::string>& guids,
                                                     const std::filesystem::path& contactsDBPath,
                                                     int limit) {
    if (guids.empty()) {
        return {};
    }
    ShadowDB shadow(shadowDBPath_, ShadowDB::OpenMode::readOnly);
    return shadow.fetchMessages(guids, contactsDBPath, limit);
}

std::vector<SourceMessage> ShadowSync::recentMessages(int withinDays, int limit,
                                                      const std::filesystem::path& contactsDBPath) {
    ShadowDB shadow(shadowDBPath_, ShadowDB::OpenMode::readOnly);
    return shadow.recentMessages(withinDays, limit, contactsDBPath, nowUnixSeconds());
}

std::vector<std::string> ShadowSync::sentMessages(std::string_view recipientHandle,
                                                  const std::optional<MessageCursor>& before,
                                                  int limit) {
    ShadowDB shadow(shadowDBPath_, ShadowDB::OpenMode::readOnly);
    return shadow.sentMessages(recipientHandle, before, limit);
}

std::vector<std::string> ShadowSync::recentSentSample(std::string_view recipientHandle,
                                                      const std::optional<MessageCursor>& before,
                                                      int limit) {
    ShadowDB shadow(shadowDBPath_, ShadowDB::OpenMode::readOnly);
    return shadow.recentSentSample(recipientHandle, before, limit);
}

std::vector<ThreadMessage> ShadowSync::recentThread(std::string_view chatId,
                                                    const std::optional<MessageCursor>& before,
                                                    int limit) {
    ShadowDB shadow(shadowDBPath_, ShadowDB::OpenMode::readOnly);
    return shadow.recentThread(chatId, before, limit);
}

}  // namespace vask
