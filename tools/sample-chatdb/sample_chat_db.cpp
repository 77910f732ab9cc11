#include "sample-chatdb/sample_chat_db.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"
#include "typedstream-writer/attributed_body.h"

namespace vask::sample {
namespace {

using typedstream::AttributedBody;
using typedstream::AttributeRun;
using typedstream::UrlValue;

constexpr std::string_view schema = R"(
CREATE TABLE handle (
    ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE,
    id TEXT NOT NULL,
    country TEXT,
    service TEXT NOT NULL,
    uncanonicalized_id TEXT,
    person_centric_id TEXT,
    UNIQUE (id, service)
);
CREATE TABLE chat (
    ROWID INTEGER PRIMARY KEY AUTOINCREMENT,
    guid TEXT UNIQUE NOT NULL,
    style INTEGER,
    state INTEGER,
    account_id TEXT,
    chat_identifier TEXT,
    service_name TEXT,
    room_name TEXT,
    display_name TEXT,
    group_id TEXT
);
CREATE TABLE message (
    ROWID INTEGER PRIMARY KEY AUTOINCREMENT,
    guid TEXT UNIQUE NOT NULL,
    text TEXT,
    handle_id INTEGER DEFAULT 0,
    service TEXT,
    attributedBody BLOB,
    date INTEGER,
    date_read INTEGER,
    date_delivered INTEGER,
    is_from_me INTEGER DEFAULT 0,
    is_read INTEGER DEFAULT 0,
    cache_has_attachments INTEGER DEFAULT 0,
    associated_message_guid TEXT DEFAULT NULL,
    associated_message_type INTEGER DEFAULT 0,
    date_retracted INTEGER DEFAULT 0,
    date_edited INTEGER DEFAULT 0,
    thread_originator_guid TEXT
);
CREATE TABLE chat_message_join (
    chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE,
    message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE,
    message_date INTEGER DEFAULT 0,
    PRIMARY KEY (chat_id, message_id)
);
CREATE TABLE chat_handle_join (
    chat_id INTEGER REFERENCES chat (ROWID) ON DELETE CASCADE,
    handle_id INTEGER REFERENCES handle (ROWID) ON DELETE CASCADE,
    UNIQUE (chat_id, handle_id)
);
CREATE TABLE attachment (
    ROWID INTEGER PRIMARY KEY AUTOINCREMENT,
    guid TEXT UNIQUE NOT NULL,
    created_date INTEGER DEFAULT 0,
    filename TEXT,
    uti TEXT,
    mime_type TEXT,
    transfer_name TEXT,
    total_bytes INTEGER DEFAULT 0
);
CREATE TABLE message_attachment_join (
    message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE,
    attachment_id INTEGER REFERENCES attachment (ROWID) ON DELETE CASCADE,
    UNIQUE (message_id, attachment_id)
);
)";

constexpr std::string_view indexes = R"(
CREATE INDEX chat_message_join_idx_message_id_only ON chat_message_join (message_id);
CREATE INDEX chat_message_join_idx_chat_id ON chat_message_join (chat_id);
CREATE INDEX message_idx_handle ON message (handle_id);
CREATE INDEX message_idx_date ON message (date);
CREATE INDEX message_attachment_join_idx_message_id ON message_attachment_join (message_id);
)";

// 2019-01-01 00:00:00 UTC in nanoseconds since 2001-01-01.
constexpr std::int64_t firstDate = 567993600LL * 1000000000LL;
// The history spans about five years, whatever its size.
constexpr std::int64_t historySpan = 5LL * 365 * 86400 * 1000000000LL;
constexpr std::int64_t groupStyle = 43;
constexpr std::int64_t oneToOneStyle = 45;

