#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <future>
#include <thread>

#include "engine/rlm_helper_error.h"
#include "engine/rlm_sandbox_staging.h"
#include "records/sqlite_session_store.h"
#include "shadow_fixture.h"
#include "sources/contacts_store.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"
#include "support/lock_probe.h"
#include "support/log_capture.h"
#include "support/special_files.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

namespace fs = std::filesystem;
using Runner = RLMSandboxStaging;

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return info.st_mode & 07777;
}

std::int64_t count(const fs::path& db, const std::string& sql) {
    auto connection = SQLiteConnection::open(db, SQLiteSupport::OpenMode::readOnly);
    SQLiteStatement statement(connection.get(), sql);
    statement.step();
    return statement.columnInt64(0);
}

std::string text(const fs::path& db, const std::string& sql) {
    auto connection = SQLiteConnection::open(db, SQLiteSupport::OpenMode::readOnly);
    SQLiteStatement statement(connection.get(), sql);
    statement.step();
    return statement.columnText(0);
}

class SandboxStagingTest : public ::testing::Test {
  protected:
    fs::path sandbox() const { return dir / "data" / ".vask-rlm-sandbox"; }

    Runner::StagedDatabases stage(std::optional<std::string> contacts = std::nullopt,
                                  std::optional<std::string> sessionsPath = std::nullopt,
                                  std::optional<std::string> active = std::nullopt,
                                  std::vector<ChatSession> sessions = {}) {
        return Runner::stageDatabasesForSandbox(shadowPath.string(), contacts, std::nullopt,
                                                std::nullopt, nullptr, sessions, sessionsPath,
                                                active);
    }

    test::TempDir dir;
    fs::path shadowPath = [this] {
        fs::create_directories(dir / "data");
        return dir / "data" / "shadow.db";
    }();
    test::LiveShadowDatabase live{shadowPath};
};

