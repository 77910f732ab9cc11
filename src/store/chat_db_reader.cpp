#include "store/chat_db_reader.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <numeric>
#include <set>

#include "platform/file_io.h"
#include "platform/logger.h"
#include "platform/text.h"
#include "store/messages_time.h"
#include "store/phone_number_normalizer.h"
#include "store/sqlite_statement.h"
#include "typedstream/typedstream_decoder.h"

namespace vask {
namespace {

using Case = ChatDBReader::Error::Case;

std::string describe(Case kind, const std::string& message) {
    switch (kind) {
        case Case::failedToOpen:
            return "Failed to open database: " + message;
        case Case::queryFailed:
            return "Query failed: " + message;
        case Case::databaseNotFound:
            return "chat.db not found";
    }
    return message;
}

constexpr std::string_view batchSelectSQL =
    "SELECT\n"
    "    m.ROWID,\n"
    "    m.guid,\n"
    "    m.text,\n"
    "    m.attributedBody,\n"
    "    m.date,\n"
    "    m.is_from_me,\n"
    "    h.id as sender_id,\n"
    "    c.guid as chat_guid,\n"
    "    c.display_name,\n"
    "    c.style,\n"
    "    cmj.chat_id,\n"
    "    cmj.ROWID\n"
    "FROM message m\n"
    "LEFT JOIN handle h ON m.handle_id = h.ROWID\n"
    "LEFT JOIN chat_message_join cmj ON m.ROWID = cmj.message_id\n"
    "LEFT JOIN chat c ON cmj.chat_id = c.ROWID\n";

// No ORDER BY on the chat: sorting in SQL would read one message past the batch (and fail the
// batch on a broken row that belongs to the next one). The rows of one message are put in chat
// order afterwards.
const std::string& batchSQL() {
    static const std::string sql = std::string(batchSelectSQL) +
                                   "WHERE m.ROWID > ?\n"
                                   "ORDER BY m.ROWID ASC\n"
                                   "LIMIT ?";
    return sql;
}

// Every chat of one message, to finish the message a full batch ended on.
const std::string& messageChatsSQL() {
    static const std::string sql = std::string(batchSelectSQL) + "WHERE m.ROWID = ?";
    return sql;
}

constexpr std::string_view joinSelectSQL =
    "SELECT j.ROWID, j.chat_id, j.message_id, m.guid\n"
    "FROM chat_message_join j\n"
    "LEFT JOIN message m ON m.ROWID = j.message_id\n";

constexpr std::string_view remainingSQL = "SELECT COUNT(*) FROM message WHERE ROWID > ?";

constexpr std::string_view participantsSQL =
    "SELECT\n"
    "    c.guid as chat_guid,\n"
    "    h.ROWID as handle_rowid,\n"
    "    h.id as handle_id,\n"
    "    h.service as service\n"
    "FROM chat_handle_join chj\n"
    "JOIN chat c ON chj.chat_id = c.ROWID\n"
    "JOIN handle h ON chj.handle_id = h.ROWID\n"
    "ORDER BY c.guid ASC, h.ROWID ASC";

constexpr std::int64_t groupChatStyle = 43;
constexpr char32_t objectReplacementCharacter = U'\uFFFC';

const Logger& logger() {
    static const Logger instance("ai.vask.VaskCore", "chat-db-reader");
    return instance;
}

SQLiteStatement prepare(sqlite3* db, std::string_view sql) {
    try {
        return SQLiteStatement(db, sql);
    } catch (const SQLiteSupport::Failure& failure) {
        throw ChatDBReader::Error(Case::queryFailed, failure.message());
    }
}

// A failed step (a lock held by the Messages app, a damaged page) is an error for the caller;
// taking it for the end of the rows would drop the rest of the batch silently.
bool stepRow(SQLiteStatement& statement) {
    try {
        return statement.step();
    } catch (const SQLiteSupport::Failure& failure) {
        throw ChatDBReader::Error(Case::queryFailed, failure.message());
    }
}

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~' || c == '/';
}

// The path as a file: URI path. "?" would start the query and "#" a fragment, and SQLite decodes
// every "%HH", so anything but unreserved characters is escaped.
std::string uriPath(const std::string& path) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(path.size());
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        if (isUnreserved(c)) {
            encoded += ch;
        } else {
            encoded += '%';
            encoded += digits[c >> 4];
            encoded += digits[c & 0x0F];
        }
    }
    return encoded;
}