constexpr std::array words = {
    "the",      "meeting",  "tomorrow",   "dinner",  "sounds",   "great",   "running",
    "late",     "see",      "you",        "soon",    "thanks",   "for",     "the",
    "photos",   "call",     "me",         "when",    "free",     "café",    "naïve",
    "jalapeño", "😂",        "❤️",     "👍",       "🎉",        "日本語",  "東京",
    "Привет",   "спасибо",  "مرحبا",      "שלום",    "Ελλάδα",   "한국어",  "DNS",
    "is",       "down",     "Attribute?", "ok",      "weekend",  "tickets", "train",
    "airport",  "birthday", "party",      "project", "deadline", "coffee",  "lunch",
};
constexpr std::array firstNames = {"Avery", "Jordan", "Maya", "Noah",  "Léa",
                                   "Kenji", "Sofia",  "Omar", "Priya", "Lukas"};
constexpr std::array lastNames = {"Stone", "Ng", "Okafor", "García", "Müller", "Sato", "Haddad"};
constexpr std::array reactionVerbs = {"Loved",      "Liked",      "Disliked",
                                      "Laughed at", "Emphasized", "Questioned"};

class Random {
  public:
    explicit Random(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    std::int64_t below(std::int64_t bound) {
        return bound <= 1 ? 0
                          : static_cast<std::int64_t>(next() % static_cast<std::uint64_t>(bound));
    }
    bool percent(int chance) { return below(100) < chance; }

    std::string guid() {
        static constexpr char hex[] = "0123456789ABCDEF";
        std::string text;
        const std::uint64_t high = next();
        const std::uint64_t low = next();
        for (int i = 0; i < 32; ++i) {
            if (i == 8 || i == 12 || i == 16 || i == 20) {
                text += '-';
            }
            const std::uint64_t half = i < 16 ? high : low;
            text += hex[(half >> ((i % 16) * 4)) & 0xF];
        }
        return text;
    }

  private:
    std::uint64_t state_;
};

struct Handle {
    std::int64_t rowid = 0;
    std::string id;
    std::string service;
};

struct Chat {
    std::int64_t rowid = 0;
    std::string guid;
    std::int64_t style = oneToOneStyle;
    std::optional<std::string> displayName;
    std::vector<std::int64_t> members;  // handle row ids
};

std::string digits(std::int64_t value, int width) {
    std::string text = std::to_string(value);
    return std::string(static_cast<std::size_t>(std::max(0, width - static_cast<int>(text.size()))),
                       '0') +
           text;
}

// A handle id in one of the spellings found in real Messages histories; unique per index.
Handle makeHandle(std::int64_t index, Random& random) {
    const std::int64_t number = 2000000000 + (index * 104729) % 7999999999;
    const std::string area = digits(number / 10000000, 3);
    const std::string exchange = digits(number / 10000 % 1000, 3);
    const std::string line = digits(number % 10000, 4);
    Handle handle;
    handle.rowid = index + 1;
    handle.service = random.percent(70) ? "iMessage" : "SMS";
    switch (random.below(10)) {
        case 0:
            handle.id = "(" + area + ") " + exchange + "-" + line;
            break;
        case 1:
            handle.id = area + "." + exchange + "." + line;
            break;
        case 2:
            handle.id = "1-" + area + "-" + exchange + "-" + line;
            break;
        case 3:
            handle.id = "+44 20 " + digits(number % 100000000 / 10000, 4) + " " + line;
            break;
        case 4:
            handle.id = "0044 20 " + digits(number % 100000000 / 10000, 4) + " " + line;
            break;
        case 5:
            handle.id = "+1 " + area + " " + exchange + " " + line + " (mobile)";
            break;
        case 6:
            handle.id =
                std::string(firstNames[static_cast<std::size_t>(index) % firstNames.size()]) + "." +
                lastNames[static_cast<std::size_t>(index) % lastNames.size()] +
                std::to_string(index) + "@Example.com";
            handle.service = "iMessage";
            break;
        case 7:
            handle.id = "user" + std::to_string(index) + "@icloud.com";
            handle.service = "iMessage";
            break;
        case 8:
            if (index < 90000) {
                handle.id = std::to_string(10000 + index);  // a short code
                handle.service = "SMS";
                break;
            }
            [[fallthrough]];
        default:
            handle.id = "+1" + area + exchange + line;
            break;
    }
    return handle;
}

std::string sentence(Random& random) {
    const std::int64_t count = 1 + random.below(14);
    std::string text;
    for (std::int64_t i = 0; i < count; ++i) {
        if (i > 0) {
            text += ' ';
        }
        text += words[static_cast<std::size_t>(random.below(words.size()))];
    }
    return text;
}

struct Statements {
    SQLiteStatement message;
    SQLiteStatement chatMessage;
    SQLiteStatement attachment;
    SQLiteStatement messageAttachment;

