#include "sample-chatdb/conversations.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "platform/error.h"
#include "platform/file_io.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"
#include "typedstream-writer/attributed_body.h"

namespace vask::sample {
namespace {

constexpr std::int64_t nanosecondsPerMinute = 60LL * 1000000000LL;
constexpr std::int64_t groupStyle = 43;
constexpr std::int64_t oneToOneStyle = 45;

// Written after the newest message of the corpus, minutes before it, so that each is the last
// word in its chat: the people waiting on a reply when the history is opened.
struct RecentMessage {
    const char* chatId;
    const char* sender;  // empty: the chat's only other person
    const char* text;
    std::int64_t minutesAfterNewest;
};
constexpr std::array recentMessages{
    RecentMessage{"c-maya", "", "are we still on for dinner Friday? I can book the Thai place", 30},
    RecentMessage{"c-maya", "", "they have a table at 7:30 if that works", 32},
    RecentMessage{"c-mom", "",
                  "call me when you get a chance, it's about grandma's birthday dinner", 95},
    RecentMessage{"c-work", "+14155550104",
                  "can someone look at the onboarding mockups before tomorrow's standup?", 140},
};

// People met only in group chats.
constexpr std::array groupOnlyNames{"Ana Lopez",     "Ben Carter",   "Chloe Martin", "David Kim",
                                    "Elena Petrova", "Finn O'Brien", "Grace Liu"};

std::string requiredString(const nlohmann::json& object, const char* key,
                           const std::string& where) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) {
        throw Error("sample-chatdb: " + where + " has no text \"" + key + "\"");
    }
    return it->get<std::string>();
}

// Everyone but the user who wrote in each chat.
std::map<std::string, std::set<std::string>> peopleByChat(const Conversations& conversations) {
    std::map<std::string, std::set<std::string>> people;
    for (const auto& message : conversations.messages) {
        if (!message.isFromMe) {
            people[message.chatId].insert(message.sender);
        }
    }
    return people;
}

std::map<std::string, std::string> onlyPersonOfChat(const Conversations& conversations) {
    auto senders = peopleByChat(conversations);
    std::map<std::string, std::string> person;
    for (const auto& chat : conversations.chats) {
        if (!chat.isGroup && senders[chat.id].size() == 1) {
            person[chat.id] = *senders[chat.id].begin();
        }
    }
    return person;
}

}  // namespace

Conversations readConversations(const std::filesystem::path& corpus) {
    const auto text = readFileIfExists(corpus);
    if (!text) {
        throw Error("sample-chatdb: no corpus at " + corpus.string());
    }
    nlohmann::json json;
    try {
        json = nlohmann::json::parse(*text);
    } catch (const nlohmann::json::exception& error) {
        throw Error("sample-chatdb: " + corpus.string() + " is not JSON: " + error.what());
    }
    Conversations conversations;
    for (const auto& chat : json.value("chats", nlohmann::json::array())) {
        conversations.chats.push_back({requiredString(chat, "id", "a chat"),
                                       requiredString(chat, "name", "a chat"),
                                       chat.value("is_group", false)});
    }
    std::int64_t newest = 0;
    for (const auto& message : json.value("messages", nlohmann::json::array())) {
        const auto guid = requiredString(message, "guid", "a message");
        conversations.messages.push_back({
            .guid = guid,
            .chatId = requiredString(message, "chat_id", guid),
            .sender = requiredString(message, "sender", guid),
            .text = requiredString(message, "text", guid),
            .date = message.value("timestamp", std::int64_t{0}),
            .isFromMe = message.value("is_from_me", false),
        });
        newest = std::max(newest, conversations.messages.back().date);
    }
    if (conversations.messages.empty()) {
        throw Error("sample-chatdb: " + corpus.string() + " has no messages");
    }
    const auto person = onlyPersonOfChat(conversations);
    int index = 0;
    for (const auto& recent : recentMessages) {
        const auto it = person.find(recent.chatId);
        const std::string sender = *recent.sender != '\0' ? recent.sender
                                   : it != person.end()   ? it->second
                                                          : "";
        if (sender.empty()) {
            continue;  // a corpus without that chat
        }
        conversations.messages.push_back({
            .guid = "recent-" + std::to_string(index++),
            .chatId = recent.chatId,
            .sender = sender,
            .text = recent.text,
            .date = newest + recent.minutesAfterNewest * nanosecondsPerMinute,
            .isFromMe = false,
        });
    }
    std::stable_sort(conversations.messages.begin(), conversations.messages.end(),
                     [](const auto& a, const auto& b) { return a.date < b.date; });
    return conversations;
}

