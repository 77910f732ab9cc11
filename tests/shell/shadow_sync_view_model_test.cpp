#include "shell/shadow_sync_view_model.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "platform/worker_pool.h"
#include "sample-chatdb/sample_chat_db.h"
#include "store/shadow_db.h"
#include "store/shadow_sync.h"
#include "support/locked_database.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "sync_test_support.h"

namespace vask {
namespace {

using namespace std::chrono_literals;
using Progress = ShadowSyncViewModel::SyncProgress;

// A sample Messages folder, a support folder, and a view model over them whose executors the
// test runs. The watcher is real (inotify, real time).
class ShadowSyncFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(messagesDir);
        sample::buildSampleChatDB(chatDB, {.messages = 500, .chats = 10, .seed = 7});
    }

    std::shared_ptr<ShadowSyncViewModel> makeViewModel(
        Executor& runner, bool supportAvailable = true,
        Scheduler::Duration firstRetryDelay = std::chrono::hours(1)) {
        return ShadowSyncViewModel::make({
            .supportDirectory =
                [this, supportAvailable] {
                    if (!supportAvailable) {
                        throw Error("no support folder here");
                    }
                    std::filesystem::create_directories(support);
                    return support;
                },
            .chatDBPath = chatDB,
            .defaults = defaults,
            .fileAccessEnabledKey = "fileAccessEnabled.test",
            .keepMessagesPreference = [] { return std::optional<int>(30); },
            .main = main,
            .worker = runner,
            .scheduler = Scheduler::system(),
            .firstRetryDelay = firstRetryDelay,
        });
    }

    bool drive(const std::function<bool()>& done) { return test::driveUntil(main, worker, done); }

    // The first run, after which the folder is watched.
    void firstSync(ShadowSyncViewModel& viewModel) {
        viewModel.syncIfPossible();
        ASSERT_TRUE(drive([&] { return viewModel.syncGeneration.get() == 1; }));
        ASSERT_TRUE(drive([&] { return log->contains("chatdb_watch_started"); }));
    }

    // Messages the shadow database should hold for the current chat.db: a fresh copy's count.
    std::int64_t expectedCount() {
        ShadowSync fresh(chatDB, dir / "expected.db");
        std::filesystem::remove(dir / "expected.db");
        fresh.performSync();
        return fresh.messageCount();
    }

    test::TempDir dir;
    std::filesystem::path messagesDir = dir / "Messages";
    std::filesystem::path chatDB = messagesDir / "chat.db";
    std::filesystem::path support = dir / "support";
    InMemoryDefaults defaults;
    ManualExecutor main;
    ManualExecutor worker;
    test::LogCapture log;
};

TEST_F(ShadowSyncFixture, OverlappingRequestsMakeOneRunWithOrderedProgress) {
    auto viewModel = makeViewModel(worker);
    std::vector<std::optional<Progress>> progress;
    auto subscription = viewModel->syncProgress.subscribe(
        [&](const auto& value) { progress.push_back(value); }, Delivery::changesOnly);

    viewModel->syncIfPossible();
    viewModel->syncIfPossible();
    EXPECT_TRUE(viewModel->isSyncing.get());
    EXPECT_EQ(log->events("shadow_sync_start").size(), 1u);
    EXPECT_EQ(worker.pendingCount(), 1u);
    worker.runUntilIdle();
    main.runUntilIdle();

    ASSERT_GE(progress.size(), 3u);
    EXPECT_EQ(progress.front(), (Progress{0, 500}));
    EXPECT_EQ(progress[progress.size() - 2], (Progress{500, 500}));
    EXPECT_EQ(progress.back(), std::nullopt) << "no progress shows after the run";
    EXPECT_FALSE(viewModel->isSyncing.get());
    EXPECT_TRUE(viewModel->hasSynced.get());
    EXPECT_EQ(viewModel->syncGeneration.get(), 1);
    EXPECT_EQ(viewModel->messageCount.get(), expectedCount());
    EXPECT_EQ(viewModel->lastError.get(), std::nullopt);
    ASSERT_TRUE(viewModel->messageRetention.get().has_value());
    EXPECT_EQ(viewModel->messageRetention.get()->policy,
              MessageRetentionAssessment::Policy::thirtyDays);
    EXPECT_EQ(log->events("shadow_sync_complete").at(0).metadata.at("inserted"),
              std::to_string(viewModel->messageCount.get()));

    // Nothing new: still a successful run.
    viewModel->syncIfPossible();
    ASSERT_TRUE(drive([&] { return viewModel->syncGeneration.get() == 2; }));
    EXPECT_EQ(log->events("shadow_sync_complete").at(1).metadata.at("inserted"), "0");
}

