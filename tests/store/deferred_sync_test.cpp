// A synchronisation that builds its indexes at the end must leave the same database as one that
// keeps them row by row, and must end exact however it is interrupted.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "platform/text.h"
#include "sample-chatdb/sample_chat_db.h"
#include "store/shadow_db.h"
#include "store/shadow_sync.h"
#include "store_test_helpers.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

constexpr std::int64_t never = std::numeric_limits<std::int64_t>::max();
// Small batches: a history of two of them takes every path that a history of two full batches
// takes, with a tenth of the rows.
constexpr int batchRows = 1000;
constexpr std::int64_t historyRows = 2 * batchRows;
const char* const queries[] = {"you", "the", "see*", "\"see you\"", "ok OR yes", "caf*"};

std::vector<std::string> column(const std::filesystem::path& path, const std::string& sql) {
    auto db = test::openFile(path);
    SQLiteStatement statement(db.get(), sql);
    std::vector<std::string> values;
    while (statement.step()) {
        values.push_back(statement.columnText(0));
    }
    return values;
}

// Everything a reader can see of a shadow database, keyed by what it is.
std::map<std::string, std::vector<std::string>> snapshot(const std::filesystem::path& path,
                                                         bool withRowids) {
    std::map<std::string, std::vector<std::string>> seen;
    const std::string rowid = withRowids ? "rowid, " : "";
    seen["messages"] = column(
        path, "SELECT json_array(" + rowid +
                  "guid, chat_id, chat_name, sender, text, timestamp, is_from_me, is_group, "
                  "recipient_handle, has_attachments, attachment_types, content_hash, edited_at, "
                  "deleted_at) FROM messages ORDER BY guid");
    seen["schema"] = column(path,
                            "SELECT json_array(type, name, tbl_name, sql) FROM sqlite_master "
                            "WHERE name NOT LIKE 'sqlite_%' ORDER BY type, name");
    seen["participants"] = column(path,
                                  "SELECT json_array(chat_id, handle_id, handle, service) "
                                  "FROM chat_participants ORDER BY chat_id, handle_id");
    seen["sync_state"] = column(
        path, "SELECT json_array(last_timestamp, last_rowid, message_count) FROM sync_state");
    for (const char* query : queries) {
        auto db = test::openFile(path);
        SQLiteStatement statement(db.get(),
                                  "SELECT m.guid FROM messages_fts JOIN messages m ON "
                                  "m.rowid = messages_fts.rowid WHERE messages_fts MATCH ? "
                                  "ORDER BY m.guid");
        statement.bind(1, query);
        auto& matches = seen[std::string("search ") + query];
        while (statement.step()) {
            matches.push_back(statement.columnText(0));
        }
    }
    test::checkMessagesFullTextIndex(path);
    return seen;
}

ShadowSync smallBatchSync(const std::filesystem::path& source, const std::filesystem::path& shadow,
                          std::int64_t deferredIndexingThreshold) {
    ShadowSync sync(source, shadow);
    sync.setBatchSize(batchRows);
    sync.setDeferredIndexingThreshold(deferredIndexingThreshold);
    return sync;
}

void expectSame(const std::map<std::string, std::vector<std::string>>& actual,
                const std::map<std::string, std::vector<std::string>>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (const auto& [what, values] : expected) {
        SCOPED_TRACE(what);
        EXPECT_EQ(actual.at(what).size(), values.size());
        EXPECT_TRUE(actual.at(what) == values);
    }
}

class DeferredSyncTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder_ = new test::TempDir;
        sample::buildSampleChatDB(chatDB(), {historyRows, 40, 7});
        // Messages in two chats, the later chat joined first.
        test::openFile(chatDB()).execute(
            "INSERT OR IGNORE INTO chat_message_join (chat_id, message_id) "
            "SELECT 1 + (message_id % 40), message_id FROM chat_message_join "
            "WHERE message_id % 97 = 0");
        reference_ = new std::map<std::string, std::vector<std::string>>;
        const auto path = dir() / "reference.db";
        smallBatchSync(chatDB(), path, never).performSync();
        *reference_ = snapshot(path, true);
        referenceWithoutRowids_ = new std::map<std::string, std::vector<std::string>>;
        *referenceWithoutRowids_ = snapshot(path, false);
    }
    static void TearDownTestSuite() {
        delete reference_;
        delete referenceWithoutRowids_;
        delete folder_;
    }

    static const std::filesystem::path& dir() { return folder_->path(); }
    static std::filesystem::path chatDB() { return dir() / "chat.db"; }

    static test::TempDir* folder_;
    // The shadow database a row-by-row synchronisation makes of the sample.
    static std::map<std::string, std::vector<std::string>>* reference_;
    // The same, leaving out row ids, which depend on where an interrupted run stopped.
    static std::map<std::string, std::vector<std::string>>* referenceWithoutRowids_;
};