    explicit Statements(sqlite3* db)
        : message(db,
                  "INSERT INTO message (ROWID, guid, text, handle_id, service, attributedBody, "
                  "date, date_read, date_delivered, is_from_me, is_read, cache_has_attachments, "
                  "associated_message_guid, associated_message_type, date_retracted, date_edited) "
                  "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
          chatMessage(db,
                      "INSERT INTO chat_message_join (chat_id, message_id, message_date) VALUES "
                      "(?, ?, ?)"),
          attachment(db,
                     "INSERT INTO attachment (ROWID, guid, created_date, filename, uti, "
                     "mime_type, transfer_name, total_bytes) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"),
          messageAttachment(db,
                            "INSERT INTO message_attachment_join (message_id, attachment_id) "
                            "VALUES (?, ?)") {}
};

// Writes messages one after another, continuing a history: row ids and dates go on from where
// the database stands.
class MessageWriter {
  public:
    MessageWriter(sqlite3* db, const std::vector<Chat>& chats, std::uint64_t seed,
                  std::int64_t nextRowid, std::int64_t nextAttachmentRowid, std::int64_t date,
                  std::int64_t dateStep)
        : statements_(db),
          chats_(chats),
          random_(seed),
          rowid_(nextRowid),
          attachmentRowid_(nextAttachmentRowid),
          date_(date),
          dateStep_(std::max<std::int64_t>(dateStep, 1)) {}

    void write(std::int64_t count) {
        for (std::int64_t i = 0; i < count; ++i) {
            writeOne();
        }
    }

    std::int64_t attachments() const { return attachments_; }

