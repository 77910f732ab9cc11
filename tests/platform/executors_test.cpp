#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/manual_executor.h"
#include "platform/ordered_executor.h"
#include "platform/serial_queue.h"
#include "platform/worker_pool.h"
#include "support/eventually.h"
#include "support/fake_clock.h"

using namespace std::chrono_literals;

namespace vask {
namespace {

TEST(ManualExecutor, RunUntilIdleRunsTasksPostedByTasks) {
    ManualExecutor main;
    std::vector<int> order;
    main.post([&] {
        order.push_back(1);
        main.post([&] { order.push_back(3); });
    });
    main.post([&] { order.push_back(2); });
    EXPECT_EQ(main.runUntilIdle(), 3u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(main.pendingCount(), 0u);
}

TEST(ManualExecutor, RunUntilWaitsForWorkPostedFromAnotherThread) {
    ManualExecutor main;
    bool delivered = false;
    std::thread background([&] {
        std::this_thread::sleep_for(20ms);
        main.post([&] { delivered = true; });
    });
    EXPECT_TRUE(main.runUntil([&] { return delivered; }));
    background.join();
}

TEST(ManualExecutor, RunUntilGivesUpWhenNothingComes) {
    ManualExecutor main;
    EXPECT_FALSE(main.runUntil([] { return false; }, 30ms));
}

TEST(WorkerPool, RunsEveryTaskAndDrainsOnDestruction) {
    std::atomic<int> ran{0};
    {
        WorkerPool pool(3);
        for (int i = 0; i < 200; ++i) {
            pool.post([&] { ran.fetch_add(1); });
        }
    }
    EXPECT_EQ(ran.load(), 200);
}

TEST(WorkerPool, RunsTasksInParallel) {
    // Each task waits, bounded, for the other to start: a pool that runs them one after the other
    // fails here instead of hanging the suite.
    std::atomic<int> started{0};
    std::array<std::atomic<bool>, 2> sawTheOther{};
    {
        WorkerPool pool(2);
        for (std::size_t i = 0; i < sawTheOther.size(); ++i) {
            pool.post([&, i] {
                started.fetch_add(1);
                sawTheOther[i] = test::eventually([&] { return started.load() == 2; });
            });
        }
    }  // runs what was posted before it goes
    EXPECT_TRUE(sawTheOther[0] && sawTheOther[1]) << "the pool ran its two tasks one at a time";
}

TEST(SerialQueue, RunsTasksOneAtATimeInPostingOrder) {
    SerialQueue queue("test.order");
    std::vector<int> order;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 500; ++i) {
        queue.post([&, i] {
            if (running.fetch_add(1) != 0) {
                overlapped = true;
            }
            order.push_back(i);
            running.fetch_sub(1);
        });
    }
    queue.sync([] {});
    ASSERT_EQ(order.size(), 500u);
    for (int i = 0; i < 500; ++i) {
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    }
    EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, DelayedTasksRunAtTheirTimeOnTheFakeClock) {
    test::FakeClock clock;
    SerialQueue queue("test.delayed", clock);
    std::vector<std::string> ran;
    queue.postAfter(5s, [&] { ran.push_back("five"); });
    queue.postAfter(2s, [&] { ran.push_back("two"); });
    queue.post([&] { ran.push_back("now"); });

    queue.sync([] {});
    EXPECT_EQ(ran, (std::vector<std::string>{"now"}));

    clock.advance(1999ms);
    queue.sync([] {});
    EXPECT_EQ(ran, (std::vector<std::string>{"now"}));

    clock.advance(1ms);
    queue.sync([] {});
    EXPECT_EQ(ran, (std::vector<std::string>{"now", "two"}));

    clock.advance(3s);
    queue.sync([] {});
    EXPECT_EQ(ran, (std::vector<std::string>{"now", "two", "five"}));
}

TEST(SerialQueue, CancelledDelayedTaskNeverRuns) {
    test::FakeClock clock;
    SerialQueue queue("test.cancel", clock);
    bool ran = false;
    auto task = queue.postAfter(1s, [&] { ran = true; });
    task.cancel();
    clock.advance(10s);
    queue.sync([] {});
    EXPECT_FALSE(ran);
}

TEST(SerialQueue, SyncRethrowsAndRunsInlineOnItsOwnThread) {
    SerialQueue queue("test.sync");
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("boom"); }), std::runtime_error);

    bool nestedRan = false;
    queue.sync([&] {
        EXPECT_TRUE(queue.isCurrent());
        queue.sync([&] { nestedRan = true; });
    });
    EXPECT_TRUE(nestedRan);
    EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueue, DestructionRunsQueuedTasksAndDropsLaterDelayedOnes) {
    test::FakeClock clock;
    std::atomic<int> ran{0};
    {
        SerialQueue queue("test.shutdown", clock);
        queue.post([&] {
            std::this_thread::sleep_for(10ms);
            ran.fetch_add(1);
        });
        queue.post([&] { ran.fetch_add(1); });
        queue.postAfter(1s, [&] { ran.fetch_add(100); });
    }
    // The delayed task falls due after its queue is gone: it is dropped, not run on freed state.
    clock.advance(2s);
    EXPECT_EQ(ran.load(), 2);
}

// Steps posted from several threads onto a pool of several threads run one at a time, each
// thread's in the order it posted them, and every one runs.
TEST(OrderedExecutorTest, RunsOneAtATimeInPostingOrderOnAPool) {
    constexpr int posters = 4;
    constexpr int steps = 200;
    std::mutex mutex;
    std::vector<std::vector<int>> seen(posters);
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::atomic<int> done{0};
    {
        WorkerPool pool(4);
        OrderedExecutor ordered(pool);
        std::vector<std::thread> threads;
        for (int poster = 0; poster < posters; ++poster) {
            threads.emplace_back([&, poster] {
                for (int step = 0; step < steps; ++step) {
                    ordered.post([&, poster, step] {
                        overlapped = overlapped || running.fetch_add(1) != 0;
                        {
                            std::lock_guard lock(mutex);
                            seen[poster].push_back(step);
                        }
                        running.fetch_sub(1);
                        done.fetch_add(1);
                    });
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
    }
    EXPECT_EQ(done.load(), posters * steps);
    EXPECT_FALSE(overlapped.load());
    for (const auto& order : seen) {
        EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    }
}

}  // namespace
}  // namespace vask