test::TempDir* DeferredSyncTest::folder_ = nullptr;
std::map<std::string, std::vector<std::string>>* DeferredSyncTest::reference_ = nullptr;
std::map<std::string, std::vector<std::string>>* DeferredSyncTest::referenceWithoutRowids_ =
    nullptr;

TEST_F(DeferredSyncTest, DeferredRunLeavesWhatARowByRowRunLeaves) {
    struct Row {
        const char* name;
        std::int64_t threshold;
    };
    const Row rows[] = {{"row by row", never}, {"deferred", 0}};
    std::map<std::string, std::map<std::string, std::vector<std::string>>> results;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto path = dir() / (std::string(row.name) + ".db");
        auto sync = smallBatchSync(chatDB(), path, row.threshold);
        sync.performSync();
        expectSame(snapshot(path, true), *reference_);
        // Everything again over itself (the cursor wound back): every row is replaced, and the
        // deferred run meets a full-text index that still names the rows it replaces.
        {
            ShadowDB shadow(path);
            shadow.updateSyncState(0, 0, shadow.syncedMessageCount());
        }
        std::vector<std::string> wrongRows;
        std::size_t found = 0;
        bool searched = false;
        sync.performSync([&](std::int64_t processed, std::int64_t total) {
            if (processed == 0 || processed >= total || searched) {
                return;
            }
            searched = true;
            EXPECT_EQ(ShadowDB(path, ShadowDB::OpenMode::readOnly).isIndexMaintenanceSuspended(),
                      row.threshold == 0);
            const auto hits = sync.search("you", 1000);
            found = hits.size();
            for (const auto& result : hits) {
                if (text::toLower(result.text).find("you") == std::string::npos) {
                    wrongRows.push_back(result.guid);
                }
            }
        });
        EXPECT_TRUE(searched);
        EXPECT_GT(found, 0u);
        EXPECT_TRUE(wrongRows.empty());
        results[row.name] = snapshot(path, true);
    }
    expectSame(results["deferred"], results["row by row"]);
}

TEST_F(DeferredSyncTest, AWriterOpeningDuringADeferredRunLeavesItsIndexesAlone) {
    // The calendar engine or the file access service checks the schema while a first
    // synchronisation runs: rebuilding now would stall the run on the write lock, and recreating
    // the triggers without a rebuild would leave the index short for good.
    const auto path = dir() / "shared.db";
    auto sync = smallBatchSync(chatDB(), path, 0);
    std::optional<bool> suspendedAfterCheck;
    sync.performSync([&](std::int64_t processed, std::int64_t) {
        if (processed == 0 && !suspendedAfterCheck) {
            ShadowDB other(path);
            other.createSchemaIfNeeded();
            suspendedAfterCheck = other.isIndexMaintenanceSuspended();
        }
    });
    EXPECT_EQ(suspendedAfterCheck, true);
    expectSame(snapshot(path, true), *reference_);
}

