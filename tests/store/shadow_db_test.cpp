#include "store/shadow_db.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "platform/file_io.h"
#include "store_test_helpers.h"
#include "support/scoped_umask.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using Case = ShadowDB::Error::Case;
using test::checkMessagesFullTextIndex;
using test::fullTextMatches;
using test::queryInt;
using test::queryText;
using test::shadowMessage;

ShadowDB writer(const std::filesystem::path& path) {
    ShadowDB db(path, ShadowDB::OpenMode::readWrite);
    db.createSchemaIfNeeded();
    return db;
}

template <typename Body>
ShadowDB::Error errorOf(Body&& body) {
    try {
        body();
    } catch (const ShadowDB::Error& error) {
        return error;
    }
    ADD_FAILURE() << "no ShadowDB::Error thrown";
    return ShadowDB::Error(Case::queryFailed, "");
}

TEST(ShadowDB, FreshFileGetsTheWholeSchemaAtVersionOne) {
    test::TempDir dir;
    const auto path = dir / "shadow.db";
    auto db = writer(path);
    const std::vector<std::string> expected = {"chat_participants", "events",
                                               "events_fts",        "events_fts_config",
                                               "events_fts_data",   "events_fts_docsize",
                                               "events_fts_idx",    "join_cursor",
                                               "messages",
                                               "messages_fts",      "messages_fts_config",
                                               "messages_fts_data", "messages_fts_docsize",
                                               "messages_fts_idx",  "sync_state"};
    EXPECT_EQ(db.listTables(), expected);
    EXPECT_EQ(queryInt(path, "PRAGMA user_version"), 1);
    EXPECT_EQ(queryInt(path, "SELECT updated_at FROM sync_state WHERE id = 1"), 0);
    EXPECT_EQ(db.lastSyncWatermark(), (ShadowDB::SyncWatermark{0, 0}));
    EXPECT_EQ(queryInt(path, "SELECT COUNT(*) FROM sqlite_master WHERE type = 'trigger'"), 6);
    EXPECT_EQ(queryText(path, "PRAGMA journal_mode"), "wal");
    // Running it again on every open is harmless.
    const auto before = db.schemaVersion();
    db.createSchemaIfNeeded();
    EXPECT_EQ(db.schemaVersion(), before);
}

