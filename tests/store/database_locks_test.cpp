#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "platform/file_io.h"
#include "platform/owner_only_file.h"
#include "store/shadow_db.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"
#include "support/lock_probe.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

namespace fs = std::filesystem;

// Closing any descriptor of a file drops every POSIX lock the process holds on it, whichever
// descriptor took them. While one connection holds a WAL database (its shared lock on the file,
// its lock on the -shm index), nothing else Vask does to the same files from another thread may
// let another process find them unheld: SQLite there would reset the index under our mapping
// (SIGBUS at our next commit) or write beside us.
TEST(DatabaseLocks, AConnectionsLocksSurviveEverythingElseVaskDoesToItsFiles) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& db)> act;
    };
    const Case cases[] = {
        {"prepareOwnerOnlyDatabase", [](const fs::path& db) { prepareOwnerOnlyDatabase(db); }},
        {"restrictDatabaseToOwner", [](const fs::path& db) { restrictDatabaseToOwner(db); }},
        {"prepare with companions open to others",
         [](const fs::path& db) {
             for (const char* suffix : {"", "-wal", "-shm"}) {
                 fs::permissions(db.string() + suffix, fs::perms::group_read,
                                 fs::perm_options::add);
             }
             prepareOwnerOnlyDatabase(db);
             for (const char* suffix : {"", "-wal", "-shm"}) {
                 EXPECT_EQ(fs::status(db.string() + suffix).permissions() & fs::perms::all,
                           fs::perms::owner_read | fs::perms::owner_write);
             }
         }},
        {"requireRegularFile",
         [](const fs::path& db) {
             requireRegularFile(db, LinkPolicy::refuse);
             requireRegularFile(db.string() + "-shm", LinkPolicy::refuse);
         }},
        {"a read-only connection opened and closed",
         [](const fs::path& db) {
             auto reader = SQLiteConnection::open(db, SQLiteSupport::OpenMode::readOnly);
             SQLiteStatement(reader.get(), "SELECT count(*) FROM t").step();
         }},
        {"a writing ShadowDB opened and closed",
         [](const fs::path& db) { ShadowDB shadow(db, ShadowDB::OpenMode::readWrite); }},
        {"a reading ShadowDB opened and closed",
         [](const fs::path& db) { ShadowDB shadow(db, ShadowDB::OpenMode::readOnly); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const auto db = dir / "shadow.db";
        const auto holder = SQLiteConnection::open(db, SQLiteSupport::OpenMode::readWriteCreate);
        holder.execute("PRAGMA journal_mode=WAL; CREATE TABLE t(x); INSERT INTO t VALUES (1)");
        SQLiteStatement(holder.get(), "SELECT count(*) FROM t").step();
        const fs::path shm = db.string() + "-shm";
        ASSERT_TRUE(test::lockedForAnotherProcess(db));
        ASSERT_TRUE(test::lockedForAnotherProcess(shm));

        std::thread([&] { c.act(db); }).join();

        EXPECT_TRUE(test::lockedForAnotherProcess(db)) << "the database's shared lock dropped";
        EXPECT_TRUE(test::lockedForAnotherProcess(shm)) << "the index's lock dropped";
    }
}

}  // namespace
}  // namespace vask
