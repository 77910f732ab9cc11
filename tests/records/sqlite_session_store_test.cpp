#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "record_fixtures.h"
#include "records/record_json.h"
#include "records/session_store_error.h"
#include "records/sqlite_session_store.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"
#include "support/log_capture.h"
#include "support/scoped_environment.h"
#include "support/scoped_umask.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

namespace fs = std::filesystem;
using test::sampleSession;

std::int64_t count(const fs::path& path, const std::string& sql) {
    const auto db = SQLiteConnection::open(path, SQLiteSupport::OpenMode::readOnly);
    SQLiteStatement statement(db.get(), sql);
    EXPECT_TRUE(statement.step());
    return statement.columnInt64(0);
}

std::vector<std::string> column(const fs::path& path, const std::string& sql) {
    const auto db = SQLiteConnection::open(path, SQLiteSupport::OpenMode::readOnly);
    SQLiteStatement statement(db.get(), sql);
    std::vector<std::string> values;
    while (statement.step()) {
        values.push_back(statement.columnText(0));
    }
    return values;
}

// Records every insert and delete of a message row, so tests see which rows a save rewrote.
void auditMessageWrites(const fs::path& path) {
    const auto db = SQLiteConnection::open(path, SQLiteSupport::OpenMode::readWriteCreate);
    db.execute(
        "CREATE TABLE message_writes(session_id TEXT);"
        "CREATE TRIGGER audit_insert AFTER INSERT ON chat_messages BEGIN "
        "INSERT INTO message_writes VALUES(new.session_id); END;"
        "CREATE TRIGGER audit_delete AFTER DELETE ON chat_messages BEGIN "
        "INSERT INTO message_writes VALUES(old.session_id); END;");
}

// Writes per session since the last call.
std::map<std::string, std::int64_t> takeMessageWrites(const fs::path& path) {
    const auto db = SQLiteConnection::open(path, SQLiteSupport::OpenMode::readWriteCreate);
    std::map<std::string, std::int64_t> writes;
    {
        SQLiteStatement statement(db.get(),
                                  "SELECT session_id, count(*) FROM message_writes GROUP BY 1");
        while (statement.step()) {
            writes[statement.columnText(0)] = statement.columnInt64(1);
        }
    }
    db.execute("DELETE FROM message_writes");
    return writes;
}

std::vector<std::string> marks(const fs::path& path) {
    return column(path, "SELECT key || '=' || value FROM snapshot_metadata ORDER BY key");
}

void expectFtsIntact(const fs::path& path) {
    const auto db = SQLiteConnection::open(path, SQLiteSupport::OpenMode::readWriteCreate);
    EXPECT_NO_THROW(
        db.execute("INSERT INTO chat_messages_fts(chat_messages_fts) VALUES('integrity-check')"));
    SQLiteStatement mirrored(db.get(),
                             "SELECT count(*) FROM chat_messages m JOIN chat_messages_fts f "
                             "ON f.message_id = m.id AND f.text = m.text");
    ASSERT_TRUE(mirrored.step());
    EXPECT_EQ(mirrored.columnInt64(0), count(path, "SELECT count(*) FROM chat_messages_fts"));
    EXPECT_EQ(mirrored.columnInt64(0), count(path, "SELECT count(*) FROM chat_messages"));
}

std::string encoded(const ChatMessage& message) {
    return *record_json::dump(message.toJson());
}

std::string fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<fs::path> filesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        files.push_back(entry.path().filename());
    }
    std::sort(files.begin(), files.end());
    return files;
}

fs::perms permissions(const fs::path& path) {
    return fs::status(path).permissions() & fs::perms::all;
}

constexpr auto ownerOnly = fs::perms::owner_read | fs::perms::owner_write;