bool isOnlyAttachmentPlaceholders(std::string_view text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    std::int32_t offset = 0;
    while (offset < length) {
        UChar32 c = 0;
        U8_NEXT(bytes, offset, length, c);
        if (c < 0) {
            return false;
        }
        const auto character = static_cast<char32_t>(c);
        if (character != objectReplacementCharacter && !text::isWhitespaceOrNewline(character)) {
            return false;
        }
    }
    return true;
}

std::optional<std::string> recipientFromChatId(std::string_view chatId) {
    constexpr std::string_view separator = ";-;";
    const auto at = chatId.find(separator);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    const auto handle = chatId.substr(at + separator.size());
    if (handle.empty()) {
        return std::nullopt;
    }
    return ChatDBReader::normalizeHandle(handle);
}

}  // namespace

ChatDBReader::Error::Error(Case kind, std::string message)
    : vask::Error(describe(kind, message)), kind_(kind), message_(std::move(message)) {}

std::filesystem::path ChatDBReader::defaultChatDBPath() {
    return defaultChatDBPath(processEnvironment());
}

std::filesystem::path ChatDBReader::defaultChatDBPath(const Environment& env) {
    if (const auto it = env.find("CHAT_DB_PATH"); it != env.end()) {
        return it->second;
    }
    const auto home = homeDirectory(env).value_or(std::filesystem::path());
    return home / "Library" / "Messages" / "chat.db";
}

ChatDBReader::ChatDBReader(const std::optional<std::filesystem::path>& path)
    : path_(path ? *path : defaultChatDBPath()) {
    std::error_code error;
    if (path_.empty() || !std::filesystem::exists(path_, error)) {
        throw Error(Case::databaseNotFound, "");
    }
    // The user's chosen file: a link to it (into a copied Mac folder, say) is followed, but a
    // FIFO or a device would block the open or be read as garbage.
    try {
        requireRegularFile(path_);
    } catch (const FileError& refused) {
        throw Error(Case::failedToOpen, refused.what());
    }
    const std::string uri = "file:" + uriPath(path_.string()) + "?mode=ro";
    sqlite3* db = nullptr;
    const int rc =
        sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    SQLiteConnection connection(db);
    if (rc != SQLITE_OK) {
        throw Error(Case::failedToOpen, db != nullptr ? sqlite3_errmsg(db) : "Unknown error");
    }
    // The Messages app locks its database now and then while it writes; a read that meets the
    // lock waits a moment for it, as the access probe does, rather than failing the whole run.
    sqlite3_busy_timeout(connection.get(), busyTimeoutMilliseconds);
    // SQLite opens any file lazily: a file that is not a database, or an empty one, would only
    // fail at the first query, as an error about a table. Reading the schema here names the file.
    try {
        SQLiteStatement statement(connection.get(),
                                  "SELECT COUNT(*) FROM sqlite_master "
                                  "WHERE type IN ('table', 'view') AND name = 'message'");
        if (!statement.step() || statement.columnInt64(0) == 0) {
            throw Error(Case::failedToOpen, path_.string() + ": not a Messages database");
        }
    } catch (const SQLiteSupport::Failure& failure) {
        throw Error(Case::failedToOpen, path_.string() + ": " + failure.message());
    }
    db_ = std::move(connection);
}

