// ShadowDB: the read queries (search, awaiting replies, citations, reply-drafting context) and
// the guarded runner of arbitrary read-only SQL.
#include <algorithm>
#include <array>
#include <cctype>
#include <string>
#include <unordered_map>

#include <sys/stat.h>

#include "foundation/structured_logger.h"
#include "platform/text.h"
#include "store/messages_time.h"
#include "store/shadow_db.h"
#include "store/shadow_db_statements.h"
#include "store/shadow_query_sql.h"

namespace vask {
namespace {

using Case = ShadowDB::Error::Case;
using shadow_db_detail::prepare;
using shadow_db_detail::stepRow;

const StructuredLogger& logger() {
    static const StructuredLogger instance("shadow-db", "ai.vask.VaskCore");
    return instance;
}

constexpr std::string_view fetchMessagesPrefix =
    R"(SELECT m.guid, ct.display_name, m.sender, m.text, m.timestamp, m.chat_id,
       m.is_from_me, m.chat_name, m.is_group
FROM messages m
LEFT JOIN contacts.contact_identifiers ci ON ci.value = m.sender
LEFT JOIN contacts.contacts ct ON ct.id = ci.contact_id
WHERE m.guid IN ()";

constexpr std::string_view fetchMessagesSuffix = R"() AND m.deleted_at IS NULL
GROUP BY m.guid)";

constexpr std::string_view recentMessagesSQL =
    R"(SELECT m.guid, ct.display_name, m.sender, m.text, m.timestamp, m.chat_id,
       m.is_from_me, m.chat_name, m.is_group
FROM messages m
LEFT JOIN contacts.contact_identifiers ci ON ci.value = m.sender
LEFT JOIN contacts.contacts ct ON ct.id = ci.contact_id
WHERE m.deleted_at IS NULL AND m.timestamp >= ?
GROUP BY m.guid
ORDER BY m.timestamp DESC
LIMIT ?)";

constexpr std::string_view sentMessagesHead =
    "SELECT text FROM messages\n"
    "WHERE is_from_me = 1 AND recipient_handle = ? AND deleted_at IS NULL\n";

constexpr std::string_view recentSentSampleHead =
    "SELECT text FROM messages\n"
    "WHERE is_from_me = 1 AND recipient_handle IS NOT NULL\n"
    "  AND recipient_handle != ? AND deleted_at IS NULL\n";

constexpr std::string_view recentThreadHead =
    "SELECT sender, text, is_from_me FROM messages\n"
    "WHERE chat_id = ? AND deleted_at IS NULL\n";

constexpr std::string_view cursorClause = "AND (timestamp < ? OR (timestamp = ? AND rowid < ?))";
constexpr std::string_view pagedTail = "\nORDER BY timestamp DESC, rowid DESC\nLIMIT ?";

constexpr std::string_view personaExemplarsSQL = R"(SELECT guid, text FROM messages
WHERE is_from_me = 1 AND recipient_handle = ? AND deleted_at IS NULL
ORDER BY timestamp DESC, rowid DESC
LIMIT ?)";

constexpr std::string_view personaThreadSQL = R"(SELECT m.guid, m.sender, m.text, m.is_from_me
FROM messages AS m
WHERE m.chat_id = ? AND m.deleted_at IS NULL AND m.is_group = 0
  AND EXISTS (
    SELECT 1 FROM messages AS counterpart
    WHERE counterpart.chat_id = m.chat_id
      AND counterpart.deleted_at IS NULL
      AND counterpart.is_group = 0
      AND (
        counterpart.recipient_handle = ?
        OR (counterpart.is_from_me = 0 AND counterpart.sender = ?)
      )
  )
ORDER BY m.timestamp DESC, m.rowid DESC
LIMIT ?)";

std::int64_t windowStart(std::int64_t now, int withinDays) {
    return (now - static_cast<std::int64_t>(withinDays) * 86400 - messagesEpochUnixSeconds) *
           nanosecondsPerSecond;
}

std::int64_t unixSeconds(std::int64_t messagesEpochNanoseconds) {
    return unixSecondsOfMessagesTime(messagesEpochNanoseconds);
}

bool anyNull(const SQLiteStatement& statement, std::initializer_list<int> columns) {
    return std::any_of(columns.begin(), columns.end(),
                       [&](int column) { return statement.columnIsNull(column); });
}