TEST(ShadowDB, SchemaVersionRule) {
    constexpr std::string_view legacySchema =
        "CREATE TABLE messages (rowid INTEGER PRIMARY KEY, guid TEXT UNIQUE NOT NULL, text TEXT);"
        "INSERT INTO messages (guid, text) VALUES ('old', 'from before versioning');"
        "CREATE TABLE sync_state (id INTEGER PRIMARY KEY, last_timestamp INTEGER,"
        " last_rowid INTEGER, updated_at INTEGER); INSERT INTO sync_state VALUES (1, 99, 99, 0);"
        "CREATE TABLE chat_participants (chat_id TEXT);";
    struct Row {
        const char* name;
        bool current;  // a database this build wrote, holding one message
        std::string_view extraSQL;
        int userVersion;
        bool refused;
        std::int64_t messagesAfter;
    };
    const Row cases[] = {
        {"current", true, "", 1, false, 1},
        {"before versioning", false, legacySchema, 0, false, 0},
        {"newer", true, "", 2, true, 1},
        {"new file", false, "", 0, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const auto path = dir / "shadow.db";
        if (c.current) {
            auto db = writer(path);
            db.insertBatch({shadowMessage("kept", "hello")});
            db.updateSyncState(5, 6, 1);
        }
        {
            auto raw = test::openFile(path);
            raw.execute(std::string(c.extraSQL) +
                        "CREATE TABLE IF NOT EXISTS file_cache (path TEXT);"
                        "INSERT INTO file_cache VALUES ('f');"
                        "PRAGMA user_version = " +
                        std::to_string(c.userVersion));
            raw.execute("PRAGMA wal_checkpoint(TRUNCATE)");
        }
        const auto bytesBefore = readFileIfExists(path);
        ShadowDB db(path);
        if (c.refused) {
            const auto error = errorOf([&] { db.createSchemaIfNeeded(); });
            EXPECT_EQ(error.kind(), ShadowDB::Error::Case::queryFailed);
            EXPECT_STREQ(error.what(),
                         "Query failed: shadow.db schema version 2 is newer than this build "
                         "supports (1) \u2014 refusing to rebuild a newer database; upgrade Vask "
                         "or delete shadow.db manually");
            db.close();
            EXPECT_EQ(readFileIfExists(path), bytesBefore);
            EXPECT_EQ(queryInt(path, "SELECT COUNT(*) FROM messages"), 1);
            continue;
        }
        db.createSchemaIfNeeded();
        EXPECT_EQ(queryInt(path, "PRAGMA user_version"), 1);
        EXPECT_EQ(db.messageCount(), c.messagesAfter);
        EXPECT_EQ(queryInt(path, "SELECT COUNT(*) FROM file_cache"), 1);
        EXPECT_EQ(db.lastSyncWatermark(), (c.messagesAfter > 0 ? ShadowDB::SyncWatermark{5, 6}
                                                               : ShadowDB::SyncWatermark{}));
        EXPECT_EQ(db.describeTable("chat_participants").size(), 4u);
        EXPECT_NO_THROW(checkMessagesFullTextIndex(path));
    }
}

TEST(ShadowDB, ReplacedMessagesKeepTheFullTextIndexExact) {
    test::TempDir dir;
    const auto path = dir / "shadow.db";
    auto db = writer(path);
    ASSERT_EQ(db.insertBatch({shadowMessage("g1", "original walrus"), shadowMessage("g2", "x")}),
              2u);
    const auto firstRowid = queryInt(path, "SELECT rowid FROM messages WHERE guid = 'g1'");

    // Re-synchronised rows, and one message linked to two chats within one batch.
    auto again = shadowMessage("g1", "edited narwhal");
    auto twice = shadowMessage("g2", "first chat");
    auto later = shadowMessage("g2", "second chat");
    later.chatId = "chat2";
    ASSERT_EQ(db.insertBatch({again, twice, later}), 3u);

    EXPECT_EQ(db.messageCount(), 2);
    EXPECT_EQ(queryText(path, "SELECT text FROM messages WHERE guid = 'g1'"), "edited narwhal");
    EXPECT_NE(queryInt(path, "SELECT rowid FROM messages WHERE guid = 'g1'"), firstRowid);
    EXPECT_EQ(queryText(path, "SELECT chat_id FROM messages WHERE guid = 'g2'"), "chat2");
    EXPECT_EQ(fullTextMatches(path, "walrus"), 0);
    EXPECT_EQ(fullTextMatches(path, "narwhal"), 1);
    EXPECT_EQ(fullTextMatches(path, "first"), 0);
    EXPECT_NO_THROW(checkMessagesFullTextIndex(path));
}

// A message read before its chat join was there comes without a chat; written over a row that
// has its chat (another run's, or a move's), it keeps that chat and takes the rest.
TEST(ShadowDB, AMessageWithoutAChatNeverTakesAwayTheChatOfTheRowItReplaces) {
    const std::string unknown(ShadowMessage::unknownChatId);
    struct Row {
        const char* name;
        std::string storedChat;
        std::string writtenChat;
        std::string expectedChat;
    };
    const Row rows[] = {
        {"chatless over a chat keeps the chat", "chat-club", unknown, "chat-club"},
        {"a chat over chatless takes it", unknown, "chat-club", "chat-club"},
        {"chatless over chatless stays so", unknown, unknown, unknown},
        {"another chat replaces the chat", "chat-zed", "chat-club", "chat-club"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir dir;
        const auto path = dir / "shadow.db";
        auto db = writer(path);
        auto inChat = [](std::string chat, const std::string& text) {
            auto message = shadowMessage("g1", text);
            message.chatId = chat;
            if (chat != ShadowMessage::unknownChatId) {
                message.chatName = chat == "chat-club" ? "Walrus Club" : "Zed";
                message.isGroup = true;
            }
            message.recipientHandle = std::nullopt;
            return message;
        };
        ASSERT_EQ(db.insertBatch({inChat(row.storedChat, "original")}), 1u);
        ASSERT_EQ(db.insertBatch({shadowMessage("other", "x"), inChat(row.writtenChat, "edited")}),
                  2u);
        EXPECT_EQ(queryText(path, "SELECT chat_id FROM messages WHERE guid = 'g1'"),
                  row.expectedChat);
        EXPECT_EQ(queryText(path, "SELECT text FROM messages WHERE guid = 'g1'"), "edited");
        EXPECT_EQ(queryInt(path, "SELECT is_group FROM messages WHERE guid = 'g1'"),
                  row.expectedChat == unknown ? 0 : 1);
        EXPECT_EQ(fullTextMatches(path, "edited AND walrus"), row.expectedChat == unknown ? 0 : 1);
        EXPECT_EQ(db.messageCount(), 2);
        EXPECT_NO_THROW(checkMessagesFullTextIndex(path));
    }
}

TEST(ShadowDB, AttachmentTypesAreEscapedJSONAndHashedSorted) {
    struct Row {
        std::vector<std::string> types;
        std::optional<std::string> json;
    };
    const Row cases[] = {
        {{}, std::nullopt},
        {{"b", "a"}, R"(["b","a"])"},
        {{"say \"hi\"", "back\\slash"}, R"(["say \"hi\"","back\\slash"])"},
    };
    for (const auto& c : cases) {
        auto message = shadowMessage("g", "text");
        message.attachmentTypes = c.types;
        EXPECT_EQ(message.attachmentTypesJSON(), c.json);
    }
    auto message = shadowMessage("g", "hi");
    message.attachmentTypes = {"b", "a"};
    auto sorted = message;
    sorted.attachmentTypes = {"a", "b"};
    EXPECT_EQ(message.contentHash(), sorted.contentHash());
    // SHA-256("hi|a,b") and SHA-256("hi|"), first 8 bytes.
    EXPECT_EQ(message.contentHash(), "2fe5f4466b9dda78");
    EXPECT_EQ(shadowMessage("g", "hi").contentHash(), "9b8e28425123d858");

    test::TempDir dir;
    const auto path = dir / "shadow.db";
    auto db = writer(path);
    db.insertBatch({message});
    EXPECT_EQ(queryText(path, "SELECT attachment_types FROM messages"), R"(["b","a"])");
    EXPECT_EQ(queryText(path, "SELECT content_hash FROM messages"), message.contentHash());
}

TEST(ShadowDB, AFailingRowLeavesNoneOfItsBatch) {
    test::TempDir dir;
    const auto path = dir / "shadow.db";
    auto db = writer(path);
    db.insertBatch({shadowMessage("kept", "before")});
    test::openFile(path).execute(
        "CREATE TRIGGER refuse BEFORE INSERT ON messages WHEN new.guid = 'bad' "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END");
    const auto error = errorOf([&] {
        db.insertBatch(
            {shadowMessage("a", "one"), shadowMessage("bad", "two"), shadowMessage("c", "three")});
    });
    EXPECT_EQ(error.kind(), Case::insertFailed);
    EXPECT_TRUE(error.message().starts_with("Failed on guid=bad: refused [code=")) << error.what();
    EXPECT_NE(error.message().find(" wal="), std::string::npos);
    EXPECT_EQ(db.messageCount(), 1);
    // The connection is usable again: the transaction was rolled back.
    EXPECT_EQ(db.insertBatch({shadowMessage("d", "after")}), 1u);
    EXPECT_NO_THROW(checkMessagesFullTextIndex(path));
}

TEST(ShadowDB, ParticipantsAreReplacedAllOrNothing) {
    test::TempDir dir;
    const auto path = dir / "shadow.db";
    auto db = writer(path);
    const std::vector<ChatParticipant> first = {{"chat", 2, "+15550100", "iMessage"},
                                                {"chat", 1, "a@b.c", std::nullopt}};
    db.replaceChatParticipants(first);
    const std::vector<ChatParticipant> byHandleId = {first[1], first[0]};
    EXPECT_EQ(db.fetchChatParticipants("chat"), byHandleId);

    const auto error = errorOf([&] {
        db.replaceChatParticipants({{"other", 1, "x", std::nullopt}, {"other", 1, "y", "SMS"}});
    });
    EXPECT_EQ(error.kind(), Case::insertFailed);
    EXPECT_EQ(db.fetchChatParticipants("chat"), byHandleId);
    EXPECT_TRUE(db.fetchChatParticipants("other").empty());
}

TEST(ShadowDB, SyncStateStoresTheCursorAndStampsTheTime) {
    test::TempDir dir;
    const auto path = dir / "shadow.db";
    auto db = writer(path);
    db.updateSyncState(700, 42, 3);
    EXPECT_EQ(db.lastSyncWatermark(), (ShadowDB::SyncWatermark{700, 42}));
    EXPECT_EQ(queryInt(path, "SELECT message_count FROM sync_state"), 3);
    EXPECT_GT(queryInt(path, "SELECT updated_at FROM sync_state"), 1600000000);
    test::openFile(path).execute("DELETE FROM sync_state");
    EXPECT_EQ(db.lastSyncWatermark(), (ShadowDB::SyncWatermark{0, 0}));
}

TEST(ShadowDB, OpeningAndMisuseFailures) {
    test::TempDir dir;
    EXPECT_EQ(errorOf([&] { ShadowDB(dir / "missing.db", ShadowDB::OpenMode::readOnly); }).kind(),
              Case::failedToOpen);
    EXPECT_FALSE(std::filesystem::exists(dir / "missing.db"));

    const auto path = dir / "created.db";
    ShadowDB db(path);
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_TRUE(db.listTables().empty());
    EXPECT_EQ(queryInt(path, "PRAGMA recursive_triggers"), 0);  // a per-connection setting

    for (const char* name : {"messages; DROP TABLE x", "two words", "1abc", ""}) {
        const auto error = errorOf([&] { db.describeTable(name); });
        EXPECT_EQ(error.kind(), Case::queryFailed);
        EXPECT_EQ(error.message(), std::string("Invalid table name: ") + name);
    }
    db.close();
    db.close();
    EXPECT_STREQ(errorOf([&] { db.messageCount(); }).what(), "Query failed: database is closed");
    EXPECT_STREQ(errorOf([&] { db.createSchemaIfNeeded(); }).what(),
                 "Query failed: database is closed");
}

// Refuses one pragma, by name, on every connection opened while it is registered.
const char* refusedPragma = nullptr;

int refusePragma(void*, int action, const char* name, const char*, const char*, const char*) {
    return action == SQLITE_PRAGMA && refusedPragma != nullptr && name != nullptr &&
                   std::string_view(name) == refusedPragma
               ? SQLITE_DENY
               : SQLITE_OK;
}

int installRefusal(sqlite3* db, char**, const sqlite3_api_routines*) {
    return sqlite3_set_authorizer(db, refusePragma, nullptr);
}

TEST(ShadowDB, AFailedWriterPragmaIsNamedInTheError) {
    test::TempDir dir;
    sqlite3_auto_extension(reinterpret_cast<void (*)()>(installRefusal));
    for (const char* pragma : {"recursive_triggers", "cache_size", "temp_store"}) {
        SCOPED_TRACE(pragma);
        refusedPragma = pragma;
        try {
            ShadowDB db(dir / "shadow.db", ShadowDB::OpenMode::readWrite);
            ADD_FAILURE() << "opened";
        } catch (const ShadowDB::Error& error) {
            EXPECT_EQ(error.kind(), Case::queryFailed);
            EXPECT_EQ(error.message(), std::string(pragma) + ": not authorized");
        }
    }
    refusedPragma = nullptr;
    sqlite3_reset_auto_extension();
}

TEST(ShadowDB, DefaultPathFollowsTheEnvironment) {
    test::TempDir dir;
    EXPECT_EQ(ShadowDB::defaultShadowDBPath({{"SHADOW_DB_PATH", "relative/x.db"}}, std::nullopt),
              "relative/x.db");
    const Environment env = {{"XDG_DATA_HOME", dir.path().string()}, {"HOME", "/nonexistent"}};
    const auto path = ShadowDB::defaultShadowDBPath(env, "ai.ternwick.Vask");
    EXPECT_EQ(path.filename(), "shadow.db");
    EXPECT_TRUE(std::filesystem::is_directory(path.parent_path()));
}

TEST(ShadowDB, ConcurrentWritersSerialiseAndKeepTheIndexExact) {
    test::TempDir dir;
    const auto path = dir / "shadow.db";
    writer(path);
    constexpr int rounds = 20;
    auto work = [&](int writerNumber) {
        ShadowDB db(path);
        db.createSchemaIfNeeded();
        for (int round = 0; round < rounds; ++round) {
            std::vector<ShadowMessage> batch;
            for (int i = 0; i < 50; ++i) {
                // Both writers write the same guids, so they keep replacing each other's rows.
                batch.push_back(shadowMessage(
                    "g" + std::to_string(i),
                    "writer" + std::to_string(writerNumber) + " round" + std::to_string(round)));
            }
            db.insertBatch(batch);
        }
    };
    std::thread a(work, 1);
    std::thread b(work, 2);
    a.join();
    b.join();
    EXPECT_EQ(queryInt(path, "SELECT COUNT(*) FROM messages"), 50);
    EXPECT_EQ(fullTextMatches(path, "round0"), 0);
    EXPECT_NO_THROW(checkMessagesFullTextIndex(path));
}

// The copy of the person's messages is private from its creation, whatever the umask, and a
// linked path is refused rather than written through.
TEST(ShadowDB, TheFileIsOwnerOnlyFromItsCreationAndNeverALink) {
    const test::PermissiveUmask permissive;
    test::TempDir dir;
    const auto path = dir / "shadow.db";
    {
        auto db = writer(path);
        db.insertBatch({shadowMessage("g1", "hello")});
    }
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    const auto target = dir / "unrelated";
    std::ofstream(target) << "unrelated";
    ::chmod(target.c_str(), 0644);
    const auto linked = dir / "linked.db";
    std::filesystem::create_symlink(target, linked);
    const auto error = errorOf([&] { writer(linked); });
    EXPECT_EQ(error.kind(), Case::failedToOpen);
    EXPECT_NE(std::string(error.what()).find(linked.string()), std::string::npos) << error.what();
    EXPECT_TRUE(std::filesystem::is_symlink(linked));
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

}  // namespace
}  // namespace vask