ChatDBReader::FetchResult ChatDBReader::fetchMessages(std::int64_t afterTimestamp,
                                                      std::int64_t afterRowid, int limit,
                                                      const std::stop_token& stop) {
    // SQLite ignores an interrupt between statements (and one requested before the first step),
    // hence the check before each row.
    const SQLiteStopInterrupt interrupt(connection(), stop);
    const auto throwIfStopped = [&interrupt] { interrupt.throwIfStopped<Error>(); };
    auto statement = prepare(connection(), batchSQL());
    statement.bind(1, afterRowid).bind(2, limit);
    FetchResult result;
    result.lastRawTimestamp = afterTimestamp;
    result.lastRawRowid = afterRowid;
    // The join of each message kept, and the chats already read of the last message.
    std::vector<JoinOrder> chatOrder;
    std::set<std::optional<std::int64_t>> lastMessageChats;
    while ((throwIfStopped(), stepRow(statement))) {
        if (statement.columnInt64(0) != result.lastRawRowid) {
            lastMessageChats.clear();
        }
        lastMessageChats.insert(statement.columnOptionalInt64(10));
        appendRow(statement, result, chatOrder);
    }
    // A message in several chats gives one row per chat, and the one written last replaces the
    // others in the shadow database: the cursor must not stop inside a message, or which chat a
    // message keeps would depend on where the batches end.
    if (result.rawRowCount >= limit) {
        auto rest = prepare(connection(), messageChatsSQL());
        rest.bind(1, result.lastRawRowid);
        while ((throwIfStopped(), stepRow(rest))) {
            if (lastMessageChats.insert(rest.columnOptionalInt64(10)).second) {
                appendRow(rest, result, chatOrder);
            }
        }
    }
    // Rows of one message in join order: the last join wins wherever the batches fall.
    sortIntoChatOrder(result.messages, chatOrder);
    return result;
}

std::vector<ShadowMessage> ChatDBReader::fetchMessagesInChats(
    const std::vector<std::string>& guids, const std::stop_token& stop) {
    return fetchMessagesInChatsBy("m.guid", guids, stop);
}

std::vector<ShadowMessage> ChatDBReader::fetchMessagesInChats(
    const std::vector<std::int64_t>& rowids, const std::stop_token& stop) {
    return fetchMessagesInChatsBy("m.ROWID", rowids, stop);
}

template <typename Key>
std::vector<ShadowMessage> ChatDBReader::fetchMessagesInChatsBy(std::string_view column,
                                                                const std::vector<Key>& keys,
                                                                const std::stop_token& stop) {
    // Well below SQLite's limit on bound values.
    constexpr std::size_t keysPerStatement = 500;
    // SQLite ignores an interrupt between statements, hence the check before each.
    const SQLiteStopInterrupt interrupt(connection(), stop);
    std::vector<ShadowMessage> found;
    for (std::size_t first = 0; first < keys.size(); first += keysPerStatement) {
        interrupt.throwIfStopped<Error>();
        const auto count = std::min(keysPerStatement, keys.size() - first);
        std::string sql =
            std::string(batchSelectSQL) + "WHERE " + std::string(column) + " IN (?";
        for (std::size_t i = 1; i < count; ++i) {
            sql += ", ?";
        }
        // A join whose chat row is not there yet leaves the message without a chat still.
        sql +=
            ")\n"
            "AND EXISTS (SELECT 1 FROM chat_message_join j JOIN chat jc ON jc.ROWID = j.chat_id "
            "WHERE j.message_id = m.ROWID)\n"
            "ORDER BY m.ROWID ASC";
        auto statement = prepare(connection(), sql);
        for (std::size_t i = 0; i < count; ++i) {
            statement.bind(static_cast<int>(i + 1), keys[first + i]);
        }
        FetchResult result;
        std::vector<JoinOrder> chatOrder;
        while ((interrupt.throwIfStopped<Error>(), stepRow(statement))) {
            appendRow(statement, result, chatOrder);
        }
        sortIntoChatOrder(result.messages, chatOrder);
        std::move(result.messages.begin(), result.messages.end(), std::back_inserter(found));
    }
    return found;
}

