#include "store/chat_db_watcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
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

    // Without a settle time unless asked: the first change of a quiet period asks at once.
    void makeWatcher(bool withCallback = true, Scheduler::Duration settle = 0ms) {
        watcher_ = std::make_unique<ChatDBWatcher>(messagesFolder() / "chat.db", clock_, queue_,
                                                   ChatDBWatcher::defaultLatency, settle);
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

    // Plays a script, one letter a step: a = the latency passes, f = the owner's run ends, any
    // other letter goes to `step`.
    void play(std::string_view script, const std::function<void(char)>& step) {
        for (const char letter : script) {
            if (letter == 'a') {
                passLatency();
            } else if (letter == 'f') {
                finish();
            } else {
                step(letter);
            }
        }
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
        play(c.script, [&](char step) {
            ASSERT_EQ(step, 'c');
            change();
        });
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

// One commit writes the database folder several times, some of it after a run it woke has
// begun. Scripts, one letter a step: c = a commit through the watched folder, w = a commit that
// no event shows (through a hard link elsewhere), o = a change in the folder that commits
// nothing, s = the settle time passes, a = the latency passes, x = the latency passes while the
// database is locked (the watcher's read of it fails), u = the owner starts a run the watcher
// did not ask for, f = the run ends.
TEST_F(ChatDBWatcherTest, ACommitAsksOnceAndOnlyANewCommitAsksAgain) {
    struct Row {
        const char* name;
        std::string script;
        int expectedRequests;
    };
    const Row rows[] = {
        {"a commit waits for the settle time", "c", 0},
        {"... then asks once", "csfa", 1},
        {"changes that commit nothing after the run asked ask nothing", "csfoa", 1},
        {"... nor while it runs", "csoaf", 1},
        {"a commit after the run asked asks again", "csfca", 2},
        {"a commit no event shows is found when the window closes", "cswfa", 2},
        {"a commit after a failed read is not taken for the state before it", "csfxcs", 2},
        {"a commit during a run the owner started asks when the run ends", "uwf", 1},
        {"... a run the owner started with nothing committed asks nothing", "uf", 0},
        {"... nor one whose commit asked already", "ucsfuf", 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(dir_ / "Library");
        std::filesystem::create_directories(messagesFolder());
        const auto database = messagesFolder() / "chat.db";
        const auto elsewhere = dir_ / "Library" / "chat-link.db";
        auto writer = SQLiteConnection::open(database, SQLiteSupport::OpenMode::readWriteCreate);
        writer.execute("CREATE TABLE message (text TEXT)");
        std::filesystem::create_hard_link(database, elsewhere);
        auto hidden = SQLiteConnection::open(elsewhere, SQLiteSupport::OpenMode::readWriteCreate);
        requests_ = 0;
        logs_->clear();
        makeWatcher(true, ChatDBWatcher::defaultSettle);
        start();
        auto takeIn = [&] {
            watcher_->waitUntilEventsTakenIn();
            queue_->runUntilIdle();
        };
        int others = 0;
        play(row.script, [&](char step) {
            switch (step) {
                case 'c':
                    writer.execute("INSERT INTO message VALUES ('hello')");
                    takeIn();
                    break;
                case 'w':
                    hidden.execute("INSERT INTO message VALUES ('unseen')");
                    break;
                case 'o':
                    std::filesystem::create_directory(messagesFolder() /
                                                      ("other-" + std::to_string(++others)));
                    takeIn();
                    break;
                case 's':
                    clock_.advance(ChatDBWatcher::defaultSettle);
                    queue_->runUntilIdle();
                    break;
                case 'x':
                    writer.execute("BEGIN EXCLUSIVE");
                    takeIn();
                    passLatency();
                    writer.execute("ROLLBACK");
                    takeIn();
                    break;
                case 'u':
                    watcher_->syncWillStart();
                    break;
                default:
                    FAIL() << "unknown step " << step;
            }
        });
        EXPECT_EQ(requests_, row.expectedRequests);
        watcher_.reset();
    }
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

// Another process's large commit writes the log page by page, an event each: while the queue has
// not taken them in, they wait in the one hand-over already on its way, not in a task apiece.
TEST_F(ChatDBWatcherTest, ABurstOfWritesWaitsInOneHandOver) {
    std::filesystem::create_directories(messagesFolder());
    makeWatcher();
    start();
    {
        std::ofstream log(messagesFolder() / "chat.db-wal", std::ios::binary);
        const std::string page(4096, 'x');
        for (int written = 0; written < 100; ++written) {
            log.write(page.data(), static_cast<std::streamsize>(page.size()));
            log.flush();
            std::this_thread::sleep_for(1ms);
        }
    }
    watcher_->waitUntilEventsTakenIn();
    EXPECT_EQ(queue_->pendingCount(), 1U);
    queue_->runUntilIdle();
    const auto received = watcher_->receivedEventCount();
    EXPECT_GT(received, 0U);
    // Taken in, the next change is handed over again.
    std::filesystem::create_directory(messagesFolder() / "after-the-burst");
    ASSERT_TRUE(queue_->runUntil([&] { return watcher_->receivedEventCount() > received; }));
}

TEST_F(ChatDBWatcherTest, OwnQueueDeliversOffTheCallersThread) {
    std::filesystem::create_directories(messagesFolder());
    std::atomic<bool> offCaller{false};
    const auto caller = std::this_thread::get_id();
    auto watcher = std::make_unique<ChatDBWatcher>(messagesFolder() / "chat.db", clock_, nullptr,
                                                   ChatDBWatcher::defaultLatency, 0ms);
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