  private:
    void writeOne() {
        const Chat& chat = chats_[static_cast<std::size_t>(
            random_.below(static_cast<std::int64_t>(chats_.size())))];
        const std::int64_t rowid = rowid_++;
        date_ += dateStep_ / 2 + random_.below(dateStep_);
        // Now and then a row arrives late, dated before rows already in the database.
        const std::int64_t date =
            random_.percent(1) ? date_ - random_.below(date_ - firstDate + 1) : date_;
        const std::string guid = random_.guid();
        const bool fromMe = random_.percent(40);
        std::int64_t handleId = 0;
        if (!chat.members.empty()) {
            if (chat.style == groupStyle) {
                handleId = fromMe ? 0
                                  : chat.members[static_cast<std::size_t>(random_.below(
                                        static_cast<std::int64_t>(chat.members.size())))];
            } else {
                handleId = fromMe && random_.percent(10) ? 0 : chat.members.front();
            }
        }

        std::optional<std::string> text;
        std::optional<std::vector<std::uint8_t>> body;
        std::optional<std::string> associatedGuid;
        std::int64_t associatedType = 0;
        std::int64_t dateRetracted = 0;
        std::int64_t dateEdited = 0;
        bool attachment = false;
        const std::int64_t kind = random_.below(100);
        if (kind < 45) {  // text, and usually the body too, as the app writes both
            text = sentence(random_);
            if (random_.percent(60)) {
                body = typedstream::encodeAttributedBody(AttributedBody::plain(*text));
            }
        } else if (kind < 75) {  // the body alone
            body = typedstream::encodeAttributedBody(AttributedBody::plain(sentence(random_)));
        } else if (kind < 80) {  // a link, whose URL is also an attribute value
            const std::string url = "https://example.com/p/" + std::to_string(rowid);
            AttributedBody link;
            link.text = url;
            link.runs.push_back(
                {typedstream::utf16Length(url),
                 {{std::string(typedstream::kMessagePartAttributeName), std::int64_t{0}},
                  {std::string(typedstream::kLinkAttributeName), UrlValue{url}}}});
            body = typedstream::encodeAttributedBody(link);
        } else if (kind < 85) {  // a mention
            const std::string name =
                firstNames[static_cast<std::size_t>(random_.below(firstNames.size()))];
            AttributedBody mention;
            mention.text = name + " " + sentence(random_);
            mention.runs.push_back(
                {typedstream::utf16Length(name),
                 {{std::string(typedstream::kMessagePartAttributeName), std::int64_t{0}},
                  {std::string(typedstream::kMentionAttributeName),
                   std::string("user@example.com")}}});
            mention.runs.push_back(
                {typedstream::utf16Length(mention.text) - typedstream::utf16Length(name),
                 {{std::string(typedstream::kMessagePartAttributeName), std::int64_t{0}}}});
            body = typedstream::encodeAttributedBody(mention);
        } else if (kind < 90) {  // a reaction to an earlier message
            associatedType = 2000 + random_.below(6);
            associatedGuid = "p:0/" + random_.guid();
            text = std::string(reactionVerbs[static_cast<std::size_t>(associatedType - 2000)]) +
                   " \u201c" + sentence(random_) + "\u201d";
            body = typedstream::encodeAttributedBody(AttributedBody::plain(*text));
        } else if (kind < 93) {  // edited: the body holds the latest version
            dateEdited = date + 60LL * 1000000000LL;
            body = typedstream::encodeAttributedBody(AttributedBody::plain(sentence(random_)));
        } else if (kind < 94) {  // unsent: nothing left to read
            dateRetracted = date + 30LL * 1000000000LL;
        } else {  // an attachment, alone or with a caption
            attachment = true;
            const std::string transferGuid = "at_0_" + random_.guid();
            AttributedBody files;
            files.text = std::string(typedstream::kAttachmentCharacter);
            files.runs.push_back(
                {1,
                 {{std::string(typedstream::kMessagePartAttributeName), std::int64_t{0}},
                  {std::string(typedstream::kFileTransferGUIDAttributeName), transferGuid}}});
            if (random_.percent(30)) {
                const std::string caption = sentence(random_);
                files.text += caption;
                files.runs.push_back(
                    {typedstream::utf16Length(caption),
                     {{std::string(typedstream::kMessagePartAttributeName), std::int64_t{1}}}});
            } else {
                text = std::string(typedstream::kAttachmentCharacter);
            }
            body = typedstream::encodeAttributedBody(files);
            writeAttachment(rowid, transferGuid, date);
        }

        auto& m = statements_.message;
        m.reset();
        m.bind(1, rowid).bind(2, guid).bind(3, text).bind(4, handleId);
        m.bind(5, std::string_view(chat.guid.starts_with("SMS") ? "SMS" : "iMessage"));
        if (body) {
            m.bindBlob(6, body->data(), body->size());
        }
        m.bind(7, date)
            .bind(8, fromMe ? std::int64_t{0} : date + std::int64_t{1000000000})
            .bind(9, date);
        m.bind(10, fromMe ? 1 : 0).bind(11, fromMe ? 0 : 1).bind(12, attachment ? 1 : 0);
        m.bind(13, associatedGuid).bind(14, associatedType).bind(15, dateRetracted);
        m.bind(16, dateEdited);
        m.run();

        // A few messages belong to no chat at all.
        if (random_.below(500) != 0) {
            auto& join = statements_.chatMessage;
            join.reset();
            join.bind(1, chat.rowid).bind(2, rowid).bind(3, date).run();
        }
    }