namespace {

// Reads every row of `statement` under the stop: SQLite forgets an interrupt that comes
// between two statements, hence the look before each row.
template <typename Row>
void readRows(SQLiteStatement& statement, const SQLiteStopInterrupt& interrupt, Row&& row) {
    while ((interrupt.throwIfStopped<ChatDBReader::Error>(), stepRow(statement))) {
        row();
    }
}

std::vector<ChatDBReader::JoinRow> readJoins(SQLiteStatement& statement,
                                             const SQLiteStopInterrupt& interrupt) {
    std::vector<ChatDBReader::JoinRow> joins;
    readRows(statement, interrupt, [&] {
        joins.push_back({statement.columnInt64(0), statement.columnOptionalInt64(1).value_or(0),
                         statement.columnOptionalInt64(2).value_or(0),
                         statement.columnOptionalUtf8Text(3)});
    });
    return joins;
}

// The join rows that `where` picks, under the stop.
std::vector<ChatDBReader::JoinRow> readJoins(sqlite3* db, std::string_view where,
                                             std::initializer_list<std::int64_t> values,
                                             const std::stop_token& stop) {
    const SQLiteStopInterrupt interrupt(db, stop);
    auto statement = prepare(db, std::string(joinSelectSQL) + std::string(where));
    int index = 0;
    for (const auto value : values) {
        statement.bind(++index, value);
    }
    return readJoins(statement, interrupt);
}

}  // namespace

std::vector<ChatDBReader::JoinRow> ChatDBReader::fetchJoins(std::int64_t afterRowid,
                                                            std::int64_t upToRowid, int limit,
                                                            const std::stop_token& stop) {
    return readJoins(connection(), "WHERE j.ROWID > ? AND j.ROWID <= ? ORDER BY j.ROWID LIMIT ?",
                     {afterRowid, upToRowid, std::int64_t{limit}}, stop);
}

std::vector<ChatDBReader::JoinRow> ChatDBReader::fetchJoinsOfChatsAfter(
    std::int64_t afterChatRowid, std::int64_t upToRowid, const std::stop_token& stop) {
    return readJoins(connection(), "WHERE j.chat_id > ? AND j.ROWID <= ? ORDER BY j.ROWID",
                     {afterChatRowid, upToRowid}, stop);
}

std::vector<ChatDBReader::MessageInChats> ChatDBReader::fetchMessagesInSeveralChatsJoinedAfter(
    std::int64_t afterRowid, std::int64_t upToRowid, std::int64_t afterChatRowid,
    const std::stop_token& stop) {
    const SQLiteStopInterrupt interrupt(connection(), stop);
    // The new joins' range by row id, and the joins of chats that arrived since through the
    // chat index; each one's message through the join table's message_id index: a message in
    // one chat only is looked at no further. Its last chat is that of its join with the highest
    // row id among those whose chat row is there.
    auto statement =
        prepare(connection(),
                "SELECT m.ROWID, m.guid, (SELECT c.guid FROM chat_message_join o "
                "JOIN chat c ON c.ROWID = o.chat_id WHERE o.message_id = m.ROWID "
                "ORDER BY o.ROWID DESC LIMIT 1)\n"
                "FROM message m WHERE m.ROWID IN (SELECT j.message_id FROM chat_message_join j "
                "WHERE j.ROWID > ?1 AND j.ROWID <= ?2 AND EXISTS (SELECT 1 FROM "
                "chat_message_join o WHERE o.message_id = j.message_id AND o.chat_id <> "
                "j.chat_id)\n"
                "UNION SELECT j.message_id FROM chat_message_join j WHERE j.chat_id > ?3 AND "
                "j.ROWID <= ?1 AND EXISTS (SELECT 1 FROM chat_message_join o WHERE o.message_id "
                "= j.message_id AND o.chat_id <> j.chat_id))\n"
                "ORDER BY m.ROWID");
    statement.bind(1, afterRowid).bind(2, upToRowid).bind(3, afterChatRowid);
    std::vector<MessageInChats> messages;
    readRows(statement, interrupt, [&] {
        auto guid = statement.columnOptionalUtf8Text(1);
        auto lastChatGuid = statement.columnOptionalUtf8Text(2);
        if (guid && lastChatGuid) {
            messages.push_back(
                {statement.columnInt64(0), std::move(*guid), std::move(*lastChatGuid)});
        }
    });
    return messages;
}