TEST_F(DeferredSyncTest, OnlyRunsWithManyRowsDeferTheirIndexes) {
    struct Row {
        const char* name;
        std::int64_t threshold;
        std::int64_t appended;  // new messages after a first, complete run
        bool deferred;
    };
    // On the history of 2,000 rows.
    const Row rows[] = {
        {"few rows on a larger history", 0, 10, false},
        {"below the threshold", 3000, 2500, false},
        {"as many rows as the history, above the threshold", 1500, 2500, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir runDir;
        const auto source = runDir / "chat.db";
        std::filesystem::copy_file(chatDB(), source);
        const auto path = runDir / "shadow.db";
        auto sync = smallBatchSync(source, path, never);
        // What a question asked before the first copy made anything is told: wait.
        EXPECT_TRUE(sync.fullTextIndexPending()) << "no shadow database yet";
        sync.performSync();
        sample::appendSampleMessages(source, row.appended, 11);
        sync.setDeferredIndexingThreshold(row.threshold);
        std::optional<bool> suspended;
        std::optional<bool> pending;
        sync.performSync([&](std::int64_t, std::int64_t) {
            if (!suspended) {
                suspended =
                    ShadowDB(path, ShadowDB::OpenMode::readOnly).isIndexMaintenanceSuspended();
                // What a question asked now is told: wait for the index being built.
                pending = sync.fullTextIndexPending();
            }
        });
        EXPECT_EQ(suspended, row.deferred);
        EXPECT_EQ(pending, row.deferred);
        EXPECT_FALSE(ShadowDB(path, ShadowDB::OpenMode::readOnly).isIndexMaintenanceSuspended());
        EXPECT_FALSE(sync.fullTextIndexPending());
        EXPECT_NO_THROW(test::checkMessagesFullTextIndex(path));
    }
}

TEST_F(DeferredSyncTest, KilledRunEndsExactWhenRunAgain) {
    // A child process synchronises with deferred indexes and is killed (SIGKILL) at a progress
    // report: waiting there, or carrying on (inside whatever it does next). The first report
    // comes once the indexes are dropped, the two batch reports once each batch committed, the
    // last one after the indexes are rebuilt.
    struct Row {
        const char* name;
        int report;  // 0-based progress report at which the child is killed
        bool carryOn;
    };
    const Row rows[] = {
        {"indexes dropped, nothing copied", 0, false},
        {"first batch committed", 1, false},
        {"last batch committed", 2, false},
        {"after the rebuild", 3, false},
        {"copying the last batch", 1, true},
        {"committing, or inside the rebuild", 2, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto path = dir() / "killed.db";
        for (const char* suffix : {"", "-wal", "-shm"}) {
            std::filesystem::remove(path.string() + suffix);
        }
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(fds[0]);
            int reports = 0;
            auto sync = smallBatchSync(chatDB(), path, 0);
            try {
                sync.performSync([&](std::int64_t, std::int64_t) {
                    if (reports++ != row.report) {
                        return;
                    }
                    const char reached = 1;
                    [[maybe_unused]] const auto written = ::write(fds[1], &reached, 1);
                    while (!row.carryOn) {
                        ::pause();
                    }
                });
            } catch (...) {
            }
            ::pause();  // the kill comes whatever happened
            std::_Exit(0);
        }
        ::close(fds[1]);
        char reached = 0;
        EXPECT_EQ(::read(fds[0], &reached, 1), 1);
        ::close(fds[0]);
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status));

        // With a threshold that would copy row by row: the run goes on with the copy that was
        // cut short, or repairs what it left.
        smallBatchSync(chatDB(), path, never).performSync();
        expectSame(snapshot(path, false), *referenceWithoutRowids_);
    }
}

TEST_F(DeferredSyncTest, ARowReadAgainWithoutItsChatKeepsTheChatOfTheRowItReplaces) {
    // Every message copied again from the start, a tenth of them now without their join (read
    // before it was committed, as far as the copy can tell): whether the copy replaces row by
    // row or appends and keeps the last row of each guid at its end, those keep their chats.
    test::TempDir runDir;
    const auto source = runDir / "chat.db";
    std::filesystem::copy_file(chatDB(), source);
    std::map<std::string, std::map<std::string, std::vector<std::string>>> results;
    for (const std::int64_t threshold : {never, std::int64_t{0}}) {
        SCOPED_TRACE(threshold);
        const auto path = runDir / ("shadow-" + std::to_string(threshold) + ".db");
        smallBatchSync(chatDB(), path, never).performSync();
        {
            ShadowDB shadow(path);
            shadow.updateSyncState(0, 0, shadow.syncedMessageCount());
        }
        // The copy is over the history again; the move of late joins goes by its join cursor,
        // which is past every join already.
        auto sourceDB = test::openFile(source);
        sourceDB.execute(
            "DROP TABLE IF EXISTS held; CREATE TABLE held AS SELECT * FROM "
            "chat_message_join WHERE message_id % 10 = 3; "
            "DELETE FROM chat_message_join WHERE message_id % 10 = 3");
        smallBatchSync(source, path, threshold).performSync();
        sourceDB.execute("INSERT INTO chat_message_join SELECT * FROM held");
        results[std::to_string(threshold)] = snapshot(path, false);
    }
    expectSame(results["0"], results[std::to_string(never)]);
    expectSame(results["0"], *referenceWithoutRowids_);
}