// Columns: guid, display_name, sender, text, timestamp, chat_id, is_from_me, chat_name, is_group.
std::optional<SourceMessage> sourceMessage(const SQLiteStatement& row) {
    if (anyNull(row, {0, 2, 3, 5})) {
        return std::nullopt;
    }
    SourceMessage message;
    message.guid = row.columnUtf8Text(0);
    message.sender = row.columnUtf8Text(2);
    message.isFromMe = row.columnInt64(6) != 0;
    message.contactName =
        message.isFromMe ? "You" : row.columnOptionalUtf8Text(1).value_or(message.sender);
    message.text = row.columnUtf8Text(3);
    message.timestamp = row.columnInt64(4);
    message.timestampUnix = unixSeconds(message.timestamp);
    message.chatId = row.columnUtf8Text(5);
    message.chatName = row.columnOptionalUtf8Text(7);
    message.isGroup = row.columnInt64(8) != 0;
    return message;
}

std::string pagedStatement(std::string_view head, const std::optional<MessageCursor>& before) {
    std::string sql(head);
    if (before) {
        sql += cursorClause;
    }
    sql += pagedTail;
    return sql;
}

// Binds the text argument, the cursor and the limit as the paged statements number them.
void bindPaged(SQLiteStatement& statement, std::string_view text,
               const std::optional<MessageCursor>& before, int limit) {
    statement.bind(1, text);
    int next = 2;
    if (before) {
        statement.bind(2, before->timestamp)
            .bind(3, before->timestamp)
            .bind(4, before->shadowRowid);
        next = 5;
    }
    statement.bind(next, limit);
}

// --- executeReadOnly's guard.

constexpr std::string_view notReadOnly = "Only read-only SQL statements are allowed";

// Pragmas that only report. The first group takes a table or index name as argument; the rest
// are refused with an argument, which is how a pragma sets something.
constexpr std::array<std::string_view, 6> namedObjectPragmas = {
    "table_info", "table_xinfo", "index_list", "index_info", "index_xinfo", "foreign_key_list",
};
constexpr std::array<std::string_view, 19> reportingPragmas = {
    "application_id", "collation_list",    "compile_options", "data_version",  "database_list",
    "encoding",       "foreign_key_check", "freelist_count",  "function_list", "integrity_check",
    "journal_mode",   "module_list",       "page_count",      "page_size",     "pragma_list",
    "quick_check",    "schema_version",    "table_list",      "user_version",
};

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// sqlite3_stmt_readonly lets ATTACH (which creates a file), DETACH, transaction control and
// some pragma writes through; the authorizer refuses them at prepare time. Other writes are left
// to sqlite3_stmt_readonly and the read-only connection: full-text tables check their schema
// with nested statements that an allow-list of reads would refuse. `denied` records a refusal.
int readOnlyAuthorizer(void* denied, int action, const char* first, const char* second, const char*,
                       const char*) {
    bool allowed = true;
    switch (action) {
        case SQLITE_ATTACH:
        case SQLITE_DETACH:
        case SQLITE_TRANSACTION:
        case SQLITE_SAVEPOINT:
            allowed = false;
            break;
        case SQLITE_PRAGMA: {
            const auto name = text::toLower(first == nullptr ? "" : first);
            allowed = contains(namedObjectPragmas, name) ||
                      (second == nullptr && contains(reportingPragmas, name));
            break;
        }
        default:
            break;
    }
    if (!allowed) {
        *static_cast<bool*>(denied) = true;
        return SQLITE_DENY;
    }
    return SQLITE_OK;
}

std::string_view trimmedSQL(std::string_view sql, std::string_view extra = {}) {
    auto isTrimmed = [&](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' ||
               extra.find(c) != std::string_view::npos;
    };
    while (!sql.empty() && isTrimmed(sql.front())) {
        sql.remove_prefix(1);
    }
    while (!sql.empty() && isTrimmed(sql.back())) {
        sql.remove_suffix(1);
    }
    return sql;
}

std::vector<std::string> uniqueColumnNames(sqlite3_stmt* statement) {
    std::vector<std::string> names;
    std::unordered_map<std::string, int> seen;
    const int count = sqlite3_column_count(statement);
    for (int index = 0; index < count; ++index) {
        const char* raw = sqlite3_column_name(statement, index);
        std::string base =
            raw == nullptr || *raw == '\0' ? "column_" + std::to_string(index) : std::string(raw);
        const int occurrence = ++seen[base];
        names.push_back(occurrence == 1 ? base : base + "_" + std::to_string(occurrence));
    }
    return names;
}

