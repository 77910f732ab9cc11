#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "chat_db_fixture.h"
#include "sources/contacts_manager.h"
#include "sources/contacts_store.h"
#include "store/chat_db_reader.h"
#include "store/shadow_db.h"
#include "store/shadow_sync.h"
#include "store_test_helpers.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using Case = ShadowDB::Error::Case;
using test::openFile;

constexpr std::int64_t secondNs = 1000000000;
// Messages-epoch nanoseconds of a Unix time.
constexpr std::int64_t epochNs(std::int64_t unix) {
    return (unix - 978307200) * secondNs;
}
constexpr std::int64_t now = 1750000000;  // the queries' "now", Unix seconds

ShadowMessage message(std::string guid, std::string chatId, std::string sender, std::string text,
                      std::int64_t unix, bool fromMe = false, bool group = false) {
    ShadowMessage value;
    value.guid = std::move(guid);
    value.chatId = std::move(chatId);
    value.sender = fromMe ? "me" : sender;
    value.recipientHandle = std::move(sender);
    value.text = std::move(text);
    value.timestamp = epochNs(unix);
    value.isFromMe = fromMe;
    value.isGroup = group;
    return value;
}

ContactPayload contact(std::string id, std::string name, std::vector<ContactIdentifier> ids) {
    ContactPayload payload;
    payload.appleID = std::move(id);
    payload.displayName = std::move(name);
    payload.identifiers = std::move(ids);
    return payload;
}

// A shadow database and a contacts database in one folder.
struct Databases {
    test::TempDir dir;
    std::filesystem::path shadowPath = dir / "shadow.db";
    std::filesystem::path contactsPath = dir / "contacts.db";
    ShadowDB db{shadowPath, ShadowDB::OpenMode::readWrite};

    Databases() {
        db.createSchemaIfNeeded();
        ContactsStore contacts(contactsPath);
        contacts.createSchemaIfNeeded();
        contacts.replaceAll({
            contact("c-ann", "Ann Archer", {{ContactIdentifierType::phone, "+15550000001"}}),
            contact("c-bob", "Bob Baker", {{ContactIdentifierType::email, "bob@example.com"}}),
        });
    }
    void markDeleted(const std::string& guid) {
        auto connection = openFile(shadowPath);
        SQLiteStatement statement(connection.get(),
                                  "UPDATE messages SET deleted_at = 1 WHERE guid = ?");
        statement.bind(1, guid).run();
    }
    std::int64_t rowidOf(const std::string& guid) {
        return test::queryInt(shadowPath, "SELECT rowid FROM messages WHERE guid = '" + guid + "'");
    }
};

template <typename T, typename F>
std::vector<std::string> project(const std::vector<T>& items, F field) {
    std::vector<std::string> out;
    for (const auto& item : items) {
        out.push_back(field(item));
    }
    return out;
}

TEST(ShadowQueries, SearchRanksAndTreatsOnlyBadSyntaxAsNoResults) {
    Databases dbs;
    dbs.db.insertBatch({
        message("g1", "chat-a", "+15550000001", "pizza tonight pizza pizza", now - 10),
        message("g2", "chat-b", "bob@example.com", "pizza maybe later today, or tomorrow", now - 5,
                false, true),
    });
    const auto hits = dbs.db.search("pizza", 10);
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].guid, "g1");
    EXPECT_LT(hits[0].rank, hits[1].rank);
    EXPECT_TRUE(hits[1].isGroup);
    EXPECT_EQ(hits[1].timestamp, epochNs(now - 5));
    EXPECT_EQ(dbs.db.search("\"pizza tonight\"", 10).size(), 1u);
    EXPECT_EQ(dbs.db.search("pizza", 1).size(), 1u);

    for (const auto* malformed : {"\"unterminated", "AND", "nosuchcolumn:pizza", "pizza OR"}) {
        EXPECT_TRUE(dbs.db.search(malformed, 10).empty()) << malformed;
    }
}