// A test or development instance without a data folder must never fall back to the real
// history under $HOME: persistence is off, and said so.
TEST(SQLiteSessionStore, DefaultLocationIsOnlyEverTheInstancesOwn) {
    test::TempDir dir;
    std::ofstream(dir / "file") << "";
    struct Case {
        const char* name;
        std::optional<std::string> home;
        std::optional<std::string> dataHome;
        std::string instance;
        std::optional<fs::path> expected;
    };
    const std::vector<Case> cases = {
        {"instance folder", (dir / "home").string(), (dir / "data").string(), "dev",
         dir / "data" / "dev" / "sessions.db"},
        {"data folder that cannot be created", (dir / "home").string(),
         (dir / "file" / "data").string(), "dev", std::nullopt},
        {"instance name that is no folder", (dir / "home").string(), (dir / "data").string(),
         "../escape", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::LogCapture logs;
        test::ScopedEnvironment environment;
        environment.set("HOME", c.home);
        environment.set("XDG_DATA_HOME", c.dataHome);
        environment.set("VASK_SUPPORT_DIR", c.instance);
        const auto url = SQLiteSessionStore::defaultDatabaseURL();
        EXPECT_EQ(url, c.expected);
        EXPECT_EQ(logs->contains("session_store_persistence_off"), !c.expected);
    }
    EXPECT_FALSE(fs::exists(dir / "home"));
}

TEST(SQLiteSessionStore, LoadingWithoutAFileGivesNothingAndCreatesNothing) {
    test::TempDir dir;
    SQLiteSessionStore store(dir / "support" / "sessions.db");
    EXPECT_TRUE(store.loadSessions().empty());
    EXPECT_FALSE(fs::exists(dir / "support"));
}

TEST(SQLiteSessionStore, SaveAndLoadKeepEverySessionNewestFirstWithByteIdenticalMessages) {
    test::TempDir dir;
    SQLiteSessionStore store(dir / "support" / "sessions.db");
    auto older = sampleSession("older", 3, true, 0);
    auto newer = sampleSession("newer", 2, false, 100);
    newer.titleIsUserSet = true;
    newer.messageCount = 7;  // kept as stored, not recounted
    store.saveSessions({older, newer});

    const auto loaded = store.loadSessions();
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_EQ(loaded[0].id, "newer");
    EXPECT_EQ(loaded[0].messageCount, 7);
    EXPECT_TRUE(loaded[0].titleIsUserSet);
    EXPECT_EQ(loaded[1].title, "Session older");
    EXPECT_FALSE(loaded[1].titleIsUserSet);
    ASSERT_EQ(loaded[1].messages.size(), 3u);
    for (std::size_t i = 0; i < older.messages.size(); ++i) {
        EXPECT_EQ(encoded(loaded[1].messages[i]), encoded(older.messages[i]));
    }
    EXPECT_LT(std::chrono::abs(loaded[1].createdAt - older.createdAt),
              std::chrono::microseconds(1));
    EXPECT_EQ(permissions(store.databaseURL()), ownerOnly);
    expectFtsIntact(store.databaseURL());
}

TEST(SQLiteSessionStore, MessageColumnsMirrorTheRecord) {
    test::TempDir dir;
    SQLiteSessionStore store(dir / "sessions.db");
    auto session = sampleSession("s", 3, true);
    session.messages[0].extracted = false;
    session.messages[2].memoryReceipts = std::vector<MemoryReceipt>{MemoryReceipt::failure()};
    store.saveSessions({session});

    // extracted, citations, evidence, receipts, sequence, role, full-text rows. The sample answer
    // cites one conversation and one query.
    const std::vector<std::string> expected = {"0 0 0 0 0 user 1", "1 1 1 0 1 assistant 1",
                                               "null 0 0 1 2 user 1"};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(column(dir / "sessions.db",
                         "SELECT coalesce(extracted, 'null') || ' ' || citation_count || ' ' || "
                         "evidence_count || ' ' || memory_receipt_count || ' ' || sequence || ' ' "
                         "|| role || ' ' || (SELECT count(*) FROM chat_messages_fts f WHERE "
                         "f.message_id = m.id) FROM chat_messages "
                         "m WHERE id = '" +
                             session.messages[i].id.lowercaseString() + "'"),
                  std::vector<std::string>{expected[i]});
    }
}

