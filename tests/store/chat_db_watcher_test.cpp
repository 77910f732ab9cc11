#include "store/chat_db_watcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/manual_executor.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using namespace std::chrono_literals;

class ChatDBWatcherTest : public ::testing::Test {
  protected:
    std::filesystem::path messagesFolder() const { return dir_ / "Library" / "Messages"; }

    void makeWatcher(bool withCallback = true) {
        watcher_ = std::make_unique<ChatDBWatcher>(messagesFolder() / "chat.db", clock_, queue_);
        if (withCallback) {
            watcher_->setOnSyncRequested([this] { ++requests_; });
        }
    }

    void start() {
        watcher_->start();
        queue_->runUntilIdle();
    }

    // A new folder inside the watched one is exactly one event; returns once the watcher has
    // taken it in.
    void change() {
        std::filesystem::create_directory(messagesFolder() /
                                          ("change-" + std::to_string(++changes_)));
        ++expectedEvents_;
        ASSERT_TRUE(
            queue_->runUntil([&] { return watcher_->receivedEventCount() >= expectedEvents_; }));
        EXPECT_EQ(watcher_->receivedEventCount(), expectedEvents_);
    }

    void finish() {
        watcher_->syncDidFinish();
        queue_->runUntilIdle();
    }

    void passLatency() {
        clock_.advance(ChatDBWatcher::defaultLatency);
        queue_->runUntilIdle();
    }

    std::size_t logged(std::string_view event) const { return logs_->events(event).size(); }

    test::TempDir dir_;
    test::FakeClock clock_;
    test::LogCapture logs_;
    std::shared_ptr<ManualExecutor> queue_ = std::make_shared<ManualExecutor>();
    std::unique_ptr<ChatDBWatcher> watcher_;
    std::atomic<int> requests_{0};
    int changes_ = 0;
    std::size_t expectedEvents_ = 0;
};

