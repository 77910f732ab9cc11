#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>
#include <vector>

#include "memory/memory_store.h"
#include "memory_test_support.h"
#include "support/scoped_umask.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using Case = MemoryStoreError::Case;

struct Row {
    std::string id;  // as the old file stored it
    std::string state;
    std::int64_t createdAt;
    std::string provenance;  // only for files at version 2
};

// Created out of order, with ties on created_at, and one tombstoned row.
const std::vector<Row> fixtureRows = {
    {"C3B1A9E2-0000-4000-8000-000000000003", "active", 300, "inferred"},
    {"A1B1A9E2-0000-4000-8000-000000000001", "active", 100, "explicit"},
    {"B2B1A9E2-0000-4000-8000-000000000002", "tombstoned", 200, "explicit"},
    {"0ab1a9e2-0000-4000-8000-000000000004", "active", 100, "inferred"},
};

std::string lowered(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

void writeFixture(const std::filesystem::path& path, std::int32_t version) {
    auto db = test::openRaw(path);
    if (version == 0) {
        db.execute(memory_schema::migrationStatements(1)[0]);
    } else {
        test::buildSchema(db, version);
    }
    for (const auto& row : fixtureRows) {
        const std::string id = version == 0 ? row.id : lowered(row.id);
        SQLiteStatement insert(
            db.get(), version >= 2 ? "INSERT INTO associations(id, principal, term, definition, "
                                     "state, created_at, updated_at, provenance) VALUES "
                                     "(?, 'p', 'term', 'definition', ?, ?, ?, ?)"
                                   : "INSERT INTO associations(id, principal, term, definition, "
                                     "state, created_at, updated_at) VALUES "
                                     "(?, 'p', 'term', 'definition', ?, ?, ?)");
        insert.bind(1, id).bind(2, row.state).bind(3, row.createdAt).bind(4, row.createdAt);
        if (version >= 2) {
            insert.bind(5, row.provenance);
        }
        insert.run();
    }
}

TEST(MemoryMigration, OlderFilesReachVersionThreeWithExactFullTextRows) {
    for (std::int32_t version : {0, 1, 2}) {
        SCOPED_TRACE("from version " + std::to_string(version));
        test::TempDir dir;
        const auto path = dir / "memory.db";
        writeFixture(path, version);

        MemoryStore store(path, MemoryStoreChanges::make());

        auto db = test::openRaw(path);
        EXPECT_EQ(test::queryInt(db, "PRAGMA user_version"), 3);
        EXPECT_EQ(test::queryText(db, "PRAGMA journal_mode"), "wal");
        EXPECT_EQ(test::queryInt(db,
                                 "SELECT count(*) FROM sqlite_master WHERE name = "
                                 "'associations_v0'"),
                  0);
        EXPECT_EQ(test::queryInt(db, "SELECT count(*) FROM sqlite_master WHERE type = 'trigger'"),
                  3);
        EXPECT_EQ(test::queryInt(db, "SELECT count(*) FROM associations WHERE id <> lower(id)"), 0);

        // Keys follow created_at, then id, over every row, tombstoned ones included.
        std::vector<std::string> keyed;
        SQLiteStatement keys(db.get(), "SELECT id FROM association_fts_keys ORDER BY fts_rowid");
        while (keys.step()) {
            keyed.push_back(keys.columnText(0));
        }
        EXPECT_EQ(keyed, (std::vector<std::string>{"0ab1a9e2-0000-4000-8000-000000000004",
                                                   "a1b1a9e2-0000-4000-8000-000000000001",
                                                   "b2b1a9e2-0000-4000-8000-000000000002",
                                                   "c3b1a9e2-0000-4000-8000-000000000003"}));
        // Only active rows are indexed, each under its key's rowid.
        EXPECT_EQ(test::queryInt(db,
                                 "SELECT count(*) FROM associations_fts f JOIN "
                                 "association_fts_keys k ON k.fts_rowid = f.rowid AND "
                                 "k.id = f.id JOIN associations a ON a.id = f.id AND "
                                 "a.state = 'active'"),
                  3);
        EXPECT_EQ(test::queryInt(db, "SELECT count(*) FROM associations_fts"), 3);
        EXPECT_TRUE(test::ftsIntact(db));

        const std::string expectedProvenance = version == 2 ? "inferred" : "explicit";
        EXPECT_EQ(test::queryText(db, "SELECT provenance FROM associations WHERE id LIKE 'c3%'"),
                  expectedProvenance);
    }
}

TEST(MemoryMigration, NewerFileIsRefusedUntouched) {
    test::TempDir dir;
    const auto path = dir / "memory.db";
    {
        auto db = test::openRaw(path);
        db.execute("CREATE TABLE future(x TEXT); INSERT INTO future VALUES ('kept');");
        SQLiteSupport::setUserVersion(4, db.get());
    }
    try {
        MemoryStore store(path, MemoryStoreChanges::make());
        FAIL() << "a version-4 file was opened";
    } catch (const MemoryStoreError& error) {
        EXPECT_EQ(error, MemoryStoreError::unsupportedSchemaVersion(4));
    }
    auto db = test::openRaw(path);
    EXPECT_EQ(test::queryText(db, "PRAGMA journal_mode"), "delete");
    EXPECT_EQ(test::queryText(db, "SELECT x FROM future"), "kept");
    EXPECT_EQ(test::queryInt(db, "SELECT count(*) FROM sqlite_master"), 1);
    EXPECT_EQ(test::queryInt(db, "PRAGMA user_version"), 4);
}

TEST(MemoryMigration, BadUnversionedRowRollsBackTheWholeMigration) {
    test::TempDir dir;
    const auto path = dir / "memory.db";
    {
        auto db = test::openRaw(path);
        db.execute(memory_schema::migrationStatements(1)[0]);
        db.execute("INSERT INTO associations VALUES ('not-a-uuid', 'p', 't', 'd', 'active', 1, 1)");
    }
    try {
        MemoryStore store(path, MemoryStoreChanges::make());
        FAIL() << "a row that breaks the checks was migrated";
    } catch (const MemoryStoreError& error) {
        EXPECT_EQ(error.errorCase(), Case::migrationFailed);
        EXPECT_EQ(error.message().rfind("migration statement: ", 0), 0u) << error.message();
    }
    auto db = test::openRaw(path);
    EXPECT_EQ(test::queryInt(db, "PRAGMA user_version"), 0);
    EXPECT_EQ(test::queryText(db, "SELECT id FROM associations"), "not-a-uuid");
    EXPECT_EQ(test::queryInt(db,
                             "SELECT count(*) FROM sqlite_master WHERE name = "
                             "'associations_v0'"),
              0);
}

TEST(MemoryMigration, WriteLockHeldPastTheRetryWindowFailsConfiguration) {
    test::TempDir dir;
    const auto path = dir / "memory.db";
    auto holder = test::openRaw(path);
    holder.execute("CREATE TABLE t(x); BEGIN IMMEDIATE; INSERT INTO t VALUES (1);");
    try {
        MemoryStore store(path, MemoryStoreChanges::make(), Clock::system(),
                          std::chrono::milliseconds(100));
        FAIL() << "opened while another connection held the write lock";
    } catch (const MemoryStoreError& error) {
        EXPECT_EQ(error.errorCase(), Case::migrationFailed);
        EXPECT_EQ(error.message().rfind("configuration: ", 0), 0u) << error.message();
    }
    // A failed opening holds neither the lock file nor the database: once the other writer
    // ends, opening succeeds.
    holder.execute("COMMIT");
    MemoryStore store(path, MemoryStoreChanges::make(), Clock::system(),
                      std::chrono::milliseconds(100));
    EXPECT_TRUE(store.activeAssociations(*MemoryPrincipal::make("p")).empty());
}

// Other users must never read memory: every file of the store is 0600 from its creation, whatever
// the umask, and files an older build left readable are tightened when the store opens them.
TEST(MemoryMigration, EveryFileOfTheStoreIsOwnerOnly) {
    const test::PermissiveUmask permissive;
    const auto mode = [](const std::filesystem::path& path) {
        struct stat info {};
        EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
        return info.st_mode & 0777;
    };
    for (const bool existed : {false, true}) {
        SCOPED_TRACE(existed ? "files left readable by an older build" : "new files");
        test::TempDir dir;
        const auto path = dir / "nested" / "memory.db";
        std::filesystem::create_directories(path.parent_path());
        const std::vector<std::string> files = {"", "-wal", "-shm", ".lock"};
        SQLiteConnection olderReader;
        if (existed) {
            MemoryStore(path, MemoryStoreChanges::make());
            // An open WAL reader keeps -wal and -shm on disk.
            olderReader = test::openRaw(path);
            test::queryInt(olderReader, "SELECT count(*) FROM associations");
            for (const auto& suffix : files) {
                ASSERT_EQ(::chmod((path.string() + suffix).c_str(), 0644), 0) << suffix;
            }
        }
        MemoryStore store(path, MemoryStoreChanges::make());
        store.createAssociation(*MemoryPrincipal::make("p"), "t", "d",
                                MemoryProvenance::explicitlySaved, Uuid::random(), 1);
        for (const auto& suffix : files) {
            EXPECT_EQ(mode(path.string() + suffix), 0600u) << suffix;
        }
        const auto copy = dir / "staged" / "memory.db";
        store.snapshot(copy);
        EXPECT_EQ(mode(copy), 0600u);
    }
}

TEST(MemoryMigration, StoresOpeningTogetherBothFindVersionThree) {
    test::TempDir dir;
    const auto path = dir / "memory.db";
    writeFixture(path, 0);
    std::vector<std::thread> openers;
    std::atomic<int> opened{0};
    for (int i = 0; i < 4; ++i) {
        openers.emplace_back([&] {
            MemoryStore store(path, MemoryStoreChanges::make());
            if (store.activeAssociations(*MemoryPrincipal::make("p")).size() == 3) {
                ++opened;
            }
        });
    }
    for (auto& opener : openers) {
        opener.join();
    }
    EXPECT_EQ(opened, 4);
    auto db = test::openRaw(path);
    EXPECT_EQ(test::queryInt(db, "SELECT count(*) FROM association_fts_keys"), 4);
}

// A memory.db that is a link is refused, naming it: SQLite would open the target and make its
// -wal and -shm beside the target, outside the data folder. The link and its target stay.
TEST(MemoryMigration, ALinkedDatabaseIsRefusedAndLeftAsItIs) {
    for (const char* linked : {"", "-wal"}) {
        SCOPED_TRACE(*linked ? "linked -wal" : "linked memory.db");
        test::TempDir data;
        test::TempDir elsewhere;
        const auto target = elsewhere / "unrelated";
        std::ofstream(target) << "unrelated";
        ::chmod(target.c_str(), 0644);
        const auto path = data / "memory.db";
        if (*linked) {
            MemoryStore(path, MemoryStoreChanges::make());
            std::filesystem::remove(path.string() + linked);
        }
        std::filesystem::create_symlink(target, path.string() + linked);
        try {
            MemoryStore store(path, MemoryStoreChanges::make());
            ADD_FAILURE() << "a linked database was opened";
        } catch (const MemoryStoreError& error) {
            EXPECT_NE(error.message().find(path.string() + linked), std::string::npos)
                << error.message();
        }
        EXPECT_TRUE(std::filesystem::is_symlink(path.string() + linked));
        struct stat info {};
        ASSERT_EQ(::stat(target.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0644u);
        EXPECT_EQ(info.st_size, 9);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(elsewhere.path()), {}), 1);
    }
}

}  // namespace
}  // namespace vask