TEST(ShadowQueries, AwaitingRepliesListsOnlyIncomingOneToOneChatsFromContacts) {
    Databases dbs;
    const std::string ann = "+15550000001";
    const std::string bob = "bob@example.com";
    dbs.db.insertBatch({
        // Listed: newest message incoming from a contact.
        message("a1", "waiting", ann, "are you coming?", now - 100),
        // Not listed: the user answered last, though an older message is incoming.
        message("b1", "answered", ann, "question", now - 300),
        message("b2", "answered", ann, "answer", now - 200, true),
        // Not listed: group chat, unknown sender, outside the window.
        message("c1", "group", ann, "hello all", now - 50, false, true),
        message("d1", "stranger", "+15559999999", "who is this", now - 40),
        message("e1", "old", bob, "long ago", now - 8 * 86400),
        // Reactions are dropped; a plain sentence starting with a verb is not one.
        message("f1", "reacted", bob, "Loved \u201Cdinner\u201D", now - 30),
        message("g1", "verb", ann, "Loved dinner", now - 20),
        message("h1", "liked", bob, "Liked a photo of the beach", now - 25),
        // Listed: the user's newer reply was deleted.
        message("i1", "deleted-reply", bob, "did you see it?", now - 400),
        message("i2", "deleted-reply", bob, "yes", now - 350, true),
        // Equal timestamps: the later row decides, here the user's own.
        message("j1", "tie", ann, "ping", now - 10),
        message("j2", "tie", ann, "pong", now - 10, true),
    });
    dbs.markDeleted("i2");

    const auto replies = dbs.db.awaitingReplies(dbs.contactsPath, 7, 50, now);
    EXPECT_EQ(project(replies, [](const auto& r) { return r.chatId; }),
              (std::vector<std::string>{"verb", "waiting", "deleted-reply"}));
    ASSERT_FALSE(replies.empty());
    EXPECT_EQ(replies[1].contactName, "Ann Archer");
    EXPECT_EQ(replies[1].sender, ann);
    EXPECT_EQ(replies[1].lastMessageText, "are you coming?");
    EXPECT_EQ(replies[1].timestampUnix, now - 100);
    EXPECT_EQ(replies[2].contactName, "Bob Baker");

    // The limit applies before reactions are dropped: two rows read, one of them a reaction.
    EXPECT_EQ(dbs.db.awaitingReplies(dbs.contactsPath, 7, 2, now).size(), 1u);
    // The window edge is inclusive.
    EXPECT_EQ(dbs.db.awaitingReplies(dbs.contactsPath, 0, 50, now - 20).size(), 1u);
}

TEST(ShadowQueries, ReactionRecognition) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"Loved \u201Cdinner\u201D", true},
        {"Loved dinner", false},
        {"Liked a photo", true},
        {"Disliked an image", true},
        {"Laughed at \"joke\"", true},
        {"Emphasized it was \u201Ccool\u201D", true},
        {"Questioned whether it ends quoted\"", true},
        {"Laughed atjoke\"", false},
        {"Loved", false},
        {"loved \u201Cx\u201D", false},
        {"I Loved \u201Cit\u201D", false},
        {"Questioned everything", false},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(AwaitingReply::isLikelyReaction(text), expected) << text;
    }
}

TEST(ShadowQueries, AwaitingReplyJSONOmitsAnAbsentUnixTime) {
    AwaitingReply reply{"chat", "Ann", "+1", "hi", 3 * secondNs + 5, std::nullopt};
    const nlohmann::json json = reply;
    EXPECT_FALSE(json.contains("timestampUnix"));
    EXPECT_EQ(json.get<AwaitingReply>(), reply);
    EXPECT_EQ(reply.effectiveTimestampUnix(), 978307203);
    reply.timestampUnix = 42;
    EXPECT_EQ(nlohmann::json(reply).get<AwaitingReply>(), reply);
    EXPECT_EQ(reply.effectiveTimestampUnix(), 42);
}

