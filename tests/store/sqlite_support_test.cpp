#include <gtest/gtest.h>
#include <sys/stat.h>

#include <stop_token>

#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"
#include "support/special_files.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using Mode = SQLiteSupport::OpenMode;

std::string pragma(const SQLiteConnection& db, const char* name) {
    SQLiteStatement statement(db.get(), std::string("PRAGMA ") + name);
    EXPECT_TRUE(statement.step());
    return statement.columnText(0);
}

TEST(SQLiteSupport, OpeningAMissingFolderReadOnlyFailsWithSQLitesReason) {
    test::TempDir dir;
    try {
        SQLiteSupport::open(dir / "missing" / "x.db", Mode::readOnly, 5000, false);
        FAIL() << "open succeeded";
    } catch (const SQLiteSupport::Failure& failure) {
        EXPECT_EQ(failure.resultCode(), SQLITE_CANTOPEN);
        EXPECT_EQ(failure.message(), "unable to open database file");
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

// A read-only open is made only on a regular file where it is: a FIFO (which SQLite would wait
// on in open()) and a link (whose target would get our -wal and -shm) are refused, naming the
// path, and left as they are.
TEST(SQLiteSupport, ReadOnlyOpensRefuseFifosAndLinksWithoutWaiting) {
    test::TempDir dir;
    SQLiteConnection::open(dir / "real.db", Mode::readWriteCreate)
        .execute("PRAGMA journal_mode=WAL; CREATE TABLE t(x)");
    ASSERT_EQ(::mkfifo((dir / "fifo.db").c_str(), 0600), 0);
    std::filesystem::create_symlink(dir / "real.db", dir / "link.db");
    for (const char* name : {"fifo.db", "link.db"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(test::returnsWithoutWaitingOn({dir / "fifo.db"}, [&] {
            try {
                SQLiteConnection::open(dir / name, Mode::readOnly);
                ADD_FAILURE() << "opened";
            } catch (const SQLiteSupport::Failure& failure) {
                EXPECT_EQ(failure.resultCode(), SQLITE_CANTOPEN);
                EXPECT_NE(failure.message().find((dir / name).string()), std::string::npos)
                    << failure.message();
            }
        }));
    }
    EXPECT_TRUE(test::isFifo(dir / "fifo.db"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.db"));
    EXPECT_FALSE(std::filesystem::exists(dir / "real.db-shm"));
    EXPECT_NO_THROW(SQLiteConnection::open(dir / "real.db", Mode::readOnly));
    // A folder reached through a link is the user's choice, and is followed.
    std::filesystem::create_directory_symlink(dir.path(), dir / "folder-link");
    EXPECT_NO_THROW(SQLiteConnection::open(dir / "folder-link" / "real.db", Mode::readOnly));
}

TEST(SQLiteSupport, ConfigureWriterSetsEveryPragmaAndKeepsExistingWal) {
    test::TempDir dir;
    struct Case {
        const char* name;
        SQLiteSupport::SynchronousMode synchronous;
        bool secureDelete;
        const char* expectedSynchronous;
        const char* expectedSecureDelete;
    };
    const Case cases[] = {
        // Debian's SQLite turns secure delete on by default, so only "on" is checked.
        {"normal writer", SQLiteSupport::SynchronousMode::normal, false, "1", nullptr},
        {"memory writer", SQLiteSupport::SynchronousMode::full, true, "2", "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = dir / (std::string(c.name) + ".db");
        auto db = SQLiteConnection::open(path, Mode::readWriteCreate);
        SQLiteSupport::configureWriter(db.get(), c.synchronous, c.secureDelete);
        EXPECT_EQ(pragma(db, "journal_mode"), "wal");
        EXPECT_EQ(pragma(db, "synchronous"), c.expectedSynchronous);
        EXPECT_EQ(pragma(db, "foreign_keys"), "1");
        if (c.expectedSecureDelete != nullptr) {
            EXPECT_EQ(pragma(db, "secure_delete"), c.expectedSecureDelete);
        }
        // Already WAL: configuring again must not try to change the journal mode.
        SQLiteSupport::configureWriter(db.get(), c.synchronous, c.secureDelete);
        EXPECT_EQ(pragma(db, "journal_mode"), "wal");
    }
}

TEST(SQLiteSupport, FailingStepNamesThePragma) {
    test::TempDir dir;
    const auto path = dir / "rollback.db";
    SQLiteConnection::open(path, Mode::readWriteCreate).execute("CREATE TABLE t(x)");

    // Switching a rollback-journal database to WAL needs a write, which a read-only one refuses.
    auto db = SQLiteConnection::open(path, Mode::readOnly);
    try {
        SQLiteSupport::configureWriter(db.get(), SQLiteSupport::SynchronousMode::normal, false);
        FAIL() << "configured a read-only database";
    } catch (const SQLiteSupport::Failure& failure) {
        EXPECT_EQ(failure.resultCode(), SQLITE_READONLY);
        EXPECT_EQ(failure.message(), "journal_mode: attempt to write a readonly database");
    }
}

TEST(SQLiteSupport, UserVersionAndExecute) {
    test::TempDir dir;
    auto db = SQLiteConnection::open(dir / "v.db", Mode::readWriteCreate);
    EXPECT_EQ(SQLiteSupport::userVersion(db.get()), 0);
    SQLiteSupport::setUserVersion(3, db.get());
    EXPECT_EQ(SQLiteSupport::userVersion(db.get()), 3);

    try {
        db.execute("CREATE TABLE a(x); CREATE TABLEX b(y);");
        FAIL() << "syntax error accepted";
    } catch (const SQLiteSupport::Failure& failure) {
        EXPECT_EQ(failure.resultCode(), SQLITE_ERROR);
        EXPECT_NE(failure.message().find("syntax error"), std::string::npos);
    }
    SQLiteStatement exists(db.get(), "SELECT count(*) FROM sqlite_master WHERE name = 'a'");
    ASSERT_TRUE(exists.step());
    EXPECT_EQ(exists.columnInt64(0), 1) << "the first statement ran before the second failed";
}

TEST(SQLiteSupport, OptionalTextBindsNullButEmptyTextStaysText) {
    test::TempDir dir;
    auto db = SQLiteConnection::open(dir / "b.db", Mode::readWriteCreate);
    SQLiteStatement select(db.get(), "SELECT ?1 IS NULL, typeof(?2)");
    EXPECT_EQ(SQLiteSupport::bindOptionalText(std::nullopt, 1, select.get()), SQLITE_OK);
    EXPECT_EQ(SQLiteSupport::bindOptionalText(std::string(), 2, select.get()), SQLITE_OK);
    ASSERT_TRUE(select.step());
    EXPECT_EQ(select.columnInt64(0), 1);
    EXPECT_EQ(select.columnText(1), "text");
    EXPECT_EQ(SQLiteSupport::synchronousMode("FULL"), SQLiteSupport::SynchronousMode::full);
    EXPECT_EQ(SQLiteSupport::synchronousMode("full"), std::nullopt);
}

TEST(SQLiteStatement, StepErrorsAreRaisedNotReadAsTheEndOfRows) {
    test::TempDir dir;
    auto db = SQLiteConnection::open(dir / "s.db", Mode::readWriteCreate);
    db.execute("CREATE TABLE t(x NOT NULL)");
    SQLiteStatement insert(db.get(), "INSERT INTO t VALUES (?1)");
    insert.bindNull(1);
    EXPECT_THROW(insert.step(), SQLiteSupport::Failure);
    EXPECT_THROW(SQLiteStatement(db.get(), "SELECT * FROM missing"), SQLiteSupport::Failure);
}

TEST(SQLiteConnection, FailedTransactionBodyRollsBackEverything) {
    test::TempDir dir;
    auto db = SQLiteConnection::open(dir / "tx.db", Mode::readWriteCreate);
    db.execute("CREATE TABLE t(x UNIQUE)");
    EXPECT_THROW(db.inImmediateTransaction([&] {
        db.execute("INSERT INTO t VALUES (1)");
        db.execute("INSERT INTO t VALUES (1)");
    }),
                 SQLiteSupport::Failure);
    SQLiteStatement count(db.get(), "SELECT count(*) FROM t");
    ASSERT_TRUE(count.step());
    EXPECT_EQ(count.columnInt64(0), 0);
    EXPECT_TRUE(sqlite3_get_autocommit(db.get()));
}

// A stop that came while no statement ran (SQLite forgets an interrupt then) still ends the next
// statement under a guard; guards nest, the inner one restoring the outer's look at its stop, and
// once the last is gone a statement runs to its end whatever was asked.
TEST(SQLiteStopInterrupt, AStopBeforeAStatementEndsItAndNestedGuardsRestoreTheOuterOne) {
    test::TempDir dir;
    auto db = SQLiteConnection::open(dir / "stop.db", Mode::readWriteCreate);
    db.execute("CREATE TABLE t(x)");
    // Long enough for many looks at the stop.
    const auto fill = [&] {
        try {
            db.execute(
                "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 200000) "
                "INSERT INTO t SELECT i FROM n");
        } catch (const SQLiteSupport::Failure& failure) {
            return failure.resultCode();
        }
        return SQLITE_OK;
    };
    const auto rows = [&] {
        SQLiteStatement count(db.get(), "SELECT count(*) FROM t");
        return count.step() ? count.columnInt64(0) : -1;
    };
    std::stop_source outer;
    std::stop_source inner;
    {
        const SQLiteStopInterrupt outerGuard(db.get(), outer.get_token());
        EXPECT_EQ(fill(), SQLITE_OK);
        outer.request_stop();
        EXPECT_EQ(fill(), SQLITE_INTERRUPT);
        {
            const SQLiteStopInterrupt innerGuard(db.get(), inner.get_token());
            EXPECT_EQ(fill(), SQLITE_INTERRUPT) << "the outer stop, seen by the inner guard";
            const SQLiteStopInterrupt unstoppable(db.get(), std::stop_token{});
            EXPECT_EQ(fill(), SQLITE_INTERRUPT) << "a token without a stop changes nothing";
        }
        EXPECT_EQ(fill(), SQLITE_INTERRUPT) << "the outer guard's look, restored";
        EXPECT_TRUE(sqlite3_get_autocommit(db.get()));
    }
    EXPECT_EQ(rows(), 200000);
    {
        const SQLiteStopInterrupt innerGuard(db.get(), inner.get_token());
        EXPECT_EQ(fill(), SQLITE_OK) << "only this guard's stop counts now";
        inner.request_stop();
        EXPECT_EQ(fill(), SQLITE_INTERRUPT);
    }
    EXPECT_EQ(fill(), SQLITE_OK);
    EXPECT_EQ(rows(), 3 * 200000);
}

// At quit every connection still open closes, wherever its owner is (moved ones too): the last
// close checkpoints the database and removes its -wal and -shm files. An owner that goes later
// closes nothing twice.
TEST(SQLiteConnection, ClosingEveryConnectionAtQuitLeavesNoWriteAheadLog) {
    test::TempDir dir;
    const auto path = dir / "quit.db";
    auto writer =
        std::make_unique<SQLiteConnection>(SQLiteConnection::open(path, Mode::readWriteCreate));
    SQLiteSupport::configureWriter(writer->get(), SQLiteSupport::SynchronousMode::normal, false);
    writer->execute("CREATE TABLE t(x); INSERT INTO t VALUES (1)");
    SQLiteConnection reader = SQLiteConnection::open(path, Mode::readOnly);
    SQLiteConnection moved = std::move(reader);
    EXPECT_EQ(pragma(moved, "user_version"), "0");
    ASSERT_TRUE(std::filesystem::exists(dir / "quit.db-wal"));

    EXPECT_GE(SQLiteConnection::closeEveryConnection(), 2u);
    EXPECT_FALSE(*writer);
    EXPECT_FALSE(moved);
    EXPECT_FALSE(std::filesystem::exists(dir / "quit.db-wal"));
    EXPECT_FALSE(std::filesystem::exists(dir / "quit.db-shm"));
    writer.reset();
    const auto again = SQLiteConnection::open(path, Mode::readOnly);
    EXPECT_EQ(SQLiteStatement(again.get(), "SELECT x FROM t").step(), true);
}

}  // namespace
}  // namespace vask
