#include "store/chat_db_reader.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "chat_db_fixture.h"
#include "support/locked_database.h"
#include "support/special_files.h"
#include "support/temp_dir.h"
#include "typedstream-writer/attributed_body.h"

namespace vask {
namespace {

using typedstream::AttributedBody;
using typedstream::encodeAttributedBody;
using Case = ChatDBReader::Error::Case;

constexpr std::int64_t group = 43;
constexpr std::int64_t oneToOne = 45;
const std::string fffc(typedstream::kAttachmentCharacter);

std::string hex(const std::vector<std::uint8_t>& bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (const auto byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0xF];
    }
    return text;
}

typedstream::AttributeRun run(
    std::string_view text,
    std::vector<std::pair<std::string, typedstream::AttributeValue>> extra = {}) {
    typedstream::AttributeRun r{typedstream::utf16Length(text), std::move(extra)};
    r.attributes.insert(r.attributes.begin(),
                        {std::string(typedstream::kMessagePartAttributeName), std::int64_t{0}});
    return r;
}

AttributedBody bodyWith(std::string text,
                        std::vector<std::pair<std::string, typedstream::AttributeValue>> extra) {
    AttributedBody body;
    body.runs.push_back(run(text, std::move(extra)));
    body.text = std::move(text);
    return body;
}

// The body cut right after the archived text's object, or with a broken pointer byte there.
std::vector<std::uint8_t> damagedAfterText(const std::string& text, bool truncate) {
    auto bytes = encodeAttributedBody(AttributedBody::plain(text));
    const auto at = std::search(bytes.begin(), bytes.end(), text.begin(), text.end());
    const auto end = static_cast<std::size_t>(at - bytes.begin()) + text.size() + 1;  // + END
    if (truncate) {
        bytes.resize(end + 1);
    } else {
        bytes[end] = 0x91;
    }
    return bytes;
}

TEST(ChatDBReader, BodyTextIsTheArchivedStringAlone) {
    const std::string url = "https://example.com/a?b=1";
    struct Row {
        const char* name;
        std::vector<std::uint8_t> body;
        std::optional<std::string> expected;
    };
    AttributedBody captioned;
    captioned.text = fffc + "look at this";
    captioned.runs = {run(fffc, {{std::string(typedstream::kFileTransferGUIDAttributeName),
                                  std::string("at_0_ABC")}}),
                      run("look at this")};
    const Row rows[] = {
        {"plain", encodeAttributedBody(AttributedBody::plain("hello there")), "hello there"},
        {"abbreviation", encodeAttributedBody(AttributedBody::plain("DNS is down")), "DNS is down"},
        {"attribute word", encodeAttributedBody(AttributedBody::plain("Attribute?")), "Attribute?"},
        {"emoji only", encodeAttributedBody(AttributedBody::plain("😂")), "😂"},
        {"punctuation only", encodeAttributedBody(AttributedBody::plain("?!")), "?!"},
        {"non-Latin", encodeAttributedBody(AttributedBody::plain("東京で会いましょう")),
         "東京で会いましょう"},
        {"link only",
         encodeAttributedBody(bodyWith(
             url, {{std::string(typedstream::kLinkAttributeName), typedstream::UrlValue{url}}})),
         url},
        {"mention",
         encodeAttributedBody(bodyWith(
             "Maya see you",
             {{std::string(typedstream::kMentionAttributeName), std::string("maya@example.com")}})),
         "Maya see you"},
        {"attachment only",
         encodeAttributedBody(
             bodyWith(fffc, {{std::string(typedstream::kFileTransferGUIDAttributeName),
                              std::string("at_0_5F2C-GUID")}})),
         std::nullopt},
        {"two attachments and blanks",
         encodeAttributedBody(AttributedBody::plain(fffc + " \n" + fffc)), std::nullopt},
        {"attachment with caption", encodeAttributedBody(captioned), fffc + "look at this"},
        {"immutable attributed string",
         [] {
             auto body = AttributedBody::plain("plain old");
             body.mutableAttributedString = false;
             return encodeAttributedBody(body);
         }(),
         "plain old"},
        {"truncated after the text", damagedAfterText("still here", true), "still here"},
        {"bad pointer after the text", damagedAfterText("still here", false), "still here"},
        {"truncated inside the header", {0x04, 0x0b}, std::nullopt},
        {"empty", {}, std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ChatDBReader::decodeAttributedBody(hex(row.body)), row.expected);
    }
    EXPECT_EQ(ChatDBReader::decodeAttributedBody("04XY"), std::nullopt);
}

TEST(ChatDBReader, HexTextToBytes) {
    using Bytes = std::vector<std::uint8_t>;
    EXPECT_EQ(ChatDBReader::dataFromHex(""), Bytes{});
    EXPECT_EQ(ChatDBReader::dataFromHex("A"), Bytes{});
    EXPECT_EQ(ChatDBReader::dataFromHex("0aFf"), (Bytes{0x0A, 0xFF}));
    EXPECT_EQ(ChatDBReader::dataFromHex("0aF"), Bytes{0x0A});
    EXPECT_EQ(ChatDBReader::dataFromHex("0g"), std::nullopt);
}

TEST(ChatDBReader, NormalizesHandles) {
    const std::pair<const char*, const char*> cases[] = {
        {"Someone@Example.COM", "someone@example.com"},
        {"  +44 20 7946 0000 (home)", "+442079460000"},
        {"(555) 010-0199", "+15550100199"},
        {"12345", "12345"},
        {"   ", "   "},
        {"(home)", "(home)"},
        {" 555.010.0123 ", "+15550100123"},
    };
    for (const auto& [raw, expected] : cases) {
        EXPECT_EQ(ChatDBReader::normalizeHandle(raw), expected) << raw;
    }
}

TEST(ChatDBReader, MapsRowsIntoShadowMessages) {
    test::TempDir dir;
    test::ChatDBFixture chatDB(dir / "chat.db");
    const auto maya = chatDB.addHandle("Maya@Example.com");
    const auto bob = chatDB.addHandle("(555) 010-0199", "SMS");
    const auto direct = chatDB.addChat("iMessage;-;+15550100", oneToOne);
    const auto groupChat = chatDB.addChat("iMessage;+;chat1", group, "Trip");
    const auto unnamed = chatDB.addChat("iMessage;+;chat2", group, "");
    chatDB.addMessage({"received", "hi", std::nullopt, 10, false, maya, direct});
    chatDB.addMessage({"to direct, no handle", "yo", std::nullopt, 20, true, 0, direct});
    chatDB.addMessage({"to group", "all", std::nullopt, 30, true, 0, groupChat});
    chatDB.addMessage({"body only", std::nullopt,
                       encodeAttributedBody(AttributedBody::plain("from body")), 40, false, bob,
                       unnamed});
    chatDB.addMessage({"text wins", "column", encodeAttributedBody(AttributedBody::plain("body")),
                       50, true, bob, std::nullopt});
    chatDB.addMessage({"no text", std::nullopt, std::nullopt, 60, false, bob, direct});
    chatDB.addMessage({"empty text", "", std::nullopt, 70, false, 999, direct});

    ChatDBReader reader(chatDB.path());
    const auto batch = reader.fetchMessages(0, 0, 100);
    EXPECT_EQ(batch.rawRowCount, 7);
    EXPECT_EQ(batch.lastRawTimestamp, 70);
    EXPECT_EQ(batch.lastRawRowid, 7);
    ASSERT_EQ(batch.messages.size(), 5u);
    const auto& m = batch.messages;

    EXPECT_EQ(m[0].sender, "maya@example.com");
    EXPECT_EQ(m[0].chatId, "iMessage;-;+15550100");
    EXPECT_FALSE(m[0].recipientHandle);
    EXPECT_FALSE(m[0].isGroup);

    EXPECT_EQ(m[1].sender, "me");
    EXPECT_EQ(m[1].recipientHandle, "+15550100");

    EXPECT_TRUE(m[2].isGroup);
    EXPECT_EQ(m[2].chatName, "Trip");
    EXPECT_FALSE(m[2].recipientHandle);

    EXPECT_EQ(m[3].text, "from body");
    EXPECT_EQ(m[3].sender, "+15550100199");
    EXPECT_EQ(m[3].chatName, "");

    EXPECT_EQ(m[4].text, "column");
    EXPECT_EQ(m[4].chatId, "unknown");
    EXPECT_EQ(m[4].recipientHandle, "+15550100199");
    EXPECT_EQ(m[4].timestamp, 50);
    EXPECT_EQ(m[4].sourceRowid, 5);
    EXPECT_FALSE(m[4].chatName);
}

TEST(ChatDBReader, TextColumnOfOnlyAttachmentCharactersIsNoText) {
    struct Row {
        const char* name;
        std::optional<std::string> column;
        std::optional<std::string> body;
        std::optional<std::string> expected;  // nothing: the row gives no message
    };
    const Row rows[] = {
        {"attachment character alone", fffc, std::nullopt, std::nullopt},
        {"two attachments and a blank", fffc + " " + fffc, std::nullopt, std::nullopt},
        {"attachment character, body with words", fffc, "from the body", "from the body"},
        {"attachment character, attachment body", fffc, fffc, std::nullopt},
        {"attachment with a caption", fffc + "caption", std::nullopt, fffc + "caption"},
        {"blanks alone", " \n", std::nullopt, std::nullopt},
        {"a word", "ok", std::nullopt, "ok"},
    };
    test::TempDir dir;
    test::ChatDBFixture chatDB(dir / "chat.db");
    for (const auto& row : rows) {
        std::optional<std::vector<std::uint8_t>> body;
        if (row.body) {
            body = encodeAttributedBody(AttributedBody::plain(*row.body));
        }
        chatDB.addMessage({row.name, row.column, body, 1, false, 0, std::nullopt});
    }
    ChatDBReader reader(chatDB.path());
    const auto batch = reader.fetchMessages(0, 0, 100);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto found = std::find_if(batch.messages.begin(), batch.messages.end(),
                                        [&](const auto& m) { return m.guid == row.name; });
        const std::optional<std::string> text =
            found == batch.messages.end() ? std::nullopt : std::optional(found->text);
        EXPECT_EQ(text, row.expected);
    }
}