TEST(SQLiteSessionStore, UnchangedSessionsKeepTheirMessageRows) {
    test::TempDir dir;
    SQLiteSessionStore store(dir / "sessions.db");
    std::vector<ChatSession> sessions{sampleSession("a", 4, true, 0),
                                      sampleSession("b", 4, true, 50)};
    store.saveSessions(sessions);
    auditMessageWrites(store.databaseURL());
    using Writes = std::map<std::string, std::int64_t>;

    store.saveSessions(sessions);
    EXPECT_EQ(takeMessageWrites(store.databaseURL()), Writes{});

    // After a reload (a new run), the decoded messages encode to the stored bytes again.
    SQLiteSessionStore reopened(dir / "sessions.db");
    reopened.saveSessions(reopened.loadSessions());
    EXPECT_EQ(takeMessageWrites(store.databaseURL()), Writes{});

    sessions[1].messages[2].text = "edited";
    store.saveSessions(sessions);
    // Four rows out, four rows in, for the changed session only.
    EXPECT_EQ(takeMessageWrites(store.databaseURL()), (Writes{{"b", 8}}));
    EXPECT_EQ(column(store.databaseURL(),
                     "SELECT group_concat(sequence) FROM chat_messages WHERE session_id = 'b'"),
              std::vector<std::string>{"0,1,2,3"});
    EXPECT_EQ(
        column(store.databaseURL(), "SELECT text FROM chat_messages_fts WHERE text = 'edited'"),
        std::vector<std::string>{"edited"});
    expectFtsIntact(store.databaseURL());
}

TEST(SQLiteSessionStore, AMessageMovedBetweenTwoChangedSessionsIsSaved) {
    test::TempDir dir;
    SQLiteSessionStore store(dir / "sessions.db");
    auto a = sampleSession("a", 2, false, 0);
    auto b = sampleSession("b", 2, false, 10);
    store.saveSessions({a, b});
    b.messages.push_back(a.messages.back());
    a.messages.pop_back();
    store.saveSessions({b, a});
    EXPECT_EQ(
        count(store.databaseURL(), "SELECT count(*) FROM chat_messages WHERE session_id = 'b'"), 3);
    expectFtsIntact(store.databaseURL());
}

TEST(SQLiteSessionStore, SavingAnEmptyListLeavesOnlyTheStoreMark) {
    test::TempDir dir;
    SQLiteSessionStore store(dir / "sessions.db");
    store.saveSessions({sampleSession("a", 3, true), sampleSession("b", 2, false)});
    store.saveSessions({});
    for (const auto* table : {"chat_sessions", "chat_messages", "chat_messages_fts"}) {
        EXPECT_EQ(count(store.databaseURL(), std::string("SELECT count(*) FROM ") + table), 0)
            << table;
    }
    EXPECT_EQ(marks(store.databaseURL()), std::vector<std::string>{"vask_sessions_store=1"});
    EXPECT_TRUE(store.loadSessions().empty());
}

TEST(SQLiteSessionStore, AFailedSaveLeavesTheFileAsItWas) {
    test::TempDir dir;
    SQLiteSessionStore store(dir / "sessions.db");
    const auto kept = sampleSession("kept", 2, false);
    store.saveSessions({kept});
    const auto before = fileBytes(store.databaseURL());

    // The same message id in two sessions breaks the primary key half-way through.
    auto clash = sampleSession("clash", 1, false);
    clash.messages[0].id = kept.messages[0].id;
    auto changedKept = kept;
    changedKept.title = "renamed";
    EXPECT_THROW(store.saveSessions({changedKept, clash}), SessionStoreError);

    EXPECT_EQ(fileBytes(store.databaseURL()), before);
    const auto loaded = store.loadSessions();
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0].title, "Session kept");
    EXPECT_EQ(filesIn(dir.path()), std::vector<fs::path>{"sessions.db"});
}

