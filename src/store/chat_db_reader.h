#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/error.h"
#include "store/chat_participant.h"
#include "store/shadow_message.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"

namespace vask {

// The only reader of the Messages database (chat.db), opened read-only. Hands out batches of
// messages after a cursor, already mapped into shadow rows with decoded bodies and normalised
// handles. Used by one task at a time; never writes.
class ChatDBReader {
  public:
    class Error : public vask::Error {
      public:
        enum class Case { failedToOpen, queryFailed, databaseNotFound };

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

    // One batch. The last raw values belong to the last row read, kept or skipped, so that the
    // caller's cursor moves past rows that give no message; they are the cursor passed in when
    // nothing was read.
    struct FetchResult {
        std::vector<ShadowMessage> messages;
        std::int64_t rawRowCount = 0;
        std::int64_t lastRawTimestamp = 0;
        std::int64_t lastRawRowid = 0;
    };

    // How long a read waits for the Messages app to release a lock before it fails.
    static constexpr int busyTimeoutMilliseconds = 1000;

    // $CHAT_DB_PATH when present (even empty), else ~/Library/Messages/chat.db.
    static std::filesystem::path defaultChatDBPath();
    static std::filesystem::path defaultChatDBPath(const Environment& env);

    // Throws databaseNotFound when no file is there, failedToOpen when SQLite refuses it.
    explicit ChatDBReader(const std::optional<std::filesystem::path>& path = std::nullopt);

    const std::filesystem::path& path() const { return path_; }

    // At most `limit` rows after the cursor, in ROWID order. The Messages database only ever
    // grows ROWIDs, while a row's date may lie before rows already copied (history that arrives
    // late from another device), so the row id alone decides what comes after the cursor; the
    // date is carried along as the cursor's timestamp. A message in several chats gives one row
    // per chat, in join order (see JoinOrder); a full batch also carries the rest of its last
    // message's chats (so it may hold more than `limit` rows), and the cursor never stops inside
    // a message. A stop request ends the read with queryFailed ("interrupted"), the running
    // statement at once.
    FetchResult fetchMessages(std::int64_t afterTimestamp, std::int64_t afterRowid, int limit,
                              const std::stop_token& stop = {});
    // The messages among `guids` that belong to a chat now, read as fetchMessages() reads them
    // (one row per chat, in join order); the others are left out. The Messages app may commit a
    // message's chat join after the message itself, so a batch can meet a message that has no
    // chat yet: reading it again once its join is there puts it in its chat.
    // A stop request ends the read with queryFailed ("interrupted"), the running statement at
    // once.
    std::vector<ShadowMessage> fetchMessagesInChats(const std::vector<std::string>& guids,
                                                    const std::stop_token& stop = {});
    // The same for messages named by row id.
    std::vector<ShadowMessage> fetchMessagesInChats(const std::vector<std::int64_t>& rowids,
                                                    const std::stop_token& stop = {});
    // One row of chat_message_join, with the guid of its message (nothing when that row is not
    // there).
    struct JoinRow {
        std::int64_t rowid = 0;
        std::int64_t chatId = 0;
        std::int64_t messageId = 0;
        std::optional<std::string> messageGuid;
    };
    // The reads below serve the move of messages copied before their last join came. Each ends
    // at a stop request with queryFailed ("interrupted"), the running statement at once.

    // At most `limit` join rows after the row `afterRowid`, up to the row `upToRowid`, in the
    // table's own row order: the joins that arrived since a caller last looked, as long as the
    // table keeps its row ids.
    std::vector<JoinRow> fetchJoins(std::int64_t afterRowid, std::int64_t upToRowid, int limit,
                                    const std::stop_token& stop = {});
    // The join rows of chats after the chat row `afterChatRowid`, up to the join row
    // `upToRowid`: joins read before their chat row was there.
    std::vector<JoinRow> fetchJoinsOfChatsAfter(std::int64_t afterChatRowid, std::int64_t upToRowid,
                                                const std::stop_token& stop = {});
    // A message in more than one chat, with the guid of its last chat (that of its join with the
    // highest row id among those whose chat row is there).
    struct MessageInChats {
        std::int64_t rowid = 0;
        std::string guid;
        std::string lastChatGuid;
    };
    // The messages in more than one chat that a join row after `afterRowid`, up to `upToRowid`,
    // names, or a join row up to `afterRowid` of a chat after the chat row `afterChatRowid`, by
    // row id: a join that arrived (or whose chat row arrived) after its message was copied into
    // another chat may name a later one.
    std::vector<MessageInChats> fetchMessagesInSeveralChatsJoinedAfter(
        std::int64_t afterRowid, std::int64_t upToRowid, std::int64_t afterChatRowid,
        const std::stop_token& stop = {});
    // The join row `rowid`, and the last one; nothing when there is no such row.
    std::optional<JoinRow> joinAt(std::int64_t rowid, const std::stop_token& stop = {});
    std::optional<JoinRow> lastJoin(const std::stop_token& stop = {});
    // The highest chat row id; 0 without chats.
    std::int64_t lastChatRowid(const std::stop_token& stop = {});
    std::int64_t totalMessageCount();
    std::int64_t remainingMessageCount(std::int64_t afterTimestamp, std::int64_t afterRowid);
    // The earliest non-zero date; nothing when no message has one.
    std::optional<Clock::WallTime> oldestMessageDate();
    // Every (chat, handle) pair, by chat guid then handle row id; handles as stored.
    std::vector<ChatParticipant> fetchChatParticipants();

    // The text of a hex-encoded attributedBody; nothing for a body without text.
    static std::optional<std::string> decodeAttributedBody(std::string_view hexString);
    // The text of an attributedBody: the string the body archives first. A body whose text is only
    // object-replacement characters (U+FFFC, an attachment's place) and whitespace has none.
    // Throws the decoder's error for a body broken before or inside its text.
    static std::optional<std::string> attributedBodyText(std::span<const std::uint8_t> body);
    // Bytes of hexadecimal text: fewer than two characters give no bytes, a pair that is not hex
    // gives nothing, and a trailing odd character is ignored.
    static std::optional<std::vector<std::uint8_t>> dataFromHex(std::string_view hexString);
    // E-mail addresses lower-cased, phone numbers in canonical form, anything else trimmed.
    static std::string normalizeHandle(std::string_view handle);

  private:
    // Where a row of a message in several chats stands among the others: the Messages database
    // puts a message in the chat of its join with the highest row id, so the rows are ordered by
    // join row id, the last one winning; a join whose chat row is not there yet (it names no
    // chat) comes before every join whose chat is.
    struct JoinOrder {
        bool chatThere = false;
        std::int64_t joinRowid = 0;
        auto operator<=>(const JoinOrder&) const = default;
    };

    sqlite3* connection() const { return db_.get(); }
    // Maps one row of the batch statement into `result`, counting it whether or not it gives
    // a message; a message kept adds its join's place to `chatOrder`.
    void appendRow(const SQLiteStatement& statement, FetchResult& result,
                   std::vector<JoinOrder>& chatOrder) const;
    // fetchMessagesInChats() by the values of `column`.
    template <typename Key>
    std::vector<ShadowMessage> fetchMessagesInChatsBy(std::string_view column,
                                                      const std::vector<Key>& keys,
                                                      const std::stop_token& stop);
    // Puts the rows of each message in join order, messages in row id order.
    static void sortIntoChatOrder(std::vector<ShadowMessage>& messages,
                                  const std::vector<JoinOrder>& chatOrder);

    std::filesystem::path path_;
    SQLiteConnection db_;
};

}  // namespace vask
