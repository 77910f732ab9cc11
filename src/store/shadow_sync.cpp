#include "store/shadow_sync.h"

#include <algorithm>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_set>

#include "platform/logger.h"
#include "platform/text.h"
#include "store/chat_db_reader.h"
#include "store/messages_time.h"
#include "store/shadow_db.h"

namespace vask {
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

    // The Messages database first: one that cannot be read leaves no shadow database behind.
    ChatDBReader reader(chatDBPath_);
    const auto participants = reader.fetchChatParticipants();
    ShadowDB shadow(shadowDBPath_, ShadowDB::OpenMode::readWrite);
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
    const bool deferIndexes = total >= deferredIndexingThreshold_ &&
                              total >= shadow.syncedMessageCount() &&
                              shadow.suspendIndexMaintenance();
    report(0, total);

    // Counting the whole table reads all of it: after every batch that would make a first
    // synchronisation quadratic, and even once per run it costs a scan of the history for every
    // message that arrives. The count is kept with the cursor instead, in the same transaction as
    // each batch's rows, so the two never part (a bulk copy, which rewrites the indexes anyway,
    // takes it afresh once at its end).
    std::int64_t written = 0;
    std::int64_t processed = 0;
    try {
        copyBatches(reader, shadow, cursor, total, written, processed, stop, report,
                    deferIndexes ? bulkBatchesPerTransaction : 1);
    } catch (...) {
        // A stopped run is leaving (the application quits): rebuilding now would hold that up
        // for seconds, and the next open rebuilds instead.
        if (deferIndexes && !stop.stop_requested()) {
            // Leave the database searchable if possible; if not, the next open repairs it.
            try {
                shadow.resumeIndexMaintenance();
            } catch (const std::exception& error) {
                logger().error(std::string("Rebuilding the indexes after a failed run failed: ") +
                               error.what());
            }
        }
        throw;
    }
    if (deferIndexes) {
        // Seconds for a large history: a stop leaves the rebuild to the next open.
        logger().info("Building the indexes deferred by the bulk copy");
        stoppable(stop, [&] { shadow.resumeIndexMaintenance(stop); });
        shadow.updateSyncState(cursor.timestamp, cursor.rowid, shadow.messageCount());
    }
    if (stop.stop_requested()) {
        throw ShadowSyncError(ShadowSyncError::Case::cancelled);
    }
    // After the copy: a batch may just have copied a message whose join row has come since.
    written += moveChatlessMessagesIntoTheirChats(reader, shadow, cursor);
    messagesCommitted_ = written;
    lastMessageCount_ = shadow.syncedMessageCount();
    // Only a run that read the Messages database to the end replaces the participants: a
    // damaged database must not empty them.
    shadow.replaceChatParticipants(participants);
    report(total, total);
    return written;
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
        if (stop.stop_requested()) {
            throw ShadowSyncError(ShadowSyncError::Case::cancelled);
        }
        auto batch = reader.fetchMessages(cursor.timestamp, cursor.rowid, batchSize);
        if (batch.rawRowCount == 0) {
            return false;
        }
        shadow.inWriteTransaction([&] {
            // Read inside the transaction: a run that overlaps this one adds to the count it
            // left, never to a stale one.
            std::int64_t messageCount = shadow.syncedMessageCount();
            if (!batch.messages.empty()) {
                messageCount += shadow.insertBatchCounting(batch.messages).addedToCount;
            }
            shadow.updateSyncState(batch.lastRawTimestamp, batch.lastRawRowid, messageCount);
        });
        cursor = {batch.lastRawTimestamp, batch.lastRawRowid};
        written += messagesIn(batch.messages);
        processed += batch.rawRowCount;
        report(std::min(total, processed), total);
        return batch.rawRowCount >= batchSize;
    };
    for (bool more = true; more;) {
        if (batchesPerTransaction <= 1) {
            more = copyBatch();
            messagesCommitted_ = written;
            continue;
        }
        // Each commit writes out every index page its rows touched; rows with random guids touch
        // nearly all of the guid index's leaves, so fewer, larger commits write far less. The
        // cursor still moves with each batch, inside the transaction.
        shadow.inWriteTransaction([&] {
            for (int i = 0; i < batchesPerTransaction && more; ++i) {
                more = copyBatch();
            }
        });
        messagesCommitted_ = written;
    }
}

std::int64_t ShadowSync::moveChatlessMessagesIntoTheirChats(ChatDBReader& reader, ShadowDB& shadow,
                                                            const ShadowDB::SyncWatermark& cursor) {
    // The cursor has moved past these messages, so no batch reads them again. They are few (a
    // message's chat join lands a moment after it), and those still without a join are looked
    // up by guid, through the Messages database's own index, at each run.
    const auto chatless = shadow.guidsWithoutChat();
    if (chatless.empty()) {
        return 0;
    }
    const auto found = reader.fetchMessagesInChats(chatless);
    if (found.empty()) {
        return 0;
    }
    shadow.inWriteTransaction([&] {
        // They replace live rows of the same guid, so the count grows only if one of them was
        // deleted in between.
        const auto added = shadow.insertBatchCounting(found).addedToCount;
        shadow.updateSyncState(cursor.timestamp, cursor.rowid, shadow.syncedMessageCount() + added);
    });
    const auto moved = messagesIn(found);
    logger().info("Moved " + std::to_string(moved) + " messages copied before their chat into it");
    return moved;
}

std::int64_t ShadowSync::messageCount() {
    ShadowDB shadow(shadowDBPath_, ShadowDB::OpenMode::readOnly);
    return shadow.messageCount();
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