// Other users must never read the history, not even a file whose first save failed, whatever
// the umask; a file an older build left readable is tightened as soon as it is loaded.
TEST(SQLiteSessionStore, TheFileIsOwnerOnlyFromItsCreation) {
    const test::PermissiveUmask permissive;
    auto clash = sampleSession("clash", 1, false);
    auto other = sampleSession("other", 1, false);
    other.messages[0].id = clash.messages[0].id;
    enum class Start { firstSaveFails, readableFileLoaded };
    for (const auto start : {Start::firstSaveFails, Start::readableFileLoaded}) {
        SCOPED_TRACE(start == Start::firstSaveFails ? "first save fails" : "readable file");
        test::TempDir dir;
        SQLiteSessionStore store(dir / "sessions.db");
        if (start == Start::firstSaveFails) {
            EXPECT_THROW(store.saveSessions({clash, other}), SessionStoreError);
        } else {
            SQLiteSessionStore(store.databaseURL()).saveSessions({clash});
            fs::permissions(store.databaseURL(), fs::perms::group_read | fs::perms::others_read,
                            fs::perm_options::add);
        }
        EXPECT_EQ(store.loadSessions().size(), start == Start::firstSaveFails ? 0u : 1u);
        EXPECT_EQ(permissions(store.databaseURL()), ownerOnly);
        store.saveSessions({other});
        EXPECT_EQ(permissions(store.databaseURL()), ownerOnly);
    }
}

TEST(SQLiteSessionStore, SnapshotsAndTheLiveFileCarryTheirOwnMarksOnly) {
    test::TempDir dir;
    SQLiteSessionStore store(dir / "live" / "sessions.db");
    const std::vector<ChatSession> sessions{sampleSession("a", 2, true)};
    store.saveSessions(sessions);

    const auto copy = dir / "sandbox" / "sessions.db";
    fs::create_directories(copy.parent_path());
    fs::copy_file(store.databaseURL(), copy);
    SQLiteSessionStore::markSnapshot(copy, "a");
    EXPECT_EQ(marks(copy),
              (std::vector<std::string>{"active_session_id=a", "vask_session_snapshot=1"}));
    EXPECT_EQ(count(copy, "SELECT count(*) FROM chat_messages"), 2);
    EXPECT_EQ(marks(store.databaseURL()), std::vector<std::string>{"vask_sessions_store=1"});

    const auto fresh = dir / "fresh" / "sessions.db";
    SQLiteSessionStore::writeSnapshot(sessions, "a", fresh);
    EXPECT_EQ(marks(fresh),
              (std::vector<std::string>{"active_session_id=a", "vask_session_snapshot=1"}));
    EXPECT_EQ(permissions(fresh), ownerOnly);
    expectFtsIntact(fresh);

    // Over an existing file: replaced whole.
    SQLiteSessionStore::writeSnapshot({sampleSession("b", 1, false)}, "b", fresh);
    EXPECT_EQ(column(fresh, "SELECT id FROM chat_sessions"), std::vector<std::string>{"b"});
    EXPECT_EQ(filesIn(fresh.parent_path()), std::vector<fs::path>{"sessions.db"});
}

TEST(SQLiteSessionStore, SnapshotFailuresCreateNothingAndLeaveNoTemporaryFiles) {
    test::TempDir dir;
    const auto missing = dir / "nothing-here.db";
    try {
        SQLiteSessionStore::markSnapshot(missing, "a");
        FAIL() << "marked a missing file";
    } catch (const SessionStoreError& error) {
        EXPECT_EQ(error.kind(), SessionStoreError::Case::openFailed);
        EXPECT_EQ(error.message(), missing.string());
    }
    EXPECT_FALSE(fs::exists(missing));

    const auto destination = dir / "snap" / "sessions.db";
    SQLiteSessionStore::writeSnapshot({sampleSession("a", 1, false)}, "a", destination);
    const auto before = fileBytes(destination);
    auto first = sampleSession("x", 1, false);
    auto second = sampleSession("y", 1, false);
    second.messages[0].id = first.messages[0].id;
    EXPECT_THROW(SQLiteSessionStore::writeSnapshot({first, second}, "x", destination),
                 SessionStoreError);
    EXPECT_EQ(fileBytes(destination), before);
    EXPECT_EQ(filesIn(destination.parent_path()), std::vector<fs::path>{"sessions.db"});
}