// A message in several chats is one row per chat in the Messages database and one row in the
// shadow database: the row of the chat of its join with the highest row id, whichever way the
// copy went, also when that join arrived only after the message was copied into another chat
// (the last one by row id, or the first). And the
// guid has one index, the unique one, also in a database an older build made with a plain index
// beside it.
TEST_F(DeferredSyncTest, BothPathsKeepTheLastChatOfAMessageAndOneIndexOnTheGuid) {
    struct Row {
        const char* name;
        std::int64_t threshold;
        bool olderBuildsIndex;
        // The join held back until after the first run: to the message's last chat (MAX) or
        // its first (MIN); none for a single run.
        const char* lateJoin;
    };
    const Row rows[] = {{"row by row", never, false, nullptr},
                        {"deferred", 0, false, nullptr},
                        {"row by row, older database", never, true, nullptr},
                        {"deferred, older database", 0, true, nullptr},
                        {"row by row, the last chat joined in a later run", never, false, "MAX"},
                        {"deferred, the last chat joined in a later run", 0, false, "MAX"},
                        {"row by row, the first chat joined in a later run", never, false, "MIN"}};
    // The chat of each such message's join with the highest row id, as the Messages database has
    // it.
    const auto lastChatsIn = [](const std::filesystem::path& source) {
        return column(source,
                      "SELECT json_array(m.guid, (SELECT c.guid FROM chat_message_join j JOIN chat "
                      "c ON c.ROWID = j.chat_id WHERE j.message_id = m.ROWID ORDER BY j.ROWID "
                      "DESC LIMIT 1)) FROM message m WHERE (SELECT COUNT(*) FROM "
                      "chat_message_join j WHERE j.message_id = m.ROWID) > 1 ORDER BY m.guid");
    };
    ASSERT_GT(lastChatsIn(chatDB()).size(), 5u);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir runDir;
        const auto path = runDir / "shadow.db";
        if (row.olderBuildsIndex) {
            ShadowDB(path).createSchemaIfNeeded();
            test::openFile(path).execute("CREATE INDEX idx_messages_guid ON messages(guid)");
        }
        auto source = chatDB();
        if (row.lateJoin != nullptr) {
            // Each such message copied while it was in its other chats only; its join to the
            // last (or the first) one comes afterwards, as a new row of the join table.
            source = runDir / "chat.db";
            std::filesystem::copy_file(chatDB(), source);
            test::openFile(source).execute(
                "CREATE TABLE held AS SELECT chat_id, message_id FROM chat_message_join j "
                "WHERE (SELECT COUNT(*) FROM chat_message_join o WHERE o.message_id = "
                "j.message_id) > 1 AND j.chat_id = (SELECT " +
                std::string(row.lateJoin) +
                "(chat_id) FROM chat_message_join o WHERE o.message_id = j.message_id);"
                "DELETE FROM chat_message_join WHERE (chat_id, message_id) IN "
                "(SELECT chat_id, message_id FROM held)");
            smallBatchSync(source, path, row.threshold).performSync();
            test::openFile(source).execute(
                "INSERT INTO chat_message_join (chat_id, message_id) "
                "SELECT chat_id, message_id FROM held");
        }
        smallBatchSync(source, path, row.threshold).performSync();
        auto shadow = test::openFile(path);
        SQLiteStatement attach(shadow.get(), "ATTACH ? AS source");
        attach.bind(1, source.string()).run();
        SQLiteStatement kept(shadow.get(),
                             "SELECT json_array(guid, chat_id) FROM messages WHERE guid IN "
                             "(SELECT m.guid FROM source.message m WHERE (SELECT COUNT(*) FROM "
                             "source.chat_message_join j WHERE j.message_id = m.ROWID) > 1) "
                             "ORDER BY guid");
        std::vector<std::string> keptChats;
        while (kept.step()) {
            keptChats.push_back(kept.columnText(0));
        }
        EXPECT_EQ(keptChats, lastChatsIn(source));
        EXPECT_EQ(column(path,
                         "SELECT il.name FROM pragma_index_list('messages') AS il WHERE (SELECT "
                         "group_concat(name) FROM pragma_index_info(il.name)) = 'guid'"),
                  std::vector<std::string>{"idx_messages_guid_unique"});
    }
}