TEST(ShadowQueries, FetchMessagesKeepsInputOrderAndDuplicates) {
    Databases dbs;
    dbs.db.insertBatch({
        message("a", "chat-1", "+15550000001", "from ann", now - 3),
        message("b", "chat-2", "bob@example.com", "mine", now - 2, true),
        message("c", "chat-3", "+15551234567", "from a stranger", now - 1),
        message("gone", "chat-1", "+15550000001", "deleted", now),
    });
    dbs.markDeleted("gone");

    struct Lookup {
        std::vector<std::string> guids;
        int limit;
        std::vector<std::string> expected;
    };
    const std::vector<Lookup> cases = {
        {{"b", "a", "b"}, 10, {"b", "a", "b"}},
        {{"b", "a", "b"}, 2, {"b", "a"}},
        {{"zzz", "c", "gone"}, 10, {"c"}},
        {{}, 10, {}},
        {{"a"}, 0, {}},
    };
    for (const auto& test : cases) {
        const auto found = dbs.db.fetchMessages(test.guids, dbs.contactsPath, test.limit);
        EXPECT_EQ(project(found, [](const auto& m) { return m.guid; }), test.expected);
    }
    const auto found = dbs.db.fetchMessages({"a", "b", "c"}, dbs.contactsPath, 10);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].contactName, "Ann Archer");
    EXPECT_EQ(found[1].contactName, "You");
    EXPECT_TRUE(found[1].isFromMe);
    EXPECT_EQ(found[2].contactName, "+15551234567");
    EXPECT_EQ(found[2].timestampUnix, now - 1);

    const auto recent = dbs.db.recentMessages(1, 10, dbs.contactsPath, now);
    EXPECT_EQ(project(recent, [](const auto& m) { return m.guid; }),
              (std::vector<std::string>{"c", "b", "a"}));

    // The attach is per call: the connection is left without "contacts".
    EXPECT_EQ(dbs.db.executeReadOnly("PRAGMA database_list", 10).rows.size(), 1u);
}

TEST(ShadowQueries, MissingContactsDatabaseIsAnErrorAndStaysMissing) {
    Databases dbs;
    dbs.db.insertBatch({message("a", "chat-1", "+15550000001", "hi", now)});
    const auto missing = dbs.dir / "absent" / "contacts.db";
    for (const auto& call : std::vector<std::function<void()>>{
             [&] { dbs.db.fetchMessages({"a"}, missing, 5); },
             [&] { dbs.db.awaitingReplies(missing, 7, 5, now); },
             [&] { dbs.db.recentMessages(7, 5, missing, now); },
         }) {
        try {
            call();
            ADD_FAILURE() << "no error";
        } catch (const ShadowDB::Error& error) {
            EXPECT_EQ(error.kind(), Case::queryFailed);
            EXPECT_TRUE(error.message().starts_with("attach contacts: ")) << error.message();
        }
    }
    EXPECT_FALSE(std::filesystem::exists(missing));
}

// Before contacts were ever synchronised the contacts database holds no contact: nobody is a
// known contact yet, and the names of cited messages fall back to their handles.
TEST(ShadowQueries, AContactsDatabaseNeverSynchronisedHasNoContactsButNoErrors) {
    Databases dbs;
    dbs.db.insertBatch({message("a", "chat-1", "+15550000001", "hi", now)});
    const auto fresh = dbs.dir / "fresh-contacts.db";
    { ContactsStore opened(fresh); }
    EXPECT_TRUE(dbs.db.awaitingReplies(fresh, 7, 5, now).empty());
    EXPECT_EQ(dbs.db.fetchMessages({"a"}, fresh, 5).size(), 1u);
}