std::optional<ChatDBReader::JoinRow> ChatDBReader::joinAt(std::int64_t rowid,
                                                          const std::stop_token& stop) {
    auto joins = readJoins(connection(), "WHERE j.ROWID = ?", {rowid}, stop);
    return joins.empty() ? std::nullopt : std::optional(std::move(joins.front()));
}

std::optional<ChatDBReader::JoinRow> ChatDBReader::lastJoin(const std::stop_token& stop) {
    auto joins = readJoins(connection(), "ORDER BY j.ROWID DESC LIMIT 1", {}, stop);
    return joins.empty() ? std::nullopt : std::optional(std::move(joins.front()));
}

std::int64_t ChatDBReader::lastChatRowid(const std::stop_token& stop) {
    const SQLiteStopInterrupt interrupt(connection(), stop);
    auto statement = prepare(connection(), "SELECT MAX(ROWID) FROM chat");
    std::int64_t last = 0;
    readRows(statement, interrupt, [&] { last = statement.columnOptionalInt64(0).value_or(0); });
    return last;
}

void ChatDBReader::sortIntoChatOrder(std::vector<ShadowMessage>& messages,
                                     const std::vector<JoinOrder>& chatOrder) {
    std::vector<std::size_t> order(messages.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const auto& x = messages[a];
        const auto& y = messages[b];
        return x.sourceRowid != y.sourceRowid ? x.sourceRowid < y.sourceRowid
                                              : chatOrder[a] < chatOrder[b];
    });
    std::vector<ShadowMessage> sorted;
    sorted.reserve(order.size());
    for (const auto index : order) {
        sorted.push_back(std::move(messages[index]));
    }
    messages = std::move(sorted);
}

void ChatDBReader::appendRow(const SQLiteStatement& statement, FetchResult& result,
                             std::vector<JoinOrder>& chatOrder) const {
    ++result.rawRowCount;
    result.lastRawRowid = statement.columnInt64(0);
    result.lastRawTimestamp = statement.columnInt64(4);

    auto guid = statement.columnOptionalUtf8Text(1);
    if (!guid) {
        return;
    }
    std::string text = statement.columnUtf8Text(2);
    // An attachment sent without words keeps its place character in the text column too.
    if (isOnlyAttachmentPlaceholders(text)) {
        text.clear();
    }
    if (text.empty() && !statement.columnIsNull(3)) {
        try {
            // The body's bytes in place: no hexadecimal round trip for every row of a batch.
            const auto* bytes =
                static_cast<const std::uint8_t*>(sqlite3_column_blob(statement.get(), 3));
            const auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement.get(), 3));
            if (bytes != nullptr) {
                text = attributedBodyText({bytes, size}).value_or(std::string());
            }
        } catch (const typedstream::TypedStreamDecoderError& error) {
            logger().debug("Undecodable attributedBody of message " +
                           std::to_string(result.lastRawRowid) + ": " + error.what());
        }
    }
    if (text.empty()) {
        return;
    }

    ShadowMessage message;
    message.guid = std::move(*guid);
    message.text = std::move(text);
    message.timestamp = result.lastRawTimestamp;
    message.isFromMe = statement.columnInt64(5) != 0;
    const auto senderHandle = statement.columnOptionalUtf8Text(6);
    if (message.isFromMe) {
        message.sender = "me";
    } else {
        message.sender = senderHandle ? normalizeHandle(*senderHandle) : "unknown";
    }
    message.chatId =
        statement.columnOptionalUtf8Text(7).value_or(std::string(ShadowMessage::unknownChatId));
    message.chatName = statement.columnOptionalUtf8Text(8);
    const bool isGroup = statement.columnInt64(9) == groupChatStyle;
    message.isGroup = isGroup;
    if (message.isFromMe && !isGroup) {
        message.recipientHandle = senderHandle ? std::optional(normalizeHandle(*senderHandle))
                                               : recipientFromChatId(message.chatId);
    }
    message.sourceRowid = result.lastRawRowid;
    result.messages.push_back(std::move(message));
    // A join whose chat row is not there yet ranks below every join whose chat is.
    chatOrder.push_back(
        {!statement.columnIsNull(7),
         statement.columnOptionalInt64(11).value_or(std::numeric_limits<std::int64_t>::min())});
}

