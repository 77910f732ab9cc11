#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/timer_scheduler.h"
#include "support/fake_clock.h"

using namespace std::chrono_literals;

namespace vask {
namespace {

TEST(Scheduler, TasksFireInDeadlineOrderEachAtItsOwnTime) {
    test::FakeClock clock;
    const auto start = clock.monotonicNow();
    std::vector<std::pair<int, Clock::Duration>> fired;
    auto record = [&](int id) {
        return [&, id] { fired.emplace_back(id, clock.monotonicNow() - start); };
    };
    clock.after(300ms, record(3));
    clock.after(100ms, record(1));
    clock.after(200ms, record(2));
    clock.after(200ms, record(22));  // same deadline: scheduling order

    clock.advance(1s);
    const std::vector<std::pair<int, Clock::Duration>> expected{
        {1, 100ms}, {2, 200ms}, {22, 200ms}, {3, 300ms}};
    EXPECT_EQ(fired, expected);
}

TEST(Scheduler, EveryFiresOncePerIntervalUntilCancelled) {
    struct Case {
        const char* name;
        Clock::Duration interval;
        Clock::Duration advance;
        int expectedRuns;
    };
    const Case cases[] = {
        {"not yet due", 1s, 999ms, 0},
        {"exactly one interval", 1s, 1s, 1},
        {"ten intervals in one advance", 1s, 10s, 10},
        {"partial interval after several", 250ms, 1100ms, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::FakeClock clock;
        int runs = 0;
        auto task = clock.every(c.interval, [&] { ++runs; });
        clock.advance(c.advance);
        EXPECT_EQ(runs, c.expectedRuns);
        task.cancel();
        clock.advance(c.interval * 5);
        EXPECT_EQ(runs, c.expectedRuns);
    }
}

TEST(Scheduler, EveryRejectsANonPositiveInterval) {
    test::FakeClock clock;
    EXPECT_THROW(clock.every(0s, [] {}), std::invalid_argument);
    EXPECT_THROW(clock.every(-1s, [] {}), std::invalid_argument);
}

TEST(Scheduler, CancelledTaskNeverRunsAndReleasesWhatItCaptured) {
    test::FakeClock clock;
    auto captured = std::make_shared<int>(7);
    std::weak_ptr<int> watch = captured;
    bool ran = false;
    auto task = clock.after(1s, [&ran, captured] { ran = *captured == 7; });
    captured.reset();
    EXPECT_FALSE(watch.expired());

    task.cancel();
    EXPECT_TRUE(task.isCancelled());
    EXPECT_TRUE(watch.expired());
    clock.advance(5s);
    EXPECT_FALSE(ran);
    EXPECT_EQ(clock.pendingTasks(), 0u);
}

TEST(Scheduler, RepeatingTaskMayCancelItselfFromInside) {
    test::FakeClock clock;
    int runs = 0;
    ScheduledTask task;
    task = clock.every(1s, [&] {
        if (++runs == 3) {
            task.cancel();
        }
    });
    clock.advance(10s);
    EXPECT_EQ(runs, 3);
}

TEST(Scheduler, SleepForReturnsWhenTheClockReachesTheDeadline) {
    test::FakeClock clock;
    std::stop_source stop;
    auto slept =
        std::async(std::launch::async, [&] { return clock.sleepFor(5s, stop.get_token()); });
    while (clock.pendingTasks() == 0) {
        std::this_thread::yield();
    }
    clock.advance(4s);
    EXPECT_EQ(slept.wait_for(20ms), std::future_status::timeout);
    clock.advance(1s);
    EXPECT_TRUE(slept.get());
}

TEST(Scheduler, SleepForEndsEarlyWhenStopped) {
    test::FakeClock clock;
    std::stop_source stop;
    auto slept =
        std::async(std::launch::async, [&] { return clock.sleepFor(1h, stop.get_token()); });
    while (clock.pendingTasks() == 0) {
        std::this_thread::yield();
    }
    stop.request_stop();
    EXPECT_FALSE(slept.get());
    EXPECT_EQ(clock.pendingTasks(), 0u);

    std::stop_source alreadyStopped;
    alreadyStopped.request_stop();
    EXPECT_FALSE(clock.sleepFor(0s, alreadyStopped.get_token()));
}

TEST(TimerScheduler, RunsOnRealTimeAndHonoursCancellation) {
    TimerScheduler scheduler(Clock::system());
    std::promise<void> fired;
    std::atomic<bool> cancelledRan{false};
    auto cancelled = scheduler.after(30ms, [&] { cancelledRan = true; });
    scheduler.after(60ms, [&] { fired.set_value(); });
    cancelled.cancel();
    ASSERT_EQ(fired.get_future().wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(cancelledRan);
}

TEST(TimerScheduler, AnEarlierTaskWakesTheTimerThread) {
    TimerScheduler scheduler(Clock::system());
    scheduler.after(1h, [] {});
    std::promise<void> fired;
    scheduler.after(10ms, [&] { fired.set_value(); });
    EXPECT_EQ(fired.get_future().wait_for(10s), std::future_status::ready);
}

}  // namespace
}  // namespace vask