// The contacts database stays attached between calls; what it holds must still be read fresh:
// its first synchronisation, a later one, and a new file put in its place. A statement of
// executeReadOnly never sees it.
TEST(ShadowQueries, TheKeptContactsAttachFollowsTheContactsDatabase) {
    Databases dbs;
    dbs.db.insertBatch({message("a1", "waiting", "+15550000001", "are you coming?", now - 100)});
    ShadowDB reader(dbs.shadowPath, ShadowDB::OpenMode::readOnly);
    const auto names = [&](const std::filesystem::path& contacts) {
        return project(reader.awaitingReplies(contacts, 7, 10, now),
                       [](const auto& r) { return r.contactName; });
    };
    const auto fresh = dbs.dir / "first-run" / "contacts.db";
    std::filesystem::create_directories(fresh.parent_path());
    { ContactsStore opened(fresh); }
    EXPECT_TRUE(names(fresh).empty());
    const auto synchronise = [](const std::filesystem::path& path, const std::string& name) {
        ContactsStore store(path);
        store.createSchemaIfNeeded();
        store.replaceAll(
            {contact("c-ann", name, {{ContactIdentifierType::phone, "+15550000001"}})});
    };
    synchronise(fresh, "Ann Archer");
    EXPECT_EQ(names(fresh), std::vector<std::string>{"Ann Archer"});
    synchronise(fresh, "Ann A.");
    EXPECT_EQ(names(fresh), std::vector<std::string>{"Ann A."});

    // Removed and made again (a reset of the application's data): a new file at the same path.
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::filesystem::remove(fresh.string() + suffix);
    }
    synchronise(fresh, "Ann Renamed");
    EXPECT_EQ(names(fresh), std::vector<std::string>{"Ann Renamed"});
    EXPECT_EQ(names(dbs.contactsPath), std::vector<std::string>{"Ann Archer"});

    EXPECT_THROW(reader.executeReadOnly("SELECT count(*) FROM contacts.contacts", 1),
                 ShadowDB::Error);
    EXPECT_EQ(names(dbs.contactsPath), std::vector<std::string>{"Ann Archer"});
}