TEST_F(ShadowSyncFixture, AMessageWrittenAfterwardsIsSynchronisedWithoutACall) {
    auto viewModel = makeViewModel(worker);
    firstSync(*viewModel);
    const auto before = viewModel->messageCount.get();
    sample::appendSampleMessages(chatDB, 5, 99);
    // A run may start on the first events of the commit and read before it: one more follows.
    ASSERT_TRUE(drive([&] {
        return viewModel->syncGeneration.get() >= 2 &&
               viewModel->messageCount.get() == expectedCount();
    }));
    EXPECT_GT(viewModel->messageCount.get(), before);
}

TEST_F(ShadowSyncFixture, FailuresKeepWhatWasShownAndASuccessClearsTheError) {
    auto viewModel = makeViewModel(worker);
    firstSync(*viewModel);
    std::filesystem::rename(chatDB, dir / "away.db");
    viewModel->syncIfPossible();
    ASSERT_TRUE(drive([&] { return !viewModel->isSyncing.get(); }));
    EXPECT_TRUE(viewModel->lastError.get().has_value());
    EXPECT_TRUE(viewModel->hasSynced.get());
    EXPECT_EQ(viewModel->syncGeneration.get(), 1);
    EXPECT_EQ(viewModel->syncProgress.get(), std::nullopt);
    EXPECT_TRUE(log->contains("shadow_sync_failed"));

    std::filesystem::rename(dir / "away.db", chatDB);
    viewModel->syncIfPossible();
    ASSERT_TRUE(drive([&] { return viewModel->syncGeneration.get() == 2; }));
    EXPECT_EQ(viewModel->lastError.get(), std::nullopt);
}

// The folder is watched whatever the first run's outcome: a history missing or locked at
// start-up is synchronised by the first change once it is back, without a call.
TEST_F(ShadowSyncFixture, AFailedFirstRunStillWatchesTheFolder) {
    enum class Trouble { missing, locked };
    std::uint64_t seed = 300;
    for (const auto trouble : {Trouble::missing, Trouble::locked}) {
        SCOPED_TRACE(trouble == Trouble::missing ? "missing" : "locked");
        std::filesystem::remove_all(support);
        log->clear();
        auto viewModel = makeViewModel(worker);
        std::optional<test::LockedDatabase> lock;
        if (trouble == Trouble::missing) {
            std::filesystem::rename(chatDB, dir / "away.db");
        } else {
            lock.emplace(chatDB, 60s);
        }
        viewModel->syncIfPossible();
        ASSERT_TRUE(drive([&] { return !viewModel->isSyncing.get(); }));
        ASSERT_TRUE(viewModel->lastError.get().has_value());
        EXPECT_FALSE(viewModel->hasSynced.get());
        ASSERT_TRUE(drive([&] { return log->contains("chatdb_watch_started"); }));

        if (trouble == Trouble::missing) {
            std::filesystem::rename(dir / "away.db", chatDB);
        } else {
            lock->release();
            sample::appendSampleMessages(chatDB, 3, ++seed);
        }
        // A change's events may come in more than one read, the last of them during the run
        // they started, which then runs once more: the count, not the number of runs, says
        // the change is in.
        ASSERT_TRUE(drive([&] {
            return viewModel->syncGeneration.get() >= 1 &&
                   viewModel->messageCount.get() == expectedCount();
        }));
        EXPECT_EQ(viewModel->lastError.get(), std::nullopt);
        EXPECT_FALSE(log->contains("shadow_sync_retry")) << "the change, not the timer";
        const auto runs = viewModel->syncGeneration.get();
        sample::appendSampleMessages(chatDB, 2, ++seed);
        ASSERT_TRUE(drive([&] {
            return viewModel->syncGeneration.get() > runs &&
                   viewModel->messageCount.get() == expectedCount();
        }));
    }
}

// A history locked at start-up for longer than a read waits: the failed run is tried again after
// a delay, with nothing written to the folder, and goes through once the lock has gone.
TEST_F(ShadowSyncFixture, AFailedRunIsTriedAgainAfterADelay) {
    auto viewModel = makeViewModel(worker, true, 50ms);
    {
        test::LockedDatabase lock(chatDB, 1500ms);
        viewModel->syncIfPossible();
        ASSERT_TRUE(drive([&] { return log->contains("shadow_sync_failed"); }));
        EXPECT_NE(log->events("shadow_sync_failed").at(0).metadata.at("error").find("locked"),
                  std::string::npos);
        ASSERT_TRUE(drive([&] { return log->contains("shadow_sync_retry"); }));
    }
    ASSERT_TRUE(drive([&] { return viewModel->syncGeneration.get() == 1; }));
    EXPECT_EQ(viewModel->lastError.get(), std::nullopt);
    EXPECT_EQ(viewModel->messageCount.get(), expectedCount());
    // Once through, nothing more is tried.
    const auto retries = log->events("shadow_sync_retry").size();
    test::driveUntil(
        main, worker, [] { return false; }, 300ms);
    EXPECT_EQ(log->events("shadow_sync_retry").size(), retries);
}