SQLiteValue cell(sqlite3_stmt* statement, int column) {
    switch (sqlite3_column_type(statement, column)) {
        case SQLITE_INTEGER:
            return SQLiteValue::integer(sqlite3_column_int64(statement, column));
        case SQLITE_FLOAT:
            return SQLiteValue::real(sqlite3_column_double(statement, column));
        case SQLITE_TEXT: {
            const auto* text = sqlite3_column_text(statement, column);
            if (text == nullptr) {
                return SQLiteValue::null();
            }
            return SQLiteValue::text(text::toValidUtf8(std::string_view(
                reinterpret_cast<const char*>(text),
                static_cast<std::size_t>(sqlite3_column_bytes(statement, column)))));
        }
        case SQLITE_BLOB: {
            const auto* data =
                static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, column));
            const int size = sqlite3_column_bytes(statement, column);
            if (data == nullptr || size <= 0) {
                return SQLiteValue::null();
            }
            return SQLiteValue::blob(SQLiteValue::Blob(data, data + size));
        }
        default:
            return SQLiteValue::null();
    }
}

// Installs the guard for the lifetime of one query and removes it afterwards, so a ShadowDB
// opened read-only keeps running its own queries unguarded.
class AuthorizerScope {
  public:
    explicit AuthorizerScope(sqlite3* db) : db_(db) {
        sqlite3_set_authorizer(db_, readOnlyAuthorizer, &denied_);
    }
    bool denied() const { return denied_; }
    ~AuthorizerScope() { sqlite3_set_authorizer(db_, nullptr, nullptr); }
    AuthorizerScope(const AuthorizerScope&) = delete;
    AuthorizerScope& operator=(const AuthorizerScope&) = delete;

  private:
    sqlite3* db_;
    bool denied_ = false;
};

}  // namespace