    void writeAttachment(std::int64_t messageRowid, const std::string& guid, std::int64_t date) {
        const std::int64_t rowid = attachmentRowid_++;
        const bool image = random_.percent(70);
        const std::string name = image ? "IMG_" + std::to_string(1000 + rowid % 9000) + ".jpeg"
                                       : "Notes " + std::to_string(rowid) + ".pdf";
        auto& a = statements_.attachment;
        a.reset();
        a.bind(1, rowid).bind(2, guid).bind(3, date / std::int64_t{1000000000});
        a.bind(4, "~/Library/Messages/Attachments/" + digits(rowid % 100, 2) + "/" + guid + "/" +
                      name);
        a.bind(5, image ? "public.jpeg" : "com.adobe.pdf");
        a.bind(6, image ? "image/jpeg" : "application/pdf");
        a.bind(7, name).bind(8, 20000 + random_.below(4000000));
        a.run();
        auto& join = statements_.messageAttachment;
        join.reset();
        join.bind(1, messageRowid).bind(2, rowid).run();
        ++attachments_;
    }

    Statements statements_;
    const std::vector<Chat>& chats_;
    Random random_;
    std::int64_t rowid_;
    std::int64_t attachmentRowid_;
    std::int64_t date_;
    std::int64_t dateStep_;
    std::int64_t attachments_ = 0;
};

std::int64_t scalar(sqlite3* db, std::string_view sql) {
    SQLiteStatement statement(db, sql);
    return statement.step() ? statement.columnInt64(0) : 0;
}

void writeHandlesAndChats(sqlite3* db, std::int64_t chatCount, Random& random,
                          std::vector<Chat>& chats, std::int64_t& handleCount) {
    SQLiteStatement insertHandle(
        db,
        "INSERT INTO handle (ROWID, id, country, service, uncanonicalized_id) VALUES (?, ?, "
        "'us', ?, ?)");
    SQLiteStatement insertChat(db,
                               "INSERT INTO chat (ROWID, guid, style, state, chat_identifier, "
                               "service_name, display_name) VALUES (?, ?, ?, 3, ?, ?, ?)");
    SQLiteStatement insertMember(db,
                                 "INSERT OR IGNORE INTO chat_handle_join (chat_id, handle_id) "
                                 "VALUES (?, ?)");
    std::vector<Handle> handles;
    auto newHandle = [&]() -> const Handle& {
        handles.push_back(makeHandle(static_cast<std::int64_t>(handles.size()), random));
        const Handle& handle = handles.back();
        insertHandle.reset();
        insertHandle.bind(1, handle.rowid).bind(2, handle.id).bind(3, handle.service);
        insertHandle.bind(4, handle.id).run();
        return handle;
    };
    for (std::int64_t index = 0; index < chatCount; ++index) {
        Chat chat;
        chat.rowid = index + 1;
        std::string identifier;
        std::string service = "iMessage";
        if (random.percent(25)) {
            chat.style = groupStyle;
            identifier = "chat" + digits(random.below(1000000000000000000LL), 18);
            chat.guid = "iMessage;+;" + identifier;
            const std::int64_t name = random.below(10);
            if (name < 5) {
                chat.displayName = std::string(firstNames[static_cast<std::size_t>(name)]) +
                                   "'s group " + std::to_string(index);
            } else if (name == 5) {
                chat.displayName = "";
            }
            const std::int64_t members = 2 + random.below(6);
            for (std::int64_t m = 0; m < members; ++m) {
                const bool reuse = !handles.empty() && random.percent(50);
                chat.members.push_back(
                    reuse ? handles[static_cast<std::size_t>(
                                        random.below(static_cast<std::int64_t>(handles.size())))]
                                .rowid
                          : newHandle().rowid);
            }
        } else {
            const Handle& handle = newHandle();
            service = handle.service;
            identifier = handle.id;
            chat.guid = service + ";-;" + identifier;
            chat.members.push_back(handle.rowid);
        }
        insertChat.reset();
        insertChat.bind(1, chat.rowid).bind(2, chat.guid).bind(3, chat.style);
        insertChat.bind(4, identifier).bind(5, service).bind(6, chat.displayName).run();
        for (const auto member : chat.members) {
            insertMember.reset();
            insertMember.bind(1, chat.rowid).bind(2, member).run();
        }
        chats.push_back(std::move(chat));
    }
    handleCount = static_cast<std::int64_t>(handles.size());
}

std::vector<Chat> readChats(sqlite3* db) {
    std::vector<Chat> chats;
    SQLiteStatement statement(db, "SELECT ROWID, guid, style FROM chat ORDER BY ROWID");
    while (statement.step()) {
        chats.push_back({statement.columnInt64(0),
                         statement.columnText(1),
                         statement.columnInt64(2),
                         std::nullopt,
                         {}});
    }
    SQLiteStatement members(db, "SELECT handle_id FROM chat_handle_join WHERE chat_id = ?");
    for (auto& chat : chats) {
        members.reset();
        members.bind(1, chat.rowid);
        while (members.step()) {
            chat.members.push_back(members.columnInt64(0));
        }
    }
    return chats;
}

void configureForBulkWrites(const SQLiteConnection& db) {
    // A generated file: if the build fails it is thrown away, so no journal is needed.
    db.execute("PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF");
}

}  // namespace

void createMessagesSchema(sqlite3* db) {
    SQLiteSupport::execute(schema, db);
    SQLiteSupport::execute(indexes, db);
}

SampleChatDBSummary buildSampleChatDB(const std::filesystem::path& out,
                                      const SampleChatDBOptions& options) {
    if (options.messages < 0 || options.chats < 1) {
        throw Error("sample-chatdb: --messages must be 0 or more and --chats 1 or more");
    }
    std::error_code error;
    if (std::filesystem::exists(out, error)) {
        throw Error("sample-chatdb: " + out.string() + " already exists");
    }
    auto db = SQLiteConnection::open(out, SQLiteSupport::OpenMode::readWriteCreate);
    configureForBulkWrites(db);
    SampleChatDBSummary summary;
    summary.messages = options.messages;
    summary.chats = options.chats;
    try {
        SQLiteSupport::execute(schema, db.get());
        db.inImmediateTransaction([&] {
            Random random(options.seed);
            std::vector<Chat> chats;
            writeHandlesAndChats(db.get(), options.chats, random, chats, summary.handles);
            MessageWriter writer(db.get(), chats, random.next(), 1, 1, firstDate,
                                 historySpan / std::max<std::int64_t>(options.messages, 1));
            writer.write(options.messages);
            summary.attachments = writer.attachments();
        });
        SQLiteSupport::execute(indexes, db.get());
    } catch (...) {
        db = SQLiteConnection();
        std::filesystem::remove(out, error);
        throw;
    }
    return summary;
}

void appendSampleMessages(const std::filesystem::path& path, std::int64_t count,
                          std::uint64_t seed) {
    auto db = SQLiteConnection::open(path, SQLiteSupport::OpenMode::readWriteCreate);
    db.inImmediateTransaction([&] {
        const auto chats = readChats(db.get());
        if (chats.empty()) {
            throw Error("sample-chatdb: " + path.string() + " has no chats to add messages to");
        }
        const std::int64_t messages = scalar(db.get(), "SELECT COUNT(*) FROM message");
        MessageWriter writer(db.get(), chats, seed,
                             scalar(db.get(), "SELECT IFNULL(MAX(ROWID), 0) FROM message") + 1,
                             scalar(db.get(), "SELECT IFNULL(MAX(ROWID), 0) FROM attachment") + 1,
                             scalar(db.get(), "SELECT IFNULL(MAX(date), 0) FROM message"),
                             historySpan / std::max<std::int64_t>(messages, 1));
        writer.write(count);
    });
}

}  // namespace vask::sample