TEST(ChatDBReader, TextsLeaveTheReaderAsValidUtf8) {
    const std::string fffd = "\xef\xbf\xbd";
    test::TempDir dir;
    test::ChatDBFixture chatDB(dir / "chat.db");
    const auto handle = chatDB.addHandle("ann\xe9@example.com");
    const auto chat = chatDB.addChat("iMessage;+;chat\xc3", group, "Tr\xffp");
    chatDB.addMember(chat, handle);
    chatDB.addMessage(
        {"g\x80", std::string("caf\xe9 ol\xc3"), std::nullopt, 1, false, handle, chat});
    ChatDBReader reader(chatDB.path());
    const auto batch = reader.fetchMessages(0, 0, 10);
    ASSERT_EQ(batch.messages.size(), 1u);
    const auto& m = batch.messages[0];
    const std::pair<const char*, std::string> rows[] = {
        {"text", m.text},      {"sender", m.sender},
        {"chat id", m.chatId}, {"chat name", m.chatName.value_or("")},
        {"guid", m.guid},
    };
    const std::string expected[] = {"caf" + fffd + " ol" + fffd, "ann" + fffd + "@example.com",
                                    "iMessage;+;chat" + fffd, "Tr" + fffd + "p", "g" + fffd};
    for (std::size_t k = 0; k < std::size(rows); ++k) {
        SCOPED_TRACE(rows[k].first);
        EXPECT_EQ(rows[k].second, expected[k]);
    }
    const auto participants = reader.fetchChatParticipants();
    ASSERT_EQ(participants.size(), 1u);
    EXPECT_EQ(participants[0].chatId, "iMessage;+;chat" + fffd);
    EXPECT_EQ(participants[0].handle, "ann" + fffd + "@example.com");
}

