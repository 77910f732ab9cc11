#include "store/full_disk_access_checker.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/file_io.h"
#include "store/chat_db_reader.h"
#include "store/sqlite_connection.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

void makeDatabase(const std::filesystem::path& path) {
    std::filesystem::create_directories(path.parent_path());
    auto db = SQLiteConnection::open(path, SQLiteSupport::OpenMode::readWriteCreate);
    db.execute("PRAGMA journal_mode=WAL; CREATE TABLE message (ROWID INTEGER PRIMARY KEY);");
}

TEST(FullDiskAccessCheckerTest, ProbeOutcomes) {
    struct Case {
        const char* name;
        std::function<void(const std::filesystem::path&)> prepare;
        FullDiskAccessResult expected;
        const char* event;
    };
    const std::vector<Case> cases = {
        {"no database", [](const auto&) {}, {false, "chat.db not found"}, "fda_chat_db_missing"},
        {"a Messages database", makeDatabase, {true, std::nullopt}, "fda_chat_db_read_ok"},
        {"an empty file reads as an empty database",
         [](const auto& path) { writeFileAtomically(path, ""); },
         {true, std::nullopt},
         "fda_chat_db_read_ok"},
        {"a file that is not a database",
         [](const auto& path) { writeFileAtomically(path, std::string(4096, 'x')); },
         {false, "authorization denied"},
         "fda_chat_db_read_failed"},
        {"a database whose header is broken",
         [](const auto& path) {
             makeDatabase(path);
             auto bytes = *readFileIfExists(path);
             bytes.replace(0, 16, "not SQLite here!");
             writeFileAtomically(path, bytes);
         },
         {false, "authorization denied"},
         "fda_chat_db_read_failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        test::LogCapture logs;
        const auto path = dir / "chat.db";
        c.prepare(path);
        const StructuredLogger logger("full-disk-access");
        EXPECT_EQ(FullDiskAccessChecker::checkDatabaseAccess(path, logger), c.expected);
        const auto events = logs->events(c.event);
        ASSERT_EQ(events.size(), 1U);
        EXPECT_EQ(events[0].category, "full-disk-access");
        EXPECT_EQ(events[0].metadata.at("path"), path.string());
        EXPECT_EQ(logs->records().size(), 1U);
    }
}

TEST(FullDiskAccessCheckerTest, ProbesTheDatabaseTheReaderReads) {
    test::TempDir home;
    test::TempDir elsewhere;
    const auto homeDatabase = home / "Library" / "Messages" / "chat.db";
    const auto override = elsewhere / "chat.db";
    makeDatabase(override);
    struct Row {
        const char* name;
        Environment env;
        std::filesystem::path probed;
        bool hasAccess;
    };
    const Row rows[] = {
        {"override",
         {{"HOME", home.path().string()}, {"CHAT_DB_PATH", override.string()}},
         override,
         true},
        {"home folder", {{"HOME", home.path().string()}}, homeDatabase, false},
    };
    const StructuredLogger logger("full-disk-access");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        test::LogCapture logs;
        EXPECT_EQ(FullDiskAccessChecker::checkChatDatabaseAccess(logger, row.env).hasAccess,
                  row.hasAccess);
        ASSERT_EQ(logs->records().size(), 1U);
        EXPECT_EQ(logs->records()[0].metadata.at("path"), row.probed.string());
    }
}

TEST(FullDiskAccessCheckerTest, ALockedDatabaseIsNotDeniedAccess) {
    struct Row {
        const char* name;
        bool releasedSoon;  // the writer finishes within the probe's busy timeout
        // A probe that waits reads the schema once the lock goes; one that gave up at once
        // would say busy for a lock held a moment.
        const char* event;
    };
    const Row rows[] = {{"locked throughout", false, "fda_chat_db_busy"},
                        {"lock released while waiting", true, "fda_chat_db_read_ok"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir dir;
        const auto path = dir / "chat.db";
        auto writer = SQLiteConnection::open(path, SQLiteSupport::OpenMode::readWriteCreate);
        // A rollback-journal database: its writer keeps readers out while it commits.
        writer.execute("CREATE TABLE message (ROWID INTEGER PRIMARY KEY); BEGIN EXCLUSIVE;");
        std::thread release;
        if (row.releasedSoon) {
            release = std::thread([&] {
                std::this_thread::sleep_for(
                    std::chrono::milliseconds(ChatDBReader::busyTimeoutMilliseconds / 10));
                writer.execute("COMMIT");
            });
        }
        test::LogCapture logs;
        const StructuredLogger logger("full-disk-access");
        EXPECT_EQ(FullDiskAccessChecker::checkDatabaseAccess(path, logger),
                  (FullDiskAccessResult{true, std::nullopt}));
        EXPECT_EQ(logs->events(row.event).size(), 1U);
        EXPECT_EQ(logs->records().size(), 1U);
        if (release.joinable()) {
            release.join();
        } else {
            writer.execute("COMMIT");
        }
    }
}

}  // namespace
}  // namespace vask