// One stray byte (a quoted message cut mid-character) must never block saving: every stored text
// is valid UTF-8, the byte written as U+FFFD, and the other sessions are saved with it.
TEST(SQLiteSessionStore, InvalidUTF8IsRepairedRatherThanBlockingEverySave) {
    const std::string invalid = "caf\xc3 \xff\xfe ok";
    const std::string repaired = "caf\uFFFD \uFFFD\uFFFD ok";
    auto good = sampleSession("good", 2, true);
    enum class Where { messageText, quotedText, title };
    for (const auto where : {Where::messageText, Where::quotedText, Where::title}) {
        SCOPED_TRACE(static_cast<int>(where));
        test::TempDir dir;
        auto bad = sampleSession("bad", 2, true, 100);
        auto& quoted = std::get<ConversationSource>((*bad.messages[1].sources)[0].payload);
        switch (where) {
            case Where::messageText:
                bad.messages[0].text = invalid;
                break;
            case Where::quotedText:
                quoted.messages[0].text = invalid;
                break;
            case Where::title:
                bad.title = invalid;
                break;
        }
        SQLiteSessionStore store(dir / "sessions.db");
        store.saveSessions({good, bad});
        SQLiteSessionStore::writeSnapshot({good, bad}, "bad", dir / "snapshot.db");

        for (const auto& path : {dir / "sessions.db", dir / "snapshot.db"}) {
            const auto loaded = SQLiteSessionStore(path).loadSessions();
            ASSERT_EQ(loaded.size(), 2u);
            ASSERT_EQ(loaded[1].messages.size(), good.messages.size());
            for (std::size_t i = 0; i < good.messages.size(); ++i) {
                EXPECT_EQ(encoded(loaded[1].messages[i]), encoded(good.messages[i]));
            }
            const auto& back = loaded[0];
            switch (where) {
                case Where::messageText:
                    EXPECT_EQ(back.messages[0].text, repaired);
                    break;
                case Where::quotedText:
                    EXPECT_EQ(std::get<ConversationSource>((*back.messages[1].sources)[0].payload)
                                  .messages[0]
                                  .text,
                              repaired);
                    break;
                case Where::title:
                    EXPECT_EQ(back.title, repaired);
                    break;
            }
            EXPECT_EQ(
                count(path, "SELECT count(*) FROM chat_messages WHERE instr(text, char(65533))"),
                where == Where::messageText ? 1 : 0);
        }
        expectFtsIntact(dir / "sessions.db");
        // Unchanged, the repaired session is not rewritten on the next save.
        store.saveSessions({good, bad});
        EXPECT_EQ(store.loadSessions().size(), 2u);
    }
}

// Ways a stored history can be unreadable. Each must leave it recoverable after the next save.
enum class Damage { undecodableJSON, unknownRole, wrongTypedSources, truncatedFile };

struct DamageCase {
    const char* name;
    Damage damage;
};

void PrintTo(const DamageCase& c, std::ostream* out) {
    *out << c.name;
}

class HistoryThatFailsToLoad : public ::testing::TestWithParam<DamageCase> {};