SampleChatDBSummary buildConversationChatDB(const std::filesystem::path& out,
                                            const Conversations& conversations) {
    std::error_code error;
    if (std::filesystem::exists(out, error)) {
        throw Error("sample-chatdb: " + out.string() + " already exists");
    }
    auto db = SQLiteConnection::open(out, SQLiteSupport::OpenMode::readWriteCreate);
    db.execute("PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF");
    SampleChatDBSummary summary;
    try {
        createMessagesSchema(db.get());
        db.inImmediateTransaction([&] {
            SQLiteStatement insertHandle(
                db.get(),
                "INSERT INTO handle (ROWID, id, country, service, uncanonicalized_id) "
                "VALUES (?, ?, 'us', 'iMessage', ?)");
            SQLiteStatement insertChat(
                db.get(),
                "INSERT INTO chat (ROWID, guid, style, state, chat_identifier, service_name, "
                "display_name) VALUES (?, ?, ?, 3, ?, 'iMessage', ?)");
            SQLiteStatement insertMember(
                db.get(),
                "INSERT OR IGNORE INTO chat_handle_join (chat_id, handle_id) VALUES (?, ?)");
            SQLiteStatement insertMessage(
                db.get(),
                "INSERT INTO message (ROWID, guid, text, handle_id, service, attributedBody, date, "
                "date_read, date_delivered, is_from_me, is_read) "
                "VALUES (?, ?, ?, ?, 'iMessage', ?, ?, ?, ?, ?, ?)");
            SQLiteStatement insertJoin(db.get(),
                                       "INSERT INTO chat_message_join (chat_id, message_id, "
                                       "message_date) VALUES (?, ?, ?)");

            std::map<std::string, std::int64_t> handles;
            const auto handleOf = [&](const std::string& sender) {
                auto [it, added] =
                    handles.emplace(sender, static_cast<std::int64_t>(handles.size()) + 1);
                if (added) {
                    insertHandle.reset();
                    insertHandle.bind(1, it->second).bind(2, sender).bind(3, sender).run();
                }
                return it->second;
            };
            auto members = peopleByChat(conversations);
            std::map<std::string, std::int64_t> chatRows;
            for (const auto& chat : conversations.chats) {
                const auto rowid = static_cast<std::int64_t>(chatRows.size()) + 1;
                chatRows[chat.id] = rowid;
                const auto& people = members[chat.id];
                const std::string identifier = chat.isGroup || people.empty()
                                                   ? "chat" + std::to_string(100000 + rowid)
                                                   : *people.begin();
                insertChat.reset();
                insertChat.bind(1, rowid)
                    .bind(2, std::string("iMessage;") + (chat.isGroup ? "+;" : "-;") + identifier)
                    .bind(3, chat.isGroup ? groupStyle : oneToOneStyle)
                    .bind(4, identifier)
                    .bind(5, chat.isGroup ? std::optional(chat.name) : std::nullopt)
                    .run();
                for (const auto& person : people) {
                    insertMember.reset();
                    insertMember.bind(1, rowid).bind(2, handleOf(person)).run();
                }
            }
            std::int64_t rowid = 0;
            for (const auto& message : conversations.messages) {
                const auto chat = chatRows.find(message.chatId);
                if (chat == chatRows.end()) {
                    throw Error("sample-chatdb: message " + message.guid + " names no known chat");
                }
                ++rowid;
                const auto body = typedstream::encodeAttributedBody(
                    typedstream::AttributedBody::plain(message.text));
                // What the user has seen was read a minute after it came; the recent messages
                // are still unread.
                const bool read = message.isFromMe || !message.guid.starts_with("recent-");
                insertMessage.reset();
                insertMessage.bind(1, rowid)
                    .bind(2, message.guid)
                    .bind(3, message.text)
                    .bind(4, message.isFromMe ? std::int64_t{0} : handleOf(message.sender));
                insertMessage.bindBlob(5, body.data(), body.size());
                insertMessage.bind(6, message.date)
                    .bind(7, read && !message.isFromMe ? message.date + nanosecondsPerMinute
                                                       : std::int64_t{0})
                    .bind(8, message.date)
                    .bind(9, message.isFromMe ? 1 : 0)
                    .bind(10, read ? 1 : 0)
                    .run();
                insertJoin.reset();
                insertJoin.bind(1, chat->second).bind(2, rowid).bind(3, message.date).run();
            }
            summary.messages = rowid;
            summary.chats = static_cast<std::int64_t>(chatRows.size());
            summary.handles = static_cast<std::int64_t>(handles.size());
        });
    } catch (...) {
        db = SQLiteConnection();
        std::filesystem::remove(out, error);
        throw;
    }
    return summary;
}

std::int64_t writeConversationContacts(const std::filesystem::path& folder,
                                       const Conversations& conversations) {
    std::map<std::string, std::string> names;
    const auto person = onlyPersonOfChat(conversations);
    for (const auto& chat : conversations.chats) {
        const auto it = person.find(chat.id);
        if (it != person.end()) {
            names.emplace(it->second, chat.name);
        }
    }
    std::size_t unnamed = 0;
    for (const auto& message : conversations.messages) {
        if (!message.isFromMe && !names.contains(message.sender)) {
            names.emplace(message.sender, unnamed < groupOnlyNames.size()
                                              ? groupOnlyNames[unnamed]
                                              : "Friend " + std::to_string(unnamed + 1));
            ++unnamed;
        }
    }
    std::filesystem::create_directories(folder);
    std::int64_t written = 0;
    for (const auto& [address, name] : names) {
        const bool email = address.find('@') != std::string::npos;
        writeFileAtomically(folder / ("contact-" + std::to_string(++written) + ".vcf"),
                            "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:" + name + "\r\n" +
                                (email ? "EMAIL:" : "TEL:") + address + "\r\nEND:VCARD\r\n");
    }
    return written;
}

}  // namespace vask::sample