TEST(ChatDBReader, CursorMovesPastSkippedRowsAndTiesByRowid) {
    test::TempDir dir;
    test::ChatDBFixture chatDB(dir / "chat.db");
    {
        ChatDBReader empty(chatDB.path());
        const auto batch = empty.fetchMessages(77, 8, 10);
        EXPECT_EQ(batch.rawRowCount, 0);
        EXPECT_EQ(batch.lastRawTimestamp, 77);
        EXPECT_EQ(batch.lastRawRowid, 8);
        EXPECT_FALSE(empty.oldestMessageDate());
    }
    chatDB.addMessage({"a", std::nullopt, std::nullopt, 0, false, 0, std::nullopt});
    chatDB.addMessage({"b", std::nullopt, std::nullopt, 0, false, 0, std::nullopt});
    ChatDBReader reader(chatDB.path());
    EXPECT_FALSE(reader.oldestMessageDate());
    auto skipped = reader.fetchMessages(0, 0, 10);
    EXPECT_EQ(skipped.rawRowCount, 2);
    EXPECT_TRUE(skipped.messages.empty());
    EXPECT_EQ(skipped.lastRawRowid, 2);

    chatDB.addMessage({"same1", "x", std::nullopt, 5000000000, false, 0, std::nullopt});
    chatDB.addMessage({"same2", "y", std::nullopt, 5000000000, false, 0, std::nullopt});
    const auto second = reader.fetchMessages(5000000000, 3, 10);
    ASSERT_EQ(second.messages.size(), 1u);
    EXPECT_EQ(second.messages[0].guid, "same2");
    EXPECT_EQ(reader.remainingMessageCount(0, 2), 2);
    EXPECT_EQ(reader.totalMessageCount(), 4);
    EXPECT_EQ(reader.oldestMessageDate(), Clock::WallTime(std::chrono::seconds(978307200 + 5)));
}