TEST_P(HistoryThatFailsToLoad, IsSetAsideBeforeTheNextSaveStartsFresh) {
    test::TempDir dir;
    test::LogCapture logs;
    const auto path = dir / "sessions.db";
    std::vector<ChatSession> history;
    for (int i = 0; i < 20; ++i) {
        history.push_back(sampleSession("s" + std::to_string(i), 10, true, i * 100));
    }
    SQLiteSessionStore(path).saveSessions(history);

    const auto victim = history[7].messages[3].id.lowercaseString();
    const auto damage = [&](const std::string& json) {
        const auto db = SQLiteConnection::open(path, SQLiteSupport::OpenMode::readWriteCreate);
        SQLiteStatement update(db.get(), "UPDATE chat_messages SET metadata_json = ? WHERE id = ?");
        update.bind(1, json).bind(2, victim).run();
    };
    switch (GetParam().damage) {
        case Damage::undecodableJSON:
            damage("{\"id\":");
            break;
        case Damage::unknownRole:
            damage(
                R"({"id":"6B1B6C1E-3C1A-4E5B-9F00-0A1B2C3D4E5F","role":"robot","text":"x","timestamp":1.5})");
            break;
        case Damage::wrongTypedSources:
            damage(
                R"({"id":"6B1B6C1E-3C1A-4E5B-9F00-0A1B2C3D4E5F","role":"user","text":"x","timestamp":1.5,"sources":5})");
            break;
        case Damage::truncatedFile:
            fs::resize_file(path, fs::file_size(path) * 2 / 3);
            break;
    }
    const auto damagedBytes = fileBytes(path);

    SQLiteSessionStore store(path);
    EXPECT_THROW(store.loadSessions(), SessionStoreError);

    const auto newSession = sampleSession("new", 2, false, 5000);
    store.saveSessions({newSession});

    const auto loaded = store.loadSessions();
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0].id, "new");

    std::vector<fs::path> aside;
    for (const auto& name : filesIn(dir.path())) {
        if (name.string().starts_with("sessions.db.unreadable-")) {
            aside.push_back(dir / name);
        }
    }
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(fileBytes(aside[0]), damagedBytes);
    const auto events = logs->events("session_store_unreadable_set_aside");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].metadata.at("aside"), aside[0].string());

    // Once set aside, later saves simply write.
    store.saveSessions({newSession, sampleSession("newer", 1, false, 6000)});
    EXPECT_EQ(logs->events("session_store_unreadable_set_aside").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Damages, HistoryThatFailsToLoad,
                         ::testing::Values(DamageCase{"undecodable_json", Damage::undecodableJSON},
                                           DamageCase{"unknown_role", Damage::unknownRole},
                                           DamageCase{"wrong_typed_sources",
                                                      Damage::wrongTypedSources},
                                           DamageCase{"truncated_file", Damage::truncatedFile}),
                         [](const ::testing::TestParamInfo<DamageCase>& param) {
                             return std::string(param.param.name);
                         });

// A history that was only out of reach for a moment must load; one that stays out of reach is
// neither set aside nor written over.
TEST(SQLiteSessionStore, AHistoryOutOfReachIsNeverReplaced) {
    std::vector<ChatSession> history;
    for (int i = 0; i < 12; ++i) {
        history.push_back(sampleSession("s" + std::to_string(i), 12, true, i * 100));
    }
    enum class Start { lockedBriefly, hotJournal, lockedPastTheTimeout };
    struct Case {
        const char* name;
        Start start;
        bool loads;
    };
    for (const auto& c :
         {Case{"locked for 200 ms", Start::lockedBriefly, true},
          Case{"hot journal", Start::hotJournal, true},
          Case{"locked past the busy timeout", Start::lockedPastTheTimeout, false}}) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        test::LogCapture logs;
        auto path = dir / "sessions.db";
        SQLiteSessionStore(path).saveSessions(history);

        auto holder = SQLiteConnection::open(path, SQLiteSupport::OpenMode::readWriteCreate);
        std::jthread release;
        if (c.start == Start::hotJournal) {
            // A save cut short after SQLite spilled changed pages into the file: a copy of the
            // file and its journal taken mid-transaction is what a crash leaves behind.
            holder.execute("PRAGMA cache_size = 2; BEGIN IMMEDIATE");
            holder.execute(
                "UPDATE chat_messages SET metadata_json = metadata_json || "
                "hex(randomblob(2000))");
            fs::create_directories(dir / "crashed");
            for (const char* suffix : {"", "-journal"}) {
                ASSERT_TRUE(fs::exists(path.string() + suffix)) << suffix;
                fs::copy_file(path.string() + suffix,
                              (dir / "crashed" / "sessions.db").string() + suffix);
            }
            holder.execute("ROLLBACK");
            path = dir / "crashed" / "sessions.db";
        } else {
            holder.execute("BEGIN EXCLUSIVE");
            if (c.start == Start::lockedBriefly) {
                release = std::jthread([&] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(200));
                    holder.execute("ROLLBACK");
                });
            }
        }
        const auto bytesBefore = fileBytes(path);

        SQLiteSessionStore store(path, std::chrono::milliseconds(c.loads ? 5000 : 50));
        if (c.loads) {
            EXPECT_EQ(store.loadSessions().size(), history.size());
            if (release.joinable()) {
                release.join();
            }
            store.saveSessions({history[0]});
            EXPECT_EQ(store.loadSessions().size(), 1u);
        } else {
            EXPECT_THROW(store.loadSessions(), SessionStoreError);
            holder.execute("ROLLBACK");
            try {
                store.saveSessions({history[0]});
                FAIL() << "saved over a history that was never read";
            } catch (const SessionStoreError& error) {
                EXPECT_EQ(error.kind(), SessionStoreError::Case::savingRefused);
            }
            EXPECT_EQ(fileBytes(path), bytesBefore);
            EXPECT_TRUE(logs->contains("session_store_saving_off"));
            // Once the file is readable again, a load brings saving back.
            EXPECT_EQ(store.loadSessions().size(), history.size());
            store.saveSessions({history[0]});
        }
        EXPECT_FALSE(logs->contains("session_store_unreadable_set_aside"));
        EXPECT_EQ(filesIn(path.parent_path()), std::vector<fs::path>{"sessions.db"});
    }
}

}  // namespace
}  // namespace vask