// Scripts of what happens, one letter a step: c = a change in the folder, a = the latency
// passes, f = the owner's synchronisation ends.
TEST_F(ChatDBWatcherTest, BatchesBecomeOneRunAtATime) {
    struct Case {
        const char* name;
        std::string script;
        int expectedRequests;
    };
    const std::vector<Case> cases = {
        {"the first change of a quiet period asks at once", "c", 1},
        {"a burst while a run is on is only remembered", "ccccc", 1},
        {"a burst during a run: one replay when it ends",
         "ccccca"
         "f",
         2},
        {"ten batches during one run: one replay",
         "c"
         "cacacacacacacacacaca"
         "f",
         2},
        {"a second end with no new changes starts nothing",
         "ccaf"
         "f",
         2},
        {"a burst after a quick run folds into one batch",
         "cf"
         "cccccccc",
         1},
        {"... delivered when the window closes",
         "cf"
         "cccccccc"
         "a",
         2},
        {"after a quiet period the next change asks at once again",
         "cf"
         "a"
         "c",
         2},
        {"an end while idle does nothing", "f", 0},
        {"ends while idle do not stop later requests",
         "ff"
         "c",
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(messagesFolder());
        std::filesystem::create_directories(messagesFolder());
        requests_ = 0;
        expectedEvents_ = 0;
        logs_->clear();
        makeWatcher();
        start();
        for (const char step : c.script) {
            switch (step) {
                case 'c':
                    change();
                    break;
                case 'a':
                    passLatency();
                    break;
                case 'f':
                    finish();
                    break;
                default:
                    FAIL() << "unknown step " << step;
            }
        }
        EXPECT_EQ(requests_, c.expectedRequests);
        EXPECT_EQ(logged("chatdb_sync_triggered"), static_cast<std::size_t>(c.expectedRequests));
        watcher_.reset();
    }
}

TEST_F(ChatDBWatcherTest, WithoutACallbackTheFlagsStillMove) {
    std::filesystem::create_directories(messagesFolder());
    makeWatcher(/*withCallback=*/false);
    start();
    change();
    EXPECT_EQ(logged("chatdb_sync_triggered"), 1U);
    // The first event counts as a run in progress: later ones wait for its end.
    change();
    passLatency();
    EXPECT_EQ(logged("chatdb_sync_triggered"), 1U);
    finish();
    EXPECT_EQ(logged("chatdb_sync_triggered"), 2U);

    // A callback set later is used from then on.
    watcher_->setOnSyncRequested([this] { ++requests_; });
    finish();
    passLatency();
    change();
    EXPECT_EQ(requests_, 1);
}

TEST_F(ChatDBWatcherTest, StartsOnceAndRetriesAfterAFailure) {
    makeWatcher();
    start();
    ASSERT_EQ(logged("chatdb_watch_start_failed"), 1U);
    EXPECT_EQ(logs_->events("chatdb_watch_start_failed")[0].metadata.at("dir"),
              messagesFolder().string());
    EXPECT_EQ(logged("chatdb_watch_started"), 0U);

    std::filesystem::create_directories(messagesFolder());
    start();
    start();
    EXPECT_EQ(logged("chatdb_watch_started"), 1U);
    EXPECT_EQ(logs_->events("chatdb_watch_started")[0].metadata.at("dir"),
              messagesFolder().string());
    change();
    EXPECT_EQ(requests_, 1);
    finish();
}

TEST_F(ChatDBWatcherTest, AFolderThatWentAwayIsWatchedAgainOnTheNextStart) {
    std::filesystem::create_directories(messagesFolder());
    makeWatcher();
    start();
    std::filesystem::rename(messagesFolder(), dir_ / "Library" / "Messages-old");
    // The move and the watch's end arrive; how many events that is, is the kernel's business.
    ASSERT_TRUE(queue_->runUntil([&] { return requests_ == 1; }));
    finish();

    std::filesystem::create_directories(messagesFolder());
    start();
    EXPECT_EQ(logged("chatdb_watch_started"), 2U);
    passLatency();
    std::filesystem::create_directory(messagesFolder() / "after");
    ASSERT_TRUE(queue_->runUntil([&] { return requests_ == 2; }));
}

TEST_F(ChatDBWatcherTest, WritesWakeTheWatcherButReadsDoNot) {
    std::filesystem::create_directories(messagesFolder());
    const auto database = messagesFolder() / "chat.db";
    auto readAll = [&] {
        auto db = SQLiteConnection::open(database, SQLiteSupport::OpenMode::readOnly);
        SQLiteStatement rows(db.get(), "SELECT count(*) FROM message");
        ASSERT_TRUE(rows.step());
    };
    {
        auto db = SQLiteConnection::open(database, SQLiteSupport::OpenMode::readWriteCreate);
        db.execute("PRAGMA journal_mode=WAL; CREATE TABLE message (text TEXT);");
    }
    makeWatcher();
    start();

    // What a synchronisation does: open read-only, read, close. The first reader of a closed
    // WAL database creates its write-ahead log and shared-memory files.
    readAll();
    ASSERT_TRUE(std::filesystem::exists(database.string() + "-wal"));
    readAll();
    // Events are queued before the calls that cause them return: once the watcher has taken in
    // everything queued by now and the sync queue has run it, the reads have had their say,
    // however long the reader thread took to get there.
    watcher_->waitUntilEventsTakenIn();
    queue_->runUntilIdle();
    EXPECT_EQ(watcher_->receivedEventCount(), 0U) << "reading the database woke the watcher";
    EXPECT_EQ(requests_, 0);

    // What the Messages app does: a write through its own connection.
    auto writer = SQLiteConnection::open(database, SQLiteSupport::OpenMode::readWriteCreate);
    writer.execute("INSERT INTO message VALUES ('hello')");
    ASSERT_TRUE(queue_->runUntil([&] { return watcher_->receivedEventCount() > 0; }));
    EXPECT_EQ(requests_, 1);
}

TEST_F(ChatDBWatcherTest, DestroyedWithABatchWaitingRunsNothingMore) {
    std::filesystem::create_directories(messagesFolder());
    makeWatcher();
    start();
    change();
    finish();
    change();  // arms the batch that the latency would deliver
    watcher_->syncDidFinish();
    watcher_.reset();
    clock_.advance(ChatDBWatcher::defaultLatency);
    queue_->runUntilIdle();
    EXPECT_EQ(requests_, 1);
}

TEST_F(ChatDBWatcherTest, OwnQueueDeliversOffTheCallersThread) {
    std::filesystem::create_directories(messagesFolder());
    std::atomic<bool> offCaller{false};
    const auto caller = std::this_thread::get_id();
    auto watcher = std::make_unique<ChatDBWatcher>(messagesFolder() / "chat.db", clock_);
    watcher->setOnSyncRequested([&] {
        offCaller = std::this_thread::get_id() != caller;
        ++requests_;
    });
    watcher->start();
    // start() is asynchronous: keep changing until the watch is in place.
    for (int i = 0; i < 10'000 && requests_ == 0; ++i) {
        std::filesystem::create_directory(messagesFolder() / ("c" + std::to_string(i)));
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(requests_, 1);
    EXPECT_TRUE(offCaller);
    watcher.reset();
}

}  // namespace
}  // namespace vask