// The bulk-copy lock held elsewhere (another Vask's copy, or any process that took the file):
// a run then writes without the full-text triggers and indexes the holder left out, or never
// made on a new database. It must not say it is done before they are whole: it waits for the
// lock at its end and builds them, or fails, and the next run builds them.
TEST_F(DeferredSyncTest, ARunThatCannotTakeTheBulkCopyLockIsDoneOnlyWithItsIndexesWhole) {
    struct Row {
        const char* name;
        bool releasedDuringTheRun;
    };
    const Row rows[] = {{"the lock let go during the run", true},
                        {"the lock held to the run's end", false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir runDir;
        const auto path = runDir / "shadow.db";
        // As another process holds it: flock conflicts between two opens of the file.
        int held = ::open((path.string() + "-bulk").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(held, 0);
        ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
        const auto release = [&] {
            if (held >= 0) {
                ::close(held);
                held = -1;
            }
        };
        auto sync = smallBatchSync(chatDB(), path, never);
        sync.setBulkCopyLockWait(row.releasedDuringTheRun ? std::chrono::minutes(1)
                                                          : std::chrono::milliseconds(200));
        std::optional<bool> wholeWhileCopying;
        const auto progress = [&](std::int64_t processed, std::int64_t total) {
            if (processed > 0 && processed < total && !wholeWhileCopying) {
                wholeWhileCopying = ShadowDB(path, ShadowDB::OpenMode::readOnly).indexesAreWhole();
            }
            if (processed >= total && row.releasedDuringTheRun) {
                release();
            }
        };
        if (row.releasedDuringTheRun) {
            EXPECT_NO_THROW(sync.performSync(progress));
        } else {
            try {
                sync.performSync(progress);
                ADD_FAILURE() << "the run said it was done with its indexes left out";
            } catch (const ShadowSyncError& error) {
                EXPECT_EQ(error.kind(), ShadowSyncError::Case::syncFailed);
            }
            EXPECT_FALSE(ShadowDB(path, ShadowDB::OpenMode::readOnly).indexesAreWhole());
            release();
            EXPECT_NO_THROW(sync.performSync());
        }
        EXPECT_EQ(wholeWhileCopying, false);
        EXPECT_TRUE(ShadowDB(path, ShadowDB::OpenMode::readOnly).indexesAreWhole());
        expectSame(snapshot(path, false), *referenceWithoutRowids_);
        release();
    }
}

TEST(DeferredSyncStopTest, AStopLeavesTheRebuildAndTheRepairToTheNextOpen) {
    // A quit must not wait for seconds of index building: a stop once the copy has ended skips
    // the rebuild, and a stop when the next run opens skips the repair; each leaves the indexes
    // suspended, and a later run without a stop still ends exact.
    test::TempDir dir;
    const auto chatDB = dir / "chat.db";
    sample::buildSampleChatDB(chatDB, {12345, 40, 7});
    const auto path = dir / "shadow.db";
    const auto cancelled = [](const std::function<void()>& run) {
        try {
            run();
        } catch (const ShadowSyncError& error) {
            return error.kind() == ShadowSyncError::Case::cancelled;
        }
        return false;
    };
    const auto suspended = [&] {
        return ShadowDB(path, ShadowDB::OpenMode::readOnly).isIndexMaintenanceSuspended();
    };
    ShadowSync sync(chatDB, path);
    sync.setDeferredIndexingThreshold(0);
    // The stop comes as the rebuild starts, once the copy has committed.
    std::stop_source quit;
    const auto previous =
        LogSink::install(std::make_shared<test::StopOnLog>(quit, "Building the indexes deferred"));
    EXPECT_TRUE(cancelled([&] { sync.performSync({}, quit.get_token()); }));
    LogSink::install(previous);
    EXPECT_TRUE(suspended());
    // The copy itself was committed, and the stopped run says so: only the indexes wait.
    EXPECT_GT(ShadowDB(path, ShadowDB::OpenMode::readOnly).syncedMessageCount(), 10000);
    EXPECT_EQ(column(path, "SELECT COUNT(DISTINCT guid) FROM messages"),
              std::vector{std::to_string(sync.messagesCommitted())});

    // Every row is in: without the stop the repair would leave nothing to suspend again.
    std::stop_source quitAgain;
    quitAgain.request_stop();
    EXPECT_TRUE(cancelled([&] { sync.performSync({}, quitAgain.get_token()); }));
    EXPECT_TRUE(suspended());
    EXPECT_EQ(sync.messagesCommitted(), 0);

    sync.performSync();
    EXPECT_FALSE(suspended());
    EXPECT_NO_THROW(test::checkMessagesFullTextIndex(path));
}

// Notes when the synchronisation logs a line starting with `prefix`.
class WhenLogged : public LogSink {
  public:
    explicit WhenLogged(std::string prefix) : prefix_(std::move(prefix)) {}
    bool isEnabled(LogLevel) const override { return true; }
    void write(const LogRecord& record) override {
        if (record.message.starts_with(prefix_) && !reached_.exchange(true)) {
            promise_.set_value(std::chrono::steady_clock::now());
        }
    }
    std::future<std::chrono::steady_clock::time_point> reached() { return promise_.get_future(); }

  private:
    std::string prefix_;
    std::atomic<bool> reached_{false};
    std::promise<std::chrono::steady_clock::time_point> promise_;
};

TEST(DeferredSyncStopTest, AStopInsideTheClosingBuildEndsItWithinASecondAndTheNextRunFinishesIt) {
    // The build at the end of a first copy runs for seconds on a large history (the guid's
    // index, the full-text index, the other indexes, the count): a quit asked at any point of
    // it is answered at once, and the next run builds the indexes whole.
    using Clock = std::chrono::steady_clock;
    test::TempDir dir;
    const auto chatDB = dir / "chat.db";
    sample::buildSampleChatDB(chatDB, {60000, 40, 7});
    const auto unindexed = dir / "unindexed.db";
    {
        std::stop_source quit;
        const auto previous = LogSink::install(
            std::make_shared<test::StopOnLog>(quit, "Building the indexes deferred"));
        ShadowSync sync(chatDB, unindexed);
        EXPECT_THROW(sync.performSync({}, quit.get_token()), ShadowSyncError);
        LogSink::install(previous);
    }
    ASSERT_FALSE(ShadowDB(unindexed, ShadowDB::OpenMode::readOnly).indexesAreWhole());
    const auto copyOfUnindexed = [&](const std::filesystem::path& path) {
        for (const char* suffix : {"", "-wal", "-shm"}) {
            std::filesystem::remove(path.string() + suffix);
        }
        std::filesystem::copy_file(unindexed, path);
    };
    // How long the build takes here, unstopped, and what it leaves.
    const auto probe = dir / "probe.db";
    copyOfUnindexed(probe);
    auto watch = std::make_shared<WhenLogged>("Building the indexes deferred");
    auto started = watch->reached();
    auto previous = LogSink::install(watch);
    ShadowSync(chatDB, probe).performSync();
    ASSERT_EQ(started.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    const auto build = Clock::now() - started.get();
    LogSink::install(previous);
    const auto expected = column(probe, "SELECT json_array(COUNT(*), SUM(rowid)) FROM messages");

    for (const double at : {0.05, 0.25, 0.5, 0.75}) {
        SCOPED_TRACE(at);
        const auto path = dir / "stopped.db";
        copyOfUnindexed(path);
        std::stop_source quit;
        watch = std::make_shared<WhenLogged>("Building the indexes deferred");
        started = watch->reached();
        previous = LogSink::install(watch);
        Clock::time_point returned;
        std::jthread run([&] {
            try {
                ShadowSync(chatDB, path).performSync({}, quit.get_token());
            } catch (const ShadowSyncError& error) {
                EXPECT_EQ(error.kind(), ShadowSyncError::Case::cancelled);
            }
            returned = Clock::now();
        });
        ASSERT_EQ(started.wait_for(std::chrono::minutes(1)), std::future_status::ready);
        std::this_thread::sleep_until(started.get() +
                                      std::chrono::duration_cast<Clock::duration>(build * at));
        const auto asked = Clock::now();
        quit.request_stop();
        run.join();
        LogSink::install(previous);
        EXPECT_LT(returned - asked, std::chrono::seconds(1))
            << "the build takes " << std::chrono::duration<double>(build).count() << " s";

        ShadowSync(chatDB, path).performSync();
        EXPECT_TRUE(ShadowDB(path, ShadowDB::OpenMode::readOnly).indexesAreWhole());
        EXPECT_NO_THROW(test::checkMessagesFullTextIndex(path));
        EXPECT_EQ(column(path, "SELECT json_array(COUNT(*), SUM(rowid)) FROM messages"), expected);
    }
}

// Opens the shadow database as the helper does (read-only, no wait for a lock) and reads a
// row; SQLite's code (SQLITE_BUSY when a lock keeps the reader out). The connection's close
// does not checkpoint: the readers here take no lock that another could meet.
int readAsTheHelperDoes(const std::filesystem::path& path, bool keepReading = false,
                        sqlite3** kept = nullptr) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        rc = sqlite3_exec(db,
                          keepReading ? "BEGIN; SELECT COUNT(*) FROM sync_state"
                                      : "SELECT COUNT(*) FROM sync_state",
                          nullptr, nullptr, nullptr);
    }
    if (kept != nullptr && rc == SQLITE_OK) {
        *kept = db;
        return rc;
    }
    sqlite3_close(db);
    return rc;
}

// Holds a read of the shadow database from when the closing build starts (as the question's
// check of the index or a search does), so that the log keeps the build's pages; the run's last
// progress report, after the build, ends it.
class ReadDuringTheBuild : public LogSink {
  public:
    explicit ReadDuringTheBuild(std::filesystem::path path) : path_(std::move(path)) {}
    bool isEnabled(LogLevel) const override { return true; }
    void write(const LogRecord& record) override {
        if (record.message.starts_with("Building the indexes deferred")) {
            std::lock_guard lock(mutex_);
            EXPECT_EQ(readAsTheHelperDoes(path_, true, &held_), SQLITE_OK);
        }
    }
    // Whether a read was held, ending it.
    bool release() {
        std::lock_guard lock(mutex_);
        if (held_ == nullptr) {
            return false;
        }
        sqlite3_exec(held_, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(held_);
        held_ = nullptr;
        return true;
    }

  private:
    std::filesystem::path path_;
    std::mutex mutex_;
    sqlite3* held_ = nullptr;
};

// Once a run reports its end (its last progress report, which is when a question waiting for
// the index may start the helper), nothing of the run keeps a reader out of the shadow
// database: its connections have let go of it, the closing build's with the rest. Closing the
// last connection checkpoints the log under an exclusive lock, so a connection closed after the
// report would lock out a reader opened then for as long as the log of a closing build takes.
TEST(DeferredSyncLocksTest, AReaderOpenedAsARunReportsItsEndNeverMeetsALock) {
    test::TempDir dir;
    const auto chatDB = dir / "chat.db";
    sample::buildSampleChatDB(chatDB, {30000, 40, 7});
    const auto path = dir / "shadow.db";
    const auto holder = std::make_shared<ReadDuringTheBuild>(path);
    const auto previous = LogSink::install(holder);
    std::atomic<bool> returned{false};
    std::atomic<int> reads{0};
    std::atomic<int> locked{0};
    std::jthread reader;
    ShadowSync sync(chatDB, path);
    sync.setDeferredIndexingThreshold(0);
    sync.performSync([&](std::int64_t, std::int64_t) {
        // The build is over when the run reports again: that report is its last.
        if (!holder->release()) {
            return;
        }
        reader = std::jthread([&] {
            // Reads as the helper starts, until a while after the run has returned.
            for (int after = 0; after < 50; after += returned ? 1 : 0) {
                const int rc = readAsTheHelperDoes(path);
                reads += 1;
                locked += rc == SQLITE_OK ? 0 : 1;
                EXPECT_EQ(rc, SQLITE_OK) << sqlite3_errstr(rc);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    });
    returned = true;
    reader.join();
    LogSink::install(previous);
    EXPECT_GE(reads, 50);
    EXPECT_EQ(locked, 0);
    EXPECT_TRUE(ShadowDB(path, ShadowDB::OpenMode::readOnly).indexesAreWhole());
}

}  // namespace
}  // namespace vask