TEST(ChatDBReader, ReadFailuresAreErrorsNotTheEndOfTheRows) {
    test::TempDir dir;
    const auto path = dir / "chat.db";
    {
        auto db = SQLiteConnection::open(path, SQLiteSupport::OpenMode::readWriteCreate);
        sample::createMessagesSchema(db.get());
        // The third row's text breaks while it is read, as a damaged page would.
        db.execute(
            "ALTER TABLE message RENAME TO message_rows;"
            "CREATE VIEW message AS SELECT ROWID AS ROWID, guid, json(text) AS text, "
            "attributedBody, date, is_from_me, handle_id FROM message_rows;"
            "INSERT INTO message_rows (guid, text, date) VALUES ('a', '\"one\"', 1), "
            "('b', '\"two\"', 2), ('c', 'not json', 3), ('d', '\"four\"', 4);");
    }
    ChatDBReader reader(path);
    try {
        reader.fetchMessages(0, 0, 10);
        FAIL() << "a broken row ended the batch quietly";
    } catch (const ChatDBReader::Error& error) {
        EXPECT_EQ(error.kind(), Case::queryFailed);
        EXPECT_STREQ(error.what(), "Query failed: malformed JSON");
    }
    EXPECT_EQ(reader.fetchMessages(0, 0, 2).messages.size(), 2u);
}