template <typename Query>
auto ShadowDB::withContactsAttached(const std::filesystem::path& contactsDBPath, Query&& query)
    -> decltype(query()) {
    sqlite3* db = connection();
    // ATTACH creates a missing file on a writable connection; a missing contacts database must
    // stay missing.
    struct stat file {};
    if (::stat(contactsDBPath.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) {
        detachContacts();
        throw Error(Case::queryFailed,
                    "attach contacts: no contacts database at " + contactsDBPath.string());
    }
    // A file replaced at the same path is a new database: the old attach would still read the
    // old one.
    const AttachedContacts wanted{contactsDBPath, static_cast<std::uint64_t>(file.st_dev),
                                  static_cast<std::uint64_t>(file.st_ino)};
    if (attachedContacts_ != wanted) {
        detachContacts();
        auto attach = prepare(db, "ATTACH DATABASE ? AS contacts");
        attach.bind(1, contactsDBPath.string());
        try {
            attach.run();
        } catch (const SQLiteSupport::Failure& failure) {
            throw Error(Case::queryFailed, "attach contacts: " + failure.message());
        }
        attachedContacts_ = wanted;
    }
    return query();
}

void ShadowDB::detachContacts() noexcept {
    if (!attachedContacts_ || !db_) {
        attachedContacts_.reset();
        return;
    }
    // A failed detach (a statement still reading it) leaves the name taken: the next attach
    // reports it.
    if (sqlite3_exec(db_.get(), "DETACH DATABASE contacts", nullptr, nullptr, nullptr) !=
        SQLITE_OK) {
        logger().error("shadow_contacts_detach_failed", {{"error", sqlite3_errmsg(db_.get())}});
    }
    attachedContacts_.reset();
}

std::vector<SearchResult> ShadowDB::search(std::string_view query, int limit) {
    auto statement = prepare(connection(), shadow_sql::search);
    statement.bind(1, query).bind(2, limit);
    std::vector<SearchResult> results;
    while (true) {
        try {
            if (!statement.step()) {
                break;
            }
        } catch (const SQLiteSupport::Failure& failure) {
            // FTS5 reports a query it cannot parse as a plain SQLITE_ERROR while stepping. So
            // does a statement re-prepared over a changed schema ("no such table"); busy, I/O
            // and corruption failures carry codes of their own. All but the first are errors.
            if (failure.resultCode() != SQLITE_ERROR) {
                throw Error(Case::queryFailed, failure.message());
            }
            // The statement itself still prepares, so what failed was the query text.
            prepare(connection(), shadow_sql::search);
            logger().error("shadow_search_query_invalid", {{"error", failure.message()}});
            return {};
        }
        if (anyNull(statement, {0, 1, 3, 4})) {
            continue;
        }
        results.push_back({
            .guid = statement.columnUtf8Text(0),
            .chatId = statement.columnUtf8Text(1),
            .chatName = statement.columnOptionalUtf8Text(2),
            .sender = statement.columnUtf8Text(3),
            .text = statement.columnUtf8Text(4),
            .timestamp = statement.columnInt64(5),
            .isFromMe = statement.columnInt64(6) != 0,
            .isGroup = statement.columnInt64(7) != 0,
            .rank = statement.columnDouble(8),
        });
    }
    return results;
}

std::vector<AwaitingReply> ShadowDB::awaitingReplies(const std::filesystem::path& contactsDBPath,
                                                     int withinDays, int limit, std::int64_t now) {
    return withContactsAttached(contactsDBPath, [&] {
        auto statement = prepare(connection(), shadow_sql::awaitingReplies);
        statement.bind(1, windowStart(now, withinDays)).bind(2, limit);
        std::vector<AwaitingReply> replies;
        while (stepRow(statement)) {
            if (anyNull(statement, {0, 1, 2, 3})) {
                continue;
            }
            auto text = statement.columnUtf8Text(3);
            if (AwaitingReply::isLikelyReaction(text)) {
                continue;
            }
            const auto timestamp = statement.columnInt64(4);
            replies.push_back({
                .chatId = statement.columnUtf8Text(0),
                .contactName = statement.columnUtf8Text(1),
                .sender = statement.columnUtf8Text(2),
                .lastMessageText = std::move(text),
                .timestamp = timestamp,
                .timestampUnix = unixSeconds(timestamp),
            });
        }
        return replies;
    });
}

std::vector<SourceMessage> ShadowDB::fetchMessages(const std::vector<std::string>& guids,
                                                   const std::filesystem::path& contactsDBPath,
                                                   int limit) {
    if (guids.empty()) {
        return {};
    }
    const auto kept = std::min(guids.size(), static_cast<std::size_t>(std::max(limit, 0)));
    if (kept == 0) {
        return {};
    }
    std::string sql(fetchMessagesPrefix);
    for (std::size_t index = 0; index < kept; ++index) {
        sql += index == 0 ? "?" : ",?";
    }
    sql += fetchMessagesSuffix;

    auto byGuid = withContactsAttached(contactsDBPath, [&] {
        auto statement = prepare(connection(), sql);
        for (std::size_t index = 0; index < kept; ++index) {
            statement.bind(static_cast<int>(index) + 1, guids[index]);
        }
        std::unordered_map<std::string, SourceMessage> found;
        while (stepRow(statement)) {
            if (auto message = sourceMessage(statement)) {
                found.insert_or_assign(message->guid, std::move(*message));
            }
        }
        return found;
    });

    std::vector<SourceMessage> ordered;
    ordered.reserve(kept);
    for (std::size_t index = 0; index < kept; ++index) {
        if (const auto it = byGuid.find(guids[index]); it != byGuid.end()) {
            ordered.push_back(it->second);
        }
    }
    return ordered;
}

std::vector<SourceMessage> ShadowDB::recentMessages(int withinDays, int limit,
                                                    const std::filesystem::path& contactsDBPath,
                                                    std::int64_t now) {
    return withContactsAttached(contactsDBPath, [&] {
        auto statement = prepare(connection(), recentMessagesSQL);
        statement.bind(1, windowStart(now, withinDays)).bind(2, limit);
        std::vector<SourceMessage> messages;
        while (stepRow(statement)) {
            if (auto message = sourceMessage(statement)) {
                messages.push_back(std::move(*message));
            }
        }
        return messages;
    });
}

std::vector<std::string> ShadowDB::sentMessages(std::string_view recipientHandle,
                                                const std::optional<MessageCursor>& before,
                                                int limit) {
    return pagedTexts(sentMessagesHead, recipientHandle, before, limit);
}

std::vector<std::string> ShadowDB::recentSentSample(std::string_view recipientHandle,
                                                    const std::optional<MessageCursor>& before,
                                                    int limit) {
    return pagedTexts(recentSentSampleHead, recipientHandle, before, limit);
}

std::vector<std::string> ShadowDB::pagedTexts(std::string_view head,
                                              std::string_view recipientHandle,
                                              const std::optional<MessageCursor>& before,
                                              int limit) {
    auto statement = prepare(connection(), pagedStatement(head, before));
    bindPaged(statement, recipientHandle, before, limit);
    std::vector<std::string> texts;
    while (stepRow(statement)) {
        if (auto text = statement.columnOptionalUtf8Text(0)) {
            texts.push_back(std::move(*text));
        }
    }
    return texts;
}

std::vector<ThreadMessage> ShadowDB::recentThread(std::string_view chatId,
                                                  const std::optional<MessageCursor>& before,
                                                  int limit) {
    auto statement = prepare(connection(), pagedStatement(recentThreadHead, before));
    bindPaged(statement, chatId, before, limit);
    std::vector<ThreadMessage> thread;
    while (stepRow(statement)) {
        if (anyNull(statement, {0, 1})) {
            continue;
        }
        thread.push_back({statement.columnUtf8Text(0), statement.columnUtf8Text(1),
                          statement.columnInt64(2) != 0});
    }
    std::reverse(thread.begin(), thread.end());
    return thread;
}

std::vector<PersonaExemplar> ShadowDB::personaExemplars(std::string_view recipientHandle,
                                                        int limit) {
    auto statement = prepare(connection(), personaExemplarsSQL);
    statement.bind(1, recipientHandle).bind(2, limit);
    std::vector<PersonaExemplar> exemplars;
    while (stepRow(statement)) {
        if (anyNull(statement, {0, 1})) {
            continue;
        }
        exemplars.push_back({statement.columnUtf8Text(0), statement.columnUtf8Text(1)});
    }
    return exemplars;
}

std::vector<PersonaThreadMessage> ShadowDB::personaThread(std::string_view chatId,
                                                          std::string_view recipientHandle,
                                                          int limit) {
    auto statement = prepare(connection(), personaThreadSQL);
    statement.bind(1, chatId).bind(2, recipientHandle).bind(3, recipientHandle).bind(4, limit);
    std::vector<PersonaThreadMessage> thread;
    while (stepRow(statement)) {
        if (anyNull(statement, {0, 1, 2})) {
            continue;
        }
        thread.push_back({statement.columnUtf8Text(0), statement.columnUtf8Text(1),
                          statement.columnUtf8Text(2), statement.columnInt64(3) != 0});
    }
    std::reverse(thread.begin(), thread.end());
    return thread;
}

ShadowQueryResult ShadowDB::executeReadOnly(std::string_view sql, int limit) {
    const auto trimmed = trimmedSQL(sql);
    if (trimmed.empty()) {
        throw Error(Case::queryFailed, "SQL query must not be empty");
    }
    // A writable connection would let a statement that slips past the guard write; this one
    // cannot, whatever the guard misses.
    SQLiteConnection readOnlyConnection;
    sqlite3* db = connection();
    if (mode_ == OpenMode::readOnly) {
        // The contacts an earlier query attached are not this statement's to read.
        detachContacts();
    } else {
        try {
            readOnlyConnection = SQLiteConnection::open(path_, SQLiteSupport::OpenMode::readOnly);
        } catch (const SQLiteSupport::Failure& failure) {
            throw Error(Case::queryFailed, failure.message());
        }
        db = readOnlyConnection.get();
    }
    AuthorizerScope guard(db);

    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    const int rc =
        sqlite3_prepare_v2(db, trimmed.data(), static_cast<int>(trimmed.size()), &raw, &tail);
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, sqlite3_finalize);
    if (guard.denied()) {
        throw Error(Case::queryFailed, std::string(notReadOnly));
    }
    if (rc != SQLITE_OK) {
        throw Error(Case::prepareFailed, sqlite3_errmsg(db));
    }
    if (!statement) {
        // Only a comment or a lone ";": nothing to run.
        throw Error(Case::queryFailed, "SQL query must not be empty");
    }
    if (sqlite3_stmt_readonly(statement.get()) == 0) {
        throw Error(Case::queryFailed, std::string(notReadOnly));
    }
    if (tail != nullptr) {
        const std::string_view rest(
            tail, static_cast<std::size_t>(trimmed.data() + trimmed.size() - tail));
        if (!trimmedSQL(rest, ";").empty()) {
            throw Error(Case::queryFailed, "Only a single SQL statement is allowed");
        }
    }

    ShadowQueryResult result;
    result.columns = uniqueColumnNames(statement.get());
    const auto maxRows = static_cast<std::size_t>(limit <= 0 ? 100 : limit);
    while (result.rows.size() < maxRows) {
        const int step = sqlite3_step(statement.get());
        if (step == SQLITE_DONE) {
            break;
        }
        if (step != SQLITE_ROW) {
            throw Error(Case::queryFailed, sqlite3_errmsg(db));
        }
        std::map<std::string, SQLiteValue> row;
        for (std::size_t column = 0; column < result.columns.size(); ++column) {
            row.emplace(result.columns[column], cell(statement.get(), static_cast<int>(column)));
        }
        result.rows.push_back(std::move(row));
    }
    return result;
}

}  // namespace vask