// Before the first run ends nothing watches the folder: what is committed after it read the
// database (while it builds its indexes, say) is copied by one more run once it ends.
TEST_F(ShadowSyncFixture, AMessageCommittedAtTheEndOfTheFirstRunIsCopiedAfterIt) {
    auto viewModel = makeViewModel(worker);
    viewModel->syncIfPossible();
    ASSERT_EQ(worker.runUntilIdle(), 1u);
    sample::appendSampleMessages(chatDB, 1, 99);
    ASSERT_TRUE(test::driveUntil(
        main, worker, [&] { return viewModel->syncGeneration.get() == 2; }, 10s));
    EXPECT_EQ(viewModel->messageCount.get(), expectedCount());
    EXPECT_EQ(log->events("shadow_sync_start").size(), 2u);
}

// A quit gives up the single-instance lock only once the run in progress has ended, and waits
// no longer than it says.
TEST_F(ShadowSyncFixture, AQuitWaitsForTheRunInProgressUntilItsDeadline) {
    auto viewModel = makeViewModel(worker);
    const auto soon = [] { return std::chrono::steady_clock::now() + 50ms; };
    EXPECT_TRUE(viewModel->waitUntilStopped(soon())) << "no run: nothing to wait for";
    viewModel->syncIfPossible();
    viewModel->stopSynchronising();
    EXPECT_FALSE(viewModel->waitUntilStopped(soon())) << "the run has not ended";
    std::thread runner([&] { worker.runUntilIdle(); });
    EXPECT_TRUE(viewModel->waitUntilStopped(std::chrono::steady_clock::now() + 20s));
    runner.join();
    EXPECT_TRUE(log->contains("shadow_sync_stopped"));
}

// A run stopped because the application quits is a stop: logged as one, no error shown, not
// tried again.
TEST_F(ShadowSyncFixture, AStopIsLoggedAsAStopNotAFailure) {
    auto viewModel = makeViewModel(worker, true, 1ms);
    viewModel->syncIfPossible();
    viewModel->stopSynchronising();
    ASSERT_TRUE(drive([&] { return !viewModel->isSyncing.get(); }));
    EXPECT_TRUE(log->contains("shadow_sync_stopped"));
    EXPECT_FALSE(log->contains("shadow_sync_failed"));
    EXPECT_EQ(viewModel->lastError.get(), std::nullopt);
    test::driveUntil(
        main, worker, [] { return false; }, 100ms);
    EXPECT_FALSE(log->contains("shadow_sync_retry"));
    EXPECT_EQ(log->events("shadow_sync_start").size(), 1u);
}

// The count shown is the one the run kept with its cursor: a marked stored count comes back
// grown by exactly what was added, so the table was not counted again.
TEST_F(ShadowSyncFixture, TheShownCountIsTheOneTheRunKept) {
    auto viewModel = makeViewModel(worker);
    firstSync(*viewModel);
    const auto before = viewModel->messageCount.get();
    {
        ShadowDB shadow(support / "shadow.db");
        shadow.inWriteTransaction([&] {
            const auto cursor = shadow.lastSyncWatermark();
            shadow.updateSyncState(cursor.timestamp, cursor.rowid, 1000000);
        });
    }
    sample::appendSampleMessages(chatDB, 4, 77);
    ASSERT_TRUE(drive([&] { return viewModel->syncGeneration.get() == 2; }));
    EXPECT_EQ(viewModel->messageCount.get(), 1000000 + expectedCount() - before);
}

TEST_F(ShadowSyncFixture, WithoutASupportFolderNothingEverRuns) {
    auto viewModel = makeViewModel(worker, false);
    EXPECT_EQ(viewModel->lastError.get(), "no support folder here");
    EXPECT_TRUE(log->contains("shadow_path_error"));
    log->clear();
    viewModel->syncIfPossible();
    EXPECT_FALSE(viewModel->isSyncing.get());
    EXPECT_EQ(worker.pendingCount(), 0u);
    EXPECT_TRUE(log->records().empty());
}