// The Messages app locks its database while it writes: a reader waits a moment for the lock to
// go, opening and reading as usual, and fails only when it lasts longer than the wait.
TEST(ChatDBReader, ALockedDatabaseIsWaitedForBriefly) {
    using std::chrono::milliseconds;
    struct Lock {
        const char* name;
        milliseconds hold;
        bool opens;
    };
    const Lock cases[] = {
        {"lock released within the wait", milliseconds(ChatDBReader::busyTimeoutMilliseconds / 4),
         true},
        {"lock outlasting the wait", milliseconds(ChatDBReader::busyTimeoutMilliseconds * 3),
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        test::ChatDBFixture chatDB(dir / "chat.db");
        chatDB.addPlainMessages(3, chatDB.addChat("iMessage;-;+15550100", oneToOne), "m");

        test::LockedDatabase lock(chatDB.path(), c.hold);
        try {
            ChatDBReader reader(chatDB.path());
            EXPECT_TRUE(c.opens);
            EXPECT_EQ(reader.fetchMessages(0, 0, 10).messages.size(), 3u);
        } catch (const ChatDBReader::Error& error) {
            EXPECT_FALSE(c.opens) << error.what();
            EXPECT_EQ(error.kind(), Case::failedToOpen);
            EXPECT_NE(std::string(error.what()).find("database is locked"), std::string::npos);
        }
        lock.release();
        // A read under way when a lock comes waits too.
        ChatDBReader reader(chatDB.path());
        test::LockedDatabase again(chatDB.path(), c.hold);
        if (c.opens) {
            EXPECT_EQ(reader.fetchMessages(0, 0, 10).messages.size(), 3u);
        }
    }
}

TEST(ChatDBReader, OpeningFailures) {
    test::TempDir dir;
    auto write = [&](const char* name, const std::string& content) {
        std::FILE* file = std::fopen((dir / name).c_str(), "wb");
        std::fputs(content.c_str(), file);
        std::fclose(file);
        return dir / name;
    };
    std::filesystem::create_directories(dir / "folder.db");
    const auto noMessages = dir / "no-messages.db";
    SQLiteConnection::open(noMessages, SQLiteSupport::OpenMode::readWriteCreate)
        .execute("CREATE TABLE chat (guid TEXT)");
    struct Row {
        const char* name;
        std::filesystem::path path;
        Case expected;
        std::string text;  // what() starts with it
    };
    ::mkfifo((dir / "fifo.db").c_str(), 0600);
    const Row rows[] = {
        {"missing", dir / "missing.db", Case::databaseNotFound, "chat.db not found"},
        {"FIFO", dir / "fifo.db", Case::failedToOpen,
         "Failed to open database: Could not read " + (dir / "fifo.db").string()},
        {"folder", dir / "folder.db", Case::failedToOpen, "Failed to open database: "},
        {"not a database",
         write("junk.db", "this is not a database, just some text that is long enough"),
         Case::failedToOpen, "Failed to open database: " + (dir / "junk.db").string() + ": "},
        {"empty file", write("empty.db", ""), Case::failedToOpen,
         "Failed to open database: " + (dir / "empty.db").string() + ": "},
        {"no message table", noMessages, Case::failedToOpen,
         "Failed to open database: " + noMessages.string() + ": "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_TRUE(test::returnsWithoutWaitingOn({dir / "fifo.db"}, [&] {
            try {
                ChatDBReader reader(row.path);
                ADD_FAILURE() << "opened";
            } catch (const ChatDBReader::Error& error) {
                EXPECT_EQ(error.kind(), row.expected);
                EXPECT_TRUE(std::string(error.what()).starts_with(row.text)) << error.what();
            }
        }));
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "missing.db"));
    EXPECT_TRUE(test::isFifo(dir / "fifo.db"));

    EXPECT_EQ(ChatDBReader::defaultChatDBPath({{"CHAT_DB_PATH", ""}, {"HOME", "/home/u"}}), "");
    EXPECT_EQ(ChatDBReader::defaultChatDBPath({{"HOME", "/home/u"}}),
              "/home/u/Library/Messages/chat.db");
}

TEST(ChatDBReader, OpensPathsWithURICharactersAsTheyAre) {
    test::TempDir dir;
    // Unescaped, "a?b#c%41" would open "a" (the decoy) or "a%41"; each must open itself.
    const char* folders[] = {"a?b#c%41 d", "a%41", "é ü"};
    {
        test::ChatDBFixture decoy(dir / "a");
        decoy.addMessage({"decoy", "wrong file", std::nullopt, 1, false, 0, std::nullopt});
    }
    for (const char* folder : folders) {
        SCOPED_TRACE(folder);
        std::filesystem::create_directories(dir / folder);
        test::ChatDBFixture chatDB(dir / folder / "chat.db");
        chatDB.addMessage({folder, "right file", std::nullopt, 1, false, 0, std::nullopt});
        ChatDBReader reader(chatDB.path());
        const auto batch = reader.fetchMessages(0, 0, 10);
        ASSERT_EQ(batch.messages.size(), 1u);
        EXPECT_EQ(batch.messages[0].guid, folder);
    }
}

// The Messages database is the user's chosen file: a link to it (into a copied Mac folder) is
// followed, as the user expects.
TEST(ChatDBReader, ALinkToTheMessagesDatabaseIsFollowed) {
    test::TempDir dir;
    std::filesystem::create_directories(dir / "copied");
    test::ChatDBFixture chatDB(dir / "copied" / "chat.db");
    chatDB.addMessage({"g1", "through the link", std::nullopt, 1, false, 0, std::nullopt});
    std::filesystem::create_directories(dir / "Messages");
    std::filesystem::create_symlink(chatDB.path(), dir / "Messages" / "chat.db");
    ChatDBReader reader(dir / "Messages" / "chat.db");
    EXPECT_EQ(reader.fetchMessages(0, 0, 10).messages.size(), 1u);
}

TEST(ChatDBReader, ListsParticipantsByChatThenHandle) {
    test::TempDir dir;
    test::ChatDBFixture chatDB(dir / "chat.db");
    const auto h1 = chatDB.addHandle("+15550100");
    const auto h2 = chatDB.addHandle("Bob@Example.com", "SMS");
    const auto b = chatDB.addChat("b-chat", group);
    const auto a = chatDB.addChat("a-chat", oneToOne);
    chatDB.addMember(b, h2);
    chatDB.addMember(b, h1);
    chatDB.addMember(a, h2);
    chatDB.addMember(a, 999);  // a handle row that is gone
    ChatDBReader reader(chatDB.path());
    const std::vector<ChatParticipant> expected = {{"a-chat", h2, "Bob@Example.com", "SMS"},
                                                   {"b-chat", h1, "+15550100", "iMessage"},
                                                   {"b-chat", h2, "Bob@Example.com", "SMS"}};
    EXPECT_EQ(reader.fetchChatParticipants(), expected);
}

}  // namespace
}  // namespace vask