TEST_F(SandboxStagingTest, LinksTheLiveShadowDatabaseWithItsLogAndIndex) {
    live.add("g-early", "chat-1", "lunch on friday", 1700000000);
    live.add("g-just-now", "chat-1", "written just before staging", 1700000100);
    // Between syncs nothing holds the database open, so SQLite has removed its sidecars.
    ASSERT_FALSE(fs::exists(shadowPath.string() + "-wal"));
    const auto staged = stage();

    EXPECT_EQ(fs::path(staged.dbPath).parent_path().parent_path(), sandbox());
    EXPECT_EQ(fs::path(staged.dbPath).filename(), "shadow.db");
    EXPECT_EQ(modeOf(staged.directory), 0700u);
    // "<pid>-<UUID>"
    EXPECT_EQ(fs::path(staged.directory).filename().string().size(),
              std::to_string(::getpid()).size() + 1 + 36);
    for (const char* suffix : {"", "-wal", "-shm"}) {
        ASSERT_TRUE(fs::exists(staged.dbPath + suffix)) << suffix;
        EXPECT_EQ(fs::hard_link_count(staged.dbPath + suffix), 2u) << suffix;
    }
    EXPECT_EQ(count(staged.dbPath,
                    "SELECT count(*) FROM messages_fts WHERE messages_fts MATCH "
                    "'staging'"),
              1);

    // A sync after staging, whose connection closes again: the link reads what it wrote
    // through the shared log.
    live.add("g-after", "chat-1", "written after staging", 1700000200);
    EXPECT_EQ(count(staged.dbPath, "SELECT count(*) FROM messages"), 3);
    EXPECT_EQ(text(staged.dbPath, "PRAGMA integrity_check"), "ok");

    staged.cleanup();
    EXPECT_FALSE(fs::exists(staged.directory));
    EXPECT_TRUE(fs::exists(sandbox()));
    EXPECT_EQ(text(shadowPath, "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(count(shadowPath, "SELECT count(*) FROM messages"), 3);
}

TEST_F(SandboxStagingTest, ReadsThroughTheLinkStayWholeWhileALargeSyncCheckpoints) {
    live.add("g-seed", "chat-1", "before the sync", 1700000000);
    const auto staged = stage();

    constexpr int batches = 40;
    constexpr int perBatch = 500;
    std::atomic<bool> syncDone{false};
    std::jthread sync([&] {
        // Two syncs, each with its own connection: the writer's automatic checkpoints and the
        // final one when its connection closes all run while the helper reads.
        for (int half = 0; half < 2; ++half) {
            ShadowDB writer(shadowPath);
            for (int b = half * batches / 2; b < (half + 1) * batches / 2; ++b) {
                std::vector<ShadowMessage> batch;
                for (int i = 0; i < perBatch; ++i) {
                    const int n = b * perBatch + i;
                    batch.push_back(test::LiveShadowDatabase::message(
                        "g-" + std::to_string(n), "chat-" + std::to_string(n % 50),
                        "synchronised message number " + std::to_string(n) + std::string(200, 'w'),
                        1700000001 + n));
                }
                writer.insertBatch(batch);
            }
        }
        syncDone = true;
    });

    auto helper = SQLiteConnection::open(staged.dbPath, SQLiteSupport::OpenMode::readOnly);
    const auto scalar = [&](const char* sql) {
        SQLiteStatement statement(helper.get(), sql);
        statement.step();
        return statement.columnText(0);
    };
    int reads = 0;
    std::int64_t previous = 0;
    while (!syncDone || reads == 0) {
        helper.execute("BEGIN");
        const auto before = std::stoll(scalar("SELECT count(*) FROM messages"));
        const auto check = scalar("PRAGMA quick_check");
        const auto after = std::stoll(scalar("SELECT count(*) FROM messages"));
        helper.execute("COMMIT");
        ASSERT_EQ(before, after) << "read " << reads;
        ASSERT_EQ(check, "ok") << "read " << reads;
        ASSERT_GE(before, previous);
        previous = before;
        ++reads;
    }
    sync.join();
    EXPECT_EQ(std::stoll(scalar("SELECT count(*) FROM messages")), 1 + batches * perBatch);
    staged.cleanup();
}

// A data folder reached through a link is staged from where it really is; a database that is
// itself a link is nothing Vask made, and is refused as its writers refuse it, with nothing made
// beside its target.
TEST_F(SandboxStagingTest, AFolderLinkIsFollowedButADatabaseLinkIsRefused) {
    fs::create_directory_symlink(dir / "data", dir / "folder-link");
    const auto staged = Runner::stageDatabasesForSandbox(
        (dir / "folder-link" / "shadow.db").string(), {}, {}, {}, nullptr, {}, {}, {});
    EXPECT_EQ(fs::path(staged.dbPath), staged.directory / "shadow.db");
    EXPECT_EQ(staged.directory.parent_path(), sandbox());
    staged.cleanup();

    fs::create_directories(dir / "links");
    fs::create_symlink(shadowPath, dir / "links" / "shadow.db");
    EXPECT_THROW(Runner::stageDatabasesForSandbox((dir / "links" / "shadow.db").string(), {}, {},
                                                  {}, nullptr, {}, {}, {}),
                 RLMHelperError);
    EXPECT_FALSE(fs::exists(dir / "links" / ".vask-rlm-sandbox"));
    EXPECT_TRUE(fs::is_symlink(dir / "links" / "shadow.db"));
}

// A FIFO or a link where a database is read is refused at once, never waited on, and left as it
// is: the shadow database fails the question, contacts are left out and the conversations come
// from memory.
TEST_F(SandboxStagingTest, SpecialFilesWhereDatabasesAreReadAreRefusedWithoutWaiting) {
    ChatSession session;
    session.id = "S1";
    session.title = "One";
    {
        auto elsewhere =
            SQLiteConnection::open(dir / "elsewhere.db", SQLiteSupport::OpenMode::readWriteCreate);
        elsewhere.execute("PRAGMA journal_mode=WAL; CREATE TABLE contacts(apple_id TEXT);");
    }
    const auto fifo = [](const fs::path& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); };
    const auto link = [&](const fs::path& path) { fs::create_symlink(dir / "elsewhere.db", path); };
    struct Case {
        std::string name;
        std::function<void(const fs::path&)> make;
        std::string which;
    };
    const std::vector<Case> cases = {
        {"shadow FIFO", fifo, "shadow"},     {"contacts FIFO", fifo, "contacts"},
        {"contacts link", link, "contacts"}, {"sessions FIFO", fifo, "sessions"},
        {"sessions link", link, "sessions"},
    };
    for (const auto& c : cases) {
        test::TempDir data;
        auto shadow = shadowPath;
        const auto special = data / (c.which + ".db");
        c.make(special);
        if (c.which == "shadow") {
            shadow = special;
        }
        test::LogCapture logs;
        std::optional<Runner::StagedDatabases> staged;
        bool failed = false;
        EXPECT_TRUE(test::returnsWithoutWaitingOn({special}, [&] {
            try {
                staged = Runner::stageDatabasesForSandbox(
                    shadow.string(),
                    c.which == "contacts" ? std::optional(special.string()) : std::nullopt, {}, {},
                    nullptr, {session},
                    c.which == "sessions" ? std::optional(special.string()) : std::nullopt, "S1");
            } catch (const RLMHelperError& error) {
                failed = std::string(error.what()).find(special.string()) != std::string::npos;
            }
        })) << c.name;
        EXPECT_TRUE(fs::exists(fs::symlink_status(special))) << c.name;
        EXPECT_FALSE(fs::exists(dir / "elsewhere.db-shm")) << c.name;
        if (c.which == "shadow") {
            EXPECT_TRUE(failed) << c.name;
            continue;
        }
        ASSERT_TRUE(staged) << c.name;
        if (c.which == "contacts") {
            EXPECT_FALSE(staged->contactsDbPath) << c.name;
            EXPECT_TRUE(logs->contains("contacts_db_refused")) << c.name;
        } else {
            EXPECT_EQ(count(*staged->sessionDbPath, "SELECT count(*) FROM chat_sessions"), 1)
                << c.name;
        }
        staged->cleanup();
    }
}

TEST_F(SandboxStagingTest, ContactsPaths) {
    {
        auto contacts =
            SQLiteConnection::open(dir / "contacts.db", SQLiteSupport::OpenMode::readWriteCreate);
        contacts.execute(
            "PRAGMA journal_mode=WAL; CREATE TABLE contacts(apple_id TEXT);"
            "INSERT INTO contacts VALUES ('a@b.c');");
    }
    std::ofstream(dir / "garbage.db") << "not a database at all, but long enough to be read";
    struct Case {
        std::optional<std::string> path;
        bool staged;
        bool linked;
    };
    const std::vector<Case> cases = {
        {std::nullopt, false, false},
        {"  ", false, false},
        {" nil ", false, false},
        {(dir / "missing.db").string(), false, false},
        {" " + (dir / "contacts.db").string() + "\n", true, false},
        {(dir / "garbage.db").string(), true, true},
    };
    for (const auto& c : cases) {
        test::LogCapture logs;
        const auto staged = stage(c.path);
        EXPECT_EQ(staged.contactsDbPath.has_value(), c.staged) << c.path.value_or("none");
        if (c.staged) {
            EXPECT_EQ(fs::hard_link_count(*staged.contactsDbPath) > 1, c.linked);
            EXPECT_EQ(logs->contains("contacts_snapshot_failed_fallback_link"), c.linked);
        }
        if (c.staged && !c.linked) {
            EXPECT_EQ(count(*staged.contactsDbPath, "SELECT count(*) FROM contacts"), 1);
        }
        for (const auto& entry : fs::directory_iterator(staged.directory)) {
            EXPECT_EQ(entry.path().string().find(".src"), std::string::npos);
        }
        staged.cleanup();
    }
}

TEST_F(SandboxStagingTest, ContactsCopiesAreWholeWhileAContactsSyncWrites) {
    const auto contactsPath = dir / "contacts.db";
    auto writer = SQLiteConnection::open(contactsPath, SQLiteSupport::OpenMode::readWriteCreate);
    writer.execute(
        "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF; PRAGMA wal_autocheckpoint=16;"
        "CREATE TABLE people(id INTEGER PRIMARY KEY, name TEXT);"
        "CREATE TABLE handles(id INTEGER PRIMARY KEY, person INTEGER, handle TEXT);");
    // Every transaction adds one person with one handle: a copy with more of one than the
    // other mixes two states of the file.
    const auto addPeople = [&](int from, int to) {
        writer.inImmediateTransaction([&] {
            for (int n = from; n < to; ++n) {
                SQLiteStatement(writer.get(), "INSERT INTO people(name) VALUES (?)")
                    .bind(1, "person " + std::to_string(n) + std::string(300, 'p'))
                    .run();
                SQLiteStatement(
                    writer.get(),
                    "INSERT INTO handles(person, handle) VALUES (last_insert_rowid(), ?)")
                    .bind(1, std::to_string(n) + "@example.com" + std::string(300, 'h'))
                    .run();
            }
        });
    };
    addPeople(0, 20000);
    std::jthread sync([&](const std::stop_token& stop) {
        for (int n = 20000; !stop.stop_requested(); ++n) {
            addPeople(n, n + 1);
        }
    });
    for (int round = 0; round < 15; ++round) {
        test::LogCapture logs;
        const auto staged = stage(contactsPath.string());
        ASSERT_TRUE(staged.contactsDbPath);
        EXPECT_EQ(fs::hard_link_count(*staged.contactsDbPath), 1u);
        EXPECT_FALSE(logs->contains("contacts_snapshot_failed_fallback_link"));
        EXPECT_EQ(text(*staged.contactsDbPath, "PRAGMA integrity_check"), "ok");
        EXPECT_EQ(count(*staged.contactsDbPath, "SELECT count(*) FROM people"),
                  count(*staged.contactsDbPath, "SELECT count(*) FROM handles"));
        staged.cleanup();
    }
}

TEST_F(SandboxStagingTest, SanitizedMemoryHoldsOnlyThePrincipalsActiveRows) {
    const auto memoryPath = dir / "memory.db";
    auto store = std::make_shared<MemoryStore>(memoryPath, MemoryStoreChanges::make());
    const auto me = *MemoryPrincipal::make("me");
    const auto other = *MemoryPrincipal::make("other");
    store->createAssociation(me, "PTO", "paid time off", MemoryProvenance::explicitlySaved,
                             Uuid::random(), 1);
    const auto gone =
        store->createAssociation(me, "old", "gone", MemoryProvenance::inferred, Uuid::random(), 2);
    store->tombstoneAssociation(gone.id, me, 3);
    store->createAssociation(other, "theirs", "not mine", MemoryProvenance::explicitlySaved,
                             Uuid::random(), 4);

    test::LogCapture logs;
    auto staged = Runner::stageDatabasesForSandbox(shadowPath.string(), {}, memoryPath.string(), me,
                                                   store.get(), {}, {}, {});
    ASSERT_TRUE(staged.memoryDbPath);
    EXPECT_EQ(modeOf(*staged.memoryDbPath), 0400u);
    EXPECT_FALSE(fs::exists(*staged.memoryDbPath + "-wal"));
    EXPECT_FALSE(fs::exists(staged.directory / "memory.raw.db"));
    EXPECT_EQ(count(*staged.memoryDbPath, "SELECT count(*) FROM associations"), 1);
    EXPECT_EQ(count(*staged.memoryDbPath,
                    "SELECT count(*) FROM associations_fts WHERE associations_fts MATCH 'paid'"),
              1);
    EXPECT_EQ(logs->events("memory_snapshot_completed").at(0).metadata.at("count"), "1");
    staged.cleanup();

    // No principal: nothing staged, nothing logged.
    logs->clear();
    staged = Runner::stageDatabasesForSandbox(shadowPath.string(), {}, memoryPath.string(), {},
                                              store.get(), {}, {}, {});
    EXPECT_FALSE(staged.memoryDbPath);
    EXPECT_FALSE(logs->contains("memory_snapshot_completed"));
    staged.cleanup();

    // A row that breaks the snapshot's checks leaves memory out.
    const auto rawTerm = std::string(300, 't');
    {
        auto raw = SQLiteConnection::open(memoryPath, SQLiteSupport::OpenMode::readWriteCreate);
        SQLiteStatement(raw.get(),
                        "UPDATE associations SET term = ? WHERE principal = 'me' AND "
                        "state = 'active'")
            .bind(1, rawTerm)
            .run();
    }
    staged = Runner::stageDatabasesForSandbox(shadowPath.string(), {}, memoryPath.string(), me,
                                              store.get(), {}, {}, {});
    ASSERT_EQ(count(memoryPath, "SELECT count(*) FROM associations WHERE length(term) = 300"), 1);
    EXPECT_FALSE(staged.memoryDbPath);
    const auto omitted = logs->events("memory_snapshot_completed").back().metadata;
    EXPECT_EQ(omitted.at("result"), "omitted");
    EXPECT_EQ(omitted.at("count"), "0");
    EXPECT_FALSE(fs::exists(staged.directory / "memory.db"));
    staged.cleanup();
}

TEST_F(SandboxStagingTest, SessionsSnapshots) {
    ChatSession session;
    session.id = "S1";
    session.title = "One";
    const auto livePath = dir / "sessions.db";
    SQLiteSessionStore(livePath).saveSessions(
        {session, ChatSession{"S2", {}, {}, "Two", 0, {}, false}});
    struct Case {
        std::string name;
        std::optional<std::string> path;
        std::optional<std::string> active;
        std::vector<ChatSession> inMemory;
        bool staged;
        std::string sessionCount;
    };
    const std::vector<Case> cases = {
        {"no active id", livePath.string(), std::nullopt, {session}, false, ""},
        {"nothing at all", std::nullopt, "S1", {}, false, ""},
        {"missing file", (dir / "none.db").string(), "S1", {}, true, "0"},
        {"memory only", std::nullopt, "S1", {session}, true, "1"},
        {"live file", livePath.string(), "S1", {session}, true, "1"},
    };
    for (const auto& c : cases) {
        test::LogCapture logs;
        const auto staged = stage(std::nullopt, c.path, c.active, c.inMemory);
        EXPECT_EQ(staged.sessionDbPath.has_value(), c.staged) << c.name;
        EXPECT_EQ(fs::exists(staged.directory / "sessions.db"), c.staged) << c.name;
        if (c.staged) {
            EXPECT_EQ(logs->events("session_snapshot_completed").at(0).metadata.at("session_count"),
                      c.sessionCount)
                << c.name;
        }
        staged.cleanup();
    }
    const auto staged = stage(std::nullopt, livePath.string(), "S1", {session});
    EXPECT_EQ(count(*staged.sessionDbPath, "SELECT count(*) FROM chat_sessions"), 2);
    staged.cleanup();
}

TEST_F(SandboxStagingTest, FoldersLeftByACrashAreRemovedButLiveRunsAreKept) {
    const auto running = stage();
    fs::create_directories(sandbox() / "0A3F0C2E-0000-4000-8000-000000000001");
    std::ofstream(sandbox() / "0A3F0C2E-0000-4000-8000-000000000001" / "contacts.db") << "x";
    test::LogCapture logs;
    const auto next = stage();
    EXPECT_FALSE(fs::exists(sandbox() / "0A3F0C2E-0000-4000-8000-000000000001"));
    EXPECT_TRUE(fs::exists(running.directory));
    EXPECT_TRUE(logs->contains("stale_run_folder_removed"));
    next.cleanup();
    running.cleanup();
}

TEST_F(SandboxStagingTest, RunFoldersNameTheirProcessAndAStartSweepsWhatDeadRunsLeft) {
    const auto running = stage();
    EXPECT_TRUE(running.directory.filename().string().starts_with(std::to_string(::getpid()) + "-"))
        << running.directory;
    const auto left = sandbox() / "999999999-0A3F0C2E-0000-4000-8000-000000000003";
    fs::create_directories(left);
    std::ofstream(left / "contacts.db") << "x";
    fs::create_directories(sandbox() / ".keep");

    test::LogCapture logs;
    Runner::sweepLeftovers(shadowPath.string());
    EXPECT_FALSE(fs::exists(left));
    EXPECT_TRUE(fs::exists(running.dbPath));
    EXPECT_TRUE(fs::exists(sandbox() / ".keep"));
    ASSERT_EQ(logs->events("stale_run_folder_removed").size(), 1u);
    EXPECT_EQ(logs->events("stale_run_folder_removed").at(0).metadata.at("pid"), "999999999");
    running.cleanup();
}

TEST_F(SandboxStagingTest, AStartSweepWithoutASandboxDoesNothing) {
    test::TempDir other;
    test::LogCapture logs;
    Runner::sweepLeftovers((other / "shadow.db").string());
    EXPECT_FALSE(fs::exists(other / ".vask-rlm-sandbox"));
    EXPECT_FALSE(logs->contains("stale_run_folder_sweep_failed"));
}

TEST_F(SandboxStagingTest, AStaleFolderThatCannotBeRemovedIsReportedAsSuch) {
    const auto stale = sandbox() / "0A3F0C2E-0000-4000-8000-000000000002";
    fs::create_directories(stale);
    std::ofstream(stale / "shadow.db") << "x";
    if (!test::setImmutable(stale / "shadow.db", true)) {
        GTEST_SKIP() << "the file system cannot make a file undeletable here";
    }
    test::LogCapture logs;
    const auto staged = stage();
    test::setImmutable(stale / "shadow.db", false);
    EXPECT_TRUE(fs::exists(stale / "shadow.db"));
    EXPECT_FALSE(logs->contains("stale_run_folder_removed"));
    EXPECT_TRUE(logs->contains("stale_run_folder_removal_failed"));
    staged.cleanup();
}

TEST_F(SandboxStagingTest, ConcurrentStagingsUseTheirOwnFolders) {
    std::vector<std::future<Runner::StagedDatabases>> runs;
    for (int i = 0; i < 8; ++i) {
        runs.push_back(std::async(std::launch::async, [this] { return stage(); }));
    }
    std::set<fs::path> folders;
    std::vector<Runner::StagedDatabases> results;
    for (auto& run : runs) {
        results.push_back(run.get());
        folders.insert(results.back().directory);
    }
    EXPECT_EQ(folders.size(), 8u);
    for (const auto& staged : results) {
        EXPECT_TRUE(fs::exists(staged.dbPath));
        staged.cleanup();
    }
    EXPECT_TRUE(fs::is_empty(sandbox()));
}

// A question is staged, and every store opens its database, while another connection of Vask
// reads the same files (the sync's, the staging's hold of the live shadow). Whatever they do to
// the files must leave that connection's locks in place: the helper's SQLite, finding the live
// index of the shadow database unheld through its link, would reset it under the sync's mapping.
TEST_F(SandboxStagingTest, EveryStoreKeepsTheLocksAnotherConnectionHolds) {
    struct Case {
        const char* name;
        fs::path database;
        std::function<void()> act;
    };
    ChatSession session;
    session.id = "S1";
    const auto memoryPath = dir / "data" / "memory.db";
    const auto contactsPath = dir / "data" / "contacts.db";
    const auto sessionsPath = dir / "data" / "sessions.db";
    SQLiteSessionStore(sessionsPath).saveSessions({session});
    const Case cases[] = {
        {"a question staged", shadowPath, [&] { stage().cleanup(); }},
        {"the shadow database opened to write", shadowPath,
         [&] { ShadowDB(shadowPath).createSchemaIfNeeded(); }},
        {"the memory store opened", memoryPath,
         [&] { MemoryStore(memoryPath, MemoryStoreChanges::make()); }},
        {"the contacts store opened", contactsPath, [&] { ContactsStore{contactsPath}; }},
        // Saved without a write-ahead log: a save waits for the reader, so the reader is the
        // staging of a question that snapshots the sessions.
        {"the sessions staged", sessionsPath,
         [&] { stage(std::nullopt, sessionsPath.string(), "S1", {session}).cleanup(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.act();
        auto holder = SQLiteConnection::open(c.database, SQLiteSupport::OpenMode::readWriteCreate);
        holder.execute("BEGIN");
        SQLiteStatement(holder.get(), "SELECT count(*) FROM sqlite_schema").step();
        std::vector<fs::path> held{c.database};
        if (fs::exists(c.database.string() + "-shm")) {
            held.push_back(c.database.string() + "-shm");
        }
        for (const auto& file : held) {
            ASSERT_TRUE(test::lockedForAnotherProcess(file)) << file;
        }

        std::thread(c.act).join();

        for (const auto& file : held) {
            EXPECT_TRUE(test::lockedForAnotherProcess(file)) << file;
        }
        holder.execute("COMMIT");
    }
}

TEST_F(SandboxStagingTest, AMissingShadowDatabaseFailsAndLeavesNoRunFolder) {
    EXPECT_THROW(Runner::stageDatabasesForSandbox((dir / "data" / "absent.db").string(), {}, {}, {},
                                                  nullptr, {}, {}, {}),
                 fs::filesystem_error);
    EXPECT_TRUE(fs::is_empty(sandbox()));
}

}  // namespace
}  // namespace vask