TEST_F(ShadowSyncFixture, FileCacheTablesFollowTheSetting) {
    auto viewModel = makeViewModel(worker);
    const auto hasFileCache = [&] {
        ShadowDB shadow(support / "shadow.db", ShadowDB::OpenMode::readOnly);
        const auto tables = shadow.listTables();
        return std::find(tables.begin(), tables.end(), "file_cache") != tables.end();
    };
    struct Step {
        std::optional<bool> setting;
        bool expected;
    };
    const std::vector<Step> steps{{std::nullopt, false}, {true, true}, {false, false}};
    int generation = 0;
    for (const auto& step : steps) {
        if (step.setting) {
            defaults.set("fileAccessEnabled.test", *step.setting);
        }
        viewModel->syncIfPossible();
        ++generation;
        ASSERT_TRUE(drive([&] { return viewModel->syncGeneration.get() == generation; }));
        EXPECT_EQ(hasFileCache(), step.expected) << "run " << generation;
    }
}

TEST_F(ShadowSyncFixture, SimulatedSyncMarksSyncedAndChangesNothingElse) {
    auto viewModel = makeViewModel(worker);
    viewModel->simulateSynced();
    EXPECT_TRUE(viewModel->hasSynced.get());
    EXPECT_EQ(viewModel->syncGeneration.get(), 0);
    EXPECT_EQ(viewModel->messageCount.get(), 0);
    EXPECT_FALSE(log->contains("chatdb_watch_started"));
}

// Changes during a run, whoever started it, cause exactly one further run, which copies them;
// a single change during a run started elsewhere is not lost either.
TEST_F(ShadowSyncFixture, ChangesDuringARunGiveExactlyOneFurtherRun) {
    enum class Starter { watcher, view };
    struct Case {
        Starter starter;
        int changes;
    };
    std::uint64_t seed = 10000;
    for (const auto& c :
         {Case{Starter::watcher, 100}, Case{Starter::view, 100}, Case{Starter::view, 1}}) {
        SCOPED_TRACE(std::string(c.starter == Starter::watcher ? "watcher" : "view") +
                     "-started run, changes: " + std::to_string(c.changes));
        std::filesystem::remove_all(support);
        auto viewModel = makeViewModel(worker);
        log->clear();
        firstSync(*viewModel);
        if (c.starter == Starter::watcher) {
            sample::appendSampleMessages(chatDB, 1, ++seed);
            ASSERT_TRUE(main.runUntil([&] { return worker.pendingCount() == 1; }));
        } else {
            viewModel->syncIfPossible();
        }
        ASSERT_TRUE(viewModel->isSyncing.get());
        // The run is queued, not yet done: everything below happens during it.
        const auto eventsBefore = viewModel->watcher().receivedEventCount();
        for (int i = 0; i < c.changes; ++i) {
            sample::appendSampleMessages(chatDB, 1, ++seed);
        }
        ASSERT_TRUE(main.runUntil(
            [&] { return viewModel->watcher().receivedEventCount() > eventsBefore; }));
        // Let the watcher's batch of the burst come in while the run is still pending.
        main.runUntil([] { return false; }, 2500ms);
        const auto startsBefore = log->events("shadow_sync_start").size();
        ASSERT_TRUE(drive([&] { return viewModel->syncGeneration.get() == 3; }));
        // Quiet: nothing more is coming.
        test::driveUntil(
            main, worker, [] { return false; }, 1500ms);
        EXPECT_EQ(viewModel->syncGeneration.get(), 3);
        EXPECT_EQ(log->events("shadow_sync_start").size(), startsBefore + 1);
        EXPECT_EQ(viewModel->messageCount.get(), expectedCount());
    }
}

// Messages arrive at random moments while runs come and go on a real worker; when the writing
// stops, the copy ends equal to the source.
TEST_F(ShadowSyncFixture, NoChangeIsLostAcrossRandomlyTimedChanges) {
    WorkerPool pool(1);
    auto viewModel = makeViewModel(pool);
    viewModel->syncIfPossible();
    ASSERT_TRUE(main.runUntil([&] { return viewModel->syncGeneration.get() == 1; }));
    ASSERT_TRUE(main.runUntil([&] { return log->contains("chatdb_watch_started"); }));

    std::atomic<bool> writing{true};
    std::thread writer([&] {
        std::mt19937 random(42);
        std::uniform_int_distribution<int> pause(0, 1500);
        for (int i = 0; i < 1000; ++i) {
            sample::appendSampleMessages(chatDB, 1, 5000 + i);
            std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
        }
        writing = false;
    });
    std::optional<std::int64_t> expected;
    const bool settled = main.runUntil(
        [&] {
            if (writing) {
                return false;
            }
            if (!expected) {
                expected = expectedCount();
            }
            return !viewModel->isSyncing.get() && viewModel->messageCount.get() == *expected;
        },
        60s);
    writer.join();
    EXPECT_TRUE(settled) << "shown " << viewModel->messageCount.get() << ", expected "
                         << expectedCount();
    EXPECT_GT(viewModel->syncGeneration.get(), 1);
}

}  // namespace
}  // namespace vask