namespace vask {
namespace {

// A sessions.db that is a link (a dotfile manager's, or a planted one) is refused: SQLite would
// write the link's target and make its journal beside it, outside the data folder.
TEST(SQLiteSessionStore, ALinkedDatabaseIsRefusedAndLeftAsItIs) {
    for (const bool targetHoldsHistory : {true, false}) {
        SCOPED_TRACE(targetHoldsHistory ? "link to a history" : "link to an unrelated file");
        test::TempDir data;
        test::TempDir elsewhere;
        const auto target = elsewhere / "target.db";
        if (targetHoldsHistory) {
            SQLiteSessionStore(target).saveSessions({sampleSession("s", 2, false)});
        } else {
            std::ofstream(target) << "unrelated";
        }
        ::chmod(target.c_str(), 0644);
        const auto bytes = fileBytes(target);
        const auto path = data / "sessions.db";
        fs::create_symlink(target, path);

        SQLiteSessionStore store(path);
        try {
            store.loadSessions();
            ADD_FAILURE() << "a linked database was read";
        } catch (const SessionStoreError& error) {
            EXPECT_NE(error.message().find(path.string()), std::string::npos) << error.message();
        }
        EXPECT_THROW(store.saveSessions({sampleSession("new", 1, false)}), SessionStoreError);
        EXPECT_TRUE(fs::is_symlink(path));
        EXPECT_EQ(fs::read_symlink(path), target);
        EXPECT_EQ(fileBytes(target), bytes);
        EXPECT_EQ(permissions(target), fs::perms::owner_read | fs::perms::owner_write |
                                           fs::perms::group_read | fs::perms::others_read);
        EXPECT_EQ(std::distance(fs::directory_iterator(elsewhere.path()), {}), 1)
            << "no journal beside the target";
    }
    {
        SCOPED_TRACE("a dangling link is not created through");
        test::TempDir data;
        const auto path = data / "sessions.db";
        fs::create_symlink(data / "absent.db", path);
        SQLiteSessionStore store(path);
        EXPECT_TRUE(store.loadSessions().empty());
        EXPECT_THROW(store.saveSessions({sampleSession("new", 1, false)}), SessionStoreError);
        EXPECT_FALSE(fs::exists(data / "absent.db"));
        EXPECT_TRUE(fs::is_symlink(path));
    }
}

}  // namespace
}  // namespace vask