TEST(ShadowQueries, PagedQueriesFollowTheKeysetCursor) {
    Databases dbs;
    const std::string ann = "+15550000001";
    dbs.db.insertBatch({
        message("t1", "chat-ann", ann, "one", now - 40),
        message("t2", "chat-ann", ann, "two", now - 30, true),
        message("t3", "chat-ann", ann, "three", now - 30, true),
        message("t4", "chat-ann", ann, "four", now - 10, true),
        message("x1", "chat-bob", "bob@example.com", "to bob", now - 5, true),
        message("x2", "chat-bob", "bob@example.com", "deleted to bob", now - 4, true),
    });
    dbs.markDeleted("x2");
    const MessageCursor newest{epochNs(now - 10), dbs.rowidOf("t4")};
    // t2 and t3 share a timestamp: the cursor on t3 must still return t2.
    const MessageCursor atT3{epochNs(now - 30), dbs.rowidOf("t3")};

    auto texts = [](const std::vector<ThreadMessage>& thread) {
        return project(thread, [](const auto& m) { return m.text; });
    };
    EXPECT_EQ(texts(dbs.db.recentThread("chat-ann", std::nullopt, 10)),
              (std::vector<std::string>{"one", "two", "three", "four"}));
    EXPECT_EQ(texts(dbs.db.recentThread("chat-ann", newest, 10)),
              (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(texts(dbs.db.recentThread("chat-ann", atT3, 10)),
              (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(texts(dbs.db.recentThread("chat-ann", std::nullopt, 2)),
              (std::vector<std::string>{"three", "four"}));

    EXPECT_EQ(dbs.db.sentMessages(ann, std::nullopt, 10),
              (std::vector<std::string>{"four", "three", "two"}));
    EXPECT_EQ(dbs.db.sentMessages(ann, atT3, 10), (std::vector<std::string>{"two"}));
    EXPECT_EQ(dbs.db.recentSentSample(ann, std::nullopt, 10), (std::vector<std::string>{"to bob"}));
    EXPECT_EQ(dbs.db.recentSentSample("bob@example.com", newest, 10),
              (std::vector<std::string>{"three", "two"}));

    const auto exemplars = dbs.db.personaExemplars(ann, 2);
    EXPECT_EQ(exemplars, (std::vector<PersonaExemplar>{{"t4", "four"}, {"t3", "three"}}));
}

TEST(ShadowQueries, PersonaThreadNeedsAOneToOneChatWithTheHandle) {
    Databases dbs;
    const std::string ann = "+15550000001";
    dbs.db.insertBatch({
        message("p1", "chat-ann", ann, "hi from ann", now - 20),
        message("p2", "chat-ann", ann, "hi ann", now - 10, true),
        message("q1", "group", ann, "group hello", now - 5, false, true),
    });
    const auto thread = dbs.db.personaThread("chat-ann", ann, 10);
    EXPECT_EQ(thread, (std::vector<PersonaThreadMessage>{{"p1", ann, "hi from ann", false},
                                                         {"p2", "me", "hi ann", true}}));
    EXPECT_TRUE(dbs.db.personaThread("chat-ann", "bob@example.com", 10).empty());
    EXPECT_TRUE(dbs.db.personaThread("group", ann, 10).empty());
    const nlohmann::json json = thread[1];
    EXPECT_EQ(json.at("is_from_me"), true);
    EXPECT_EQ(json.get<PersonaThreadMessage>(), thread[1]);
}

TEST(ShadowQueries, TextsComeBackAsValidUtf8WhateverTheRowsHold) {
    // Rows written by an older build or another tool, with bytes that are not UTF-8: a Latin-1
    // e, a cut-off sequence, a lone continuation byte.
    Databases dbs;
    const std::string ann = "+15550000001";
    auto received = message("r1", "chat-ann", ann, "caf\xe9 hello", now - 20);
    received.chatName = "Tr\xffp";
    dbs.db.insertBatch({received, message("s1", "chat-ann", ann, "hello \xc3", now - 10, true),
                        message("s2", "chat-ann", ann, "\x80hello", now - 5, true)});
    const std::string fffd = "\xef\xbf\xbd";
    std::vector<std::pair<const char*, std::vector<std::string>>> rows;
    auto add = [&](const char* name, std::vector<std::string> texts) {
        rows.emplace_back(name, std::move(texts));
    };
    std::vector<std::string> sourceTexts;
    for (const auto& m : dbs.db.fetchMessages({"r1", "s1", "s2"}, dbs.contactsPath, 10)) {
        sourceTexts.push_back(m.text);
        sourceTexts.push_back(m.chatName.value_or(""));
    }
    add("fetchMessages", sourceTexts);
    auto textOf = [](const auto& item) { return item.text; };
    add("recentMessages", project(dbs.db.recentMessages(30, 10, dbs.contactsPath, now), textOf));
    add("search", project(dbs.db.search("hello", 10), textOf));
    add("recentThread", project(dbs.db.recentThread("chat-ann", std::nullopt, 10), textOf));
    add("sentMessages", dbs.db.sentMessages(ann, std::nullopt, 10));
    add("personaExemplars", project(dbs.db.personaExemplars(ann, 10), textOf));
    add("personaThread", project(dbs.db.personaThread("chat-ann", ann, 10), textOf));
    std::vector<std::string> cells;
    for (const auto& row :
         dbs.db.executeReadOnly("SELECT text, chat_name FROM messages", 10).rows) {
        for (const auto& [column, value] : row) {
            if (const auto* text = std::get_if<std::string>(&value.value)) {
                cells.push_back(*text);
            }
        }
    }
    add("executeReadOnly", cells);

    const std::set<std::string> expected = {"caf" + fffd + " hello", "hello " + fffd,
                                            fffd + "hello", "Tr" + fffd + "p", ""};
    for (const auto& [name, values] : rows) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(values.empty());
        for (const auto& value : values) {
            EXPECT_TRUE(expected.contains(value)) << value;
        }
    }
}

// Overwrites the messages table's only page, as a failing disk would: queries still prepare
// (the schema is intact) and fail while stepping.
void corruptMessagesTable(const std::filesystem::path& path) {
    std::int64_t root = 0;
    std::int64_t pageSize = 0;
    {
        auto db = openFile(path);
        db.execute("PRAGMA wal_checkpoint(TRUNCATE)");
        root = test::queryInt(path, "SELECT rootpage FROM sqlite_master WHERE name = 'messages'");
        pageSize = test::queryInt(path, "PRAGMA page_size");
    }
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp((root - 1) * pageSize);
    const std::string garbage(static_cast<std::size_t>(pageSize), '\xFF');
    file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
}

TEST(ShadowQueries, StepFailuresAreErrorsNotEmptyResults) {
    Databases dbs;
    const std::string ann = "+15550000001";
    dbs.db.insertBatch({message("a", "chat-ann", ann, "pizza", now - 10),
                        message("b", "chat-ann", ann, "sure", now - 5, true)});
    dbs.db.close();
    corruptMessagesTable(dbs.shadowPath);
    ShadowDB db(dbs.shadowPath, ShadowDB::OpenMode::readOnly);

    const std::vector<std::pair<const char*, std::function<void()>>> queries = {
        {"search", [&] { db.search("pizza", 10); }},
        {"awaitingReplies", [&] { db.awaitingReplies(dbs.contactsPath, 7, 10, now); }},
        {"fetchMessages", [&] { db.fetchMessages({"a"}, dbs.contactsPath, 10); }},
        {"recentMessages", [&] { db.recentMessages(7, 10, dbs.contactsPath, now); }},
        {"sentMessages", [&] { db.sentMessages(ann, std::nullopt, 10); }},
        {"recentSentSample", [&] { db.recentSentSample("x", std::nullopt, 10); }},
        {"recentThread", [&] { db.recentThread("chat-ann", std::nullopt, 10); }},
        {"personaExemplars", [&] { db.personaExemplars(ann, 10); }},
        {"personaThread", [&] { db.personaThread("chat-ann", ann, 10); }},
    };
    for (const auto& [name, query] : queries) {
        try {
            query();
            ADD_FAILURE() << name << ": no error";
        } catch (const ShadowDB::Error& error) {
            EXPECT_EQ(error.kind(), Case::queryFailed) << name;
        }
    }
}

TEST(ShadowQueries, ReadOnlyGuardRefusesEverythingThatWrites) {
    Databases dbs;
    dbs.db.insertBatch({message("a", "chat-1", "+15550000001", "pizza", now)});
    const auto attached = dbs.dir / "created-by-attach.db";
    ShadowDB reader(dbs.shadowPath, ShadowDB::OpenMode::readOnly);

    struct Refusal {
        std::string sql;
        std::string message;
    };
    const std::string readOnly = "Only read-only SQL statements are allowed";
    const std::vector<Refusal> refusals = {
        {"DELETE FROM messages", readOnly},
        {"  \n ", "SQL query must not be empty"},
        {"SELECT 1; SELECT 2", "Only a single SQL statement is allowed"},
        {"SELECT 1; DELETE FROM messages", "Only a single SQL statement is allowed"},
        {"ATTACH DATABASE '" + attached.string() + "' AS other", readOnly},
        {"DETACH DATABASE main", readOnly},
        {"BEGIN IMMEDIATE", readOnly},
        {"SAVEPOINT s", readOnly},
        {"PRAGMA user_version = 7", readOnly},
        {"PRAGMA journal_mode = DELETE", readOnly},
        {"PRAGMA wal_checkpoint(TRUNCATE)", readOnly},
        {"PRAGMA query_only = 0", readOnly},
        {"CREATE TEMP TABLE t (x)", readOnly},
    };
    for (auto* db : {&dbs.db, &reader}) {
        for (const auto& refusal : refusals) {
            try {
                db->executeReadOnly(refusal.sql, 10);
                ADD_FAILURE() << refusal.sql << ": accepted";
            } catch (const ShadowDB::Error& error) {
                EXPECT_EQ(error.kind(), Case::queryFailed) << refusal.sql;
                EXPECT_EQ(error.message(), refusal.message) << refusal.sql;
            }
        }
    }
    EXPECT_FALSE(std::filesystem::exists(attached));
    EXPECT_EQ(test::queryInt(dbs.shadowPath, "PRAGMA user_version"), 1);
    EXPECT_EQ(test::queryText(dbs.shadowPath, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(dbs.db.messageCount(), 1);
    // The guard lasts one call: the read-only connection still runs its own queries.
    EXPECT_EQ(reader.search("pizza", 5).size(), 1u);
}

TEST(ShadowQueries, ReadOnlyGuardResults) {
    Databases dbs;
    dbs.db.insertBatch({message("a", "chat-1", "+15550000001", "pizza", now)});
    auto& db = dbs.db;

    auto single =
        db.executeReadOnly("SELECT 1 AS n, 'x' AS n, 2.5 AS n, x'' AS b, x'00ff', NULL ;; ", 0);
    EXPECT_EQ(single.columns,
              (std::vector<std::string>{"n", "n_2", "n_3", "b", "x'00ff'", "NULL"}));
    ASSERT_EQ(single.rows.size(), 1u);
    const auto& row = single.rows[0];
    EXPECT_EQ(row.at("n"), SQLiteValue::integer(1));
    EXPECT_EQ(row.at("n_2"), SQLiteValue::text("x"));
    EXPECT_EQ(row.at("n_3"), SQLiteValue::real(2.5));
    EXPECT_EQ(row.at("b"), SQLiteValue::null());
    EXPECT_EQ(row.at("x'00ff'"), SQLiteValue::blob({0x00, 0xff}));
    EXPECT_TRUE(row.at("NULL").isNull());

    const std::string manyRows =
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 150) "
        "SELECT i FROM n";
    EXPECT_EQ(db.executeReadOnly(manyRows, 0).rows.size(), 100u);
    EXPECT_EQ(db.executeReadOnly(manyRows, 120).rows.size(), 120u);
    EXPECT_EQ(db.executeReadOnly("SELECT guid FROM messages_fts JOIN messages m ON m.rowid = "
                                 "messages_fts.rowid WHERE messages_fts MATCH 'pizza'",
                                 5)
                  .rows.size(),
              1u);
    EXPECT_FALSE(db.executeReadOnly("PRAGMA table_info(messages)", 50).rows.empty());
    EXPECT_EQ(db.executeReadOnly("PRAGMA user_version", 5).rows[0].at("user_version"),
              SQLiteValue::integer(1));
    try {
        db.executeReadOnly("SELEC 1", 5);
        ADD_FAILURE() << "accepted";
    } catch (const ShadowDB::Error& error) {
        EXPECT_EQ(error.kind(), Case::prepareFailed);
    }
}

// Message handles and contact identifiers reach the join through the same normalisation: a
// number written differently in the address book and in Messages still names the contact.
class OneCardStore final : public SystemContactStore {
  public:
    ContactAuthorizationStatus authorizationStatus() const override {
        return ContactAuthorizationStatus::authorized;
    }
    void requestAccess(AccessCompletion completion) override { completion(true, std::nullopt); }
    std::vector<SystemContact> enumerateContacts(const ContactFetchRequest&) override {
        SystemContact card;
        card.identifier = "card-1";
        card.givenName = "Cleo";
        card.familyName = "Cruz";
        card.phoneNumbers = {"(555) 010-0199"};
        card.emailAddresses = {" Cleo@Example.COM "};
        return {card};
    }
    // The card never changes.
    Subscription observeChanges(std::function<void()>) override { return {}; }
};

TEST(ShadowQueries, HandlesAndContactIdentifiersMeetAfterNormalisation) {
    test::TempDir dir;
    test::ChatDBFixture chatDB(dir / "chat.db");
    const auto phone = chatDB.addHandle("+1 555-010-0199");
    const auto mail = chatDB.addHandle("CLEO@example.com");
    const auto phoneChat = chatDB.addChat("iMessage;-;+15550100199", 45);
    const auto mailChat = chatDB.addChat("iMessage;-;cleo@example.com", 45);
    chatDB.addMember(phoneChat, phone);
    chatDB.addMember(mailChat, mail);
    const std::int64_t date = epochNs(now - 60);
    chatDB.addMessage({"m-phone", "by phone", std::nullopt, date, false, phone, phoneChat});
    chatDB.addMessage({"m-mail", "by mail", std::nullopt, date + 1, false, mail, mailChat});

    ShadowSync sync(chatDB.path(), dir / "shadow.db");
    sync.performSync();
    ContactsManager manager(std::make_shared<OneCardStore>());
    ContactsStore contacts(dir / "contacts.db");
    contacts.createSchemaIfNeeded();
    contacts.replaceAll(manager.buildPayloads("1"));

    const auto found = sync.fetchMessages({"m-phone", "m-mail"}, dir / "contacts.db", 10);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].contactName, "Cleo Cruz") << found[0].sender;
    EXPECT_EQ(found[1].contactName, "Cleo Cruz") << found[1].sender;
    EXPECT_EQ(sync.awaitingReplies(dir / "contacts.db", 36500, 10).size(), 2u);
}

}  // namespace
}  // namespace vask