std::int64_t ChatDBReader::totalMessageCount() {
    auto statement = prepare(connection(), "SELECT COUNT(*) FROM message");
    return stepRow(statement) ? statement.columnInt64(0) : 0;
}

std::int64_t ChatDBReader::remainingMessageCount(std::int64_t /*afterTimestamp*/,
                                                 std::int64_t afterRowid) {
    auto statement = prepare(connection(), remainingSQL);
    statement.bind(1, afterRowid);
    return stepRow(statement) ? statement.columnInt64(0) : 0;
}

std::optional<Clock::WallTime> ChatDBReader::oldestMessageDate() {
    // The least date that is not 0, found at the start of the Messages app's date index (it runs
    // after every synchronisation; MIN over an expression would read the whole table instead).
    auto statement = prepare(connection(),
                             "SELECT date FROM message WHERE date IS NOT NULL AND date <> 0 "
                             "ORDER BY date LIMIT 1");
    if (!stepRow(statement) || statement.columnIsNull(0)) {
        return std::nullopt;
    }
    const double seconds = static_cast<double>(statement.columnInt64(0)) / 1e9;
    const auto sinceReference = std::chrono::duration_cast<Clock::WallTime::duration>(
        std::chrono::duration<double>(seconds));
    return Clock::WallTime(std::chrono::seconds(messagesEpochUnixSeconds)) + sinceReference;
}

std::vector<ChatParticipant> ChatDBReader::fetchChatParticipants() {
    auto statement = prepare(connection(), participantsSQL);
    std::vector<ChatParticipant> participants;
    while (stepRow(statement)) {
        auto chatId = statement.columnOptionalUtf8Text(0);
        auto handle = statement.columnOptionalUtf8Text(2);
        if (!chatId || !handle) {
            continue;
        }
        participants.push_back({std::move(*chatId), statement.columnInt64(1), std::move(*handle),
                                statement.columnOptionalUtf8Text(3)});
    }
    return participants;
}

std::optional<std::string> ChatDBReader::decodeAttributedBody(std::string_view hexString) {
    const auto body = dataFromHex(hexString);
    if (!body) {
        return std::nullopt;
    }
    try {
        return attributedBodyText(*body);
    } catch (const typedstream::TypedStreamDecoderError& error) {
        logger().debug(std::string("Undecodable attributedBody: ") + error.what());
        return std::nullopt;
    }
}

std::optional<std::string> ChatDBReader::attributedBodyText(std::span<const std::uint8_t> body) {
    // A body archives its string first and the attribute runs after it; those hold further
    // strings (link URLs, file-transfer GUIDs, mention handles) that are not the message's text.
    const auto item = typedstream::TypedStreamDecoder::firstTopLevelItem(body);
    if (!item) {
        return std::nullopt;
    }
    const auto text = item->stringObjectText();
    if (!text || text->empty() || isOnlyAttachmentPlaceholders(*text)) {
        return std::nullopt;
    }
    return std::string(*text);
}

std::optional<std::vector<std::uint8_t>> ChatDBReader::dataFromHex(std::string_view hexString) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(hexString.size() / 2);
    for (std::size_t i = 0; i + 1 < hexString.size(); i += 2) {
        const int high = text::hexDigitValue(hexString[i]);
        const int low = text::hexDigitValue(hexString[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    return bytes;
}

std::string ChatDBReader::normalizeHandle(std::string_view handle) {
    std::string_view trimmedHandle = text::trimmed(handle);
    if (const auto open = trimmedHandle.find('(');
        open != std::string_view::npos && trimmedHandle.ends_with(')')) {
        trimmedHandle = text::trimmed(trimmedHandle.substr(0, open));
    }
    if (trimmedHandle.empty()) {
        return std::string(handle);
    }
    if (trimmedHandle.find('@') != std::string_view::npos) {
        return text::toLower(trimmedHandle);
    }
    return PhoneNumberNormalizer::normalize(trimmedHandle, "1")
        .value_or(std::string(trimmedHandle));
}

}  // namespace vask
