#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <mutex>

#include "engine/helper_process_lifecycle.h"
#include "support/fake_clock.h"

namespace vask {
namespace {

using namespace std::chrono_literals;
using Reason = HelperProcessTerminationReason;

constexpr pid_t kPid = 4242;

struct Signals {
    std::mutex mutex;
    std::vector<std::pair<pid_t, int>> sent;
    bool groupFails = false;

    HelperProcessLifecycle::Signaller signaller() {
        return [this](pid_t pid, int sig) {
            std::lock_guard lock(mutex);
            sent.emplace_back(pid, sig);
            return groupFails && pid < 0 ? -1 : 0;
        };
    }
    std::vector<std::pair<pid_t, int>> take() {
        std::lock_guard lock(mutex);
        return std::exchange(sent, {});
    }
};

class HelperProcessLifecycleTest : public ::testing::Test {
  protected:
    std::shared_ptr<HelperProcessLifecycle> start(RLMProcessTimeouts timeouts = {}) {
        auto lifecycle = HelperProcessLifecycle::make(timeouts, clock, signals.signaller());
        lifecycle->install(kPid);
        lifecycle->startWatchdog();
        return lifecycle;
    }

    test::FakeClock clock;
    Signals signals;
};

struct Step {
    std::chrono::seconds at;
    std::string eventType;
};

TEST_F(HelperProcessLifecycleTest, DeadlinesFollowExecutionProgress) {
    struct Case {
        std::string name;
        std::vector<Step> events;
        std::chrono::seconds stillRunningAt;
        std::chrono::seconds stoppedBy;
    };
    const std::vector<Case> cases = {
        {"no code: only the whole turn", {{0s, "progress"}, {100s, "subcall"}}, 719s, 720s},
        {"code, progress at 170, silence", {{0s, "code"}, {170s, "progress"}}, 349s, 350s},
        {"code, then output clears the clock", {{0s, "code"}, {5s, "output"}}, 719s, 720s},
        {"progress before code starts nothing",
         {{0s, "progress"}, {10s, "progress"}, {200s, "code"}},
         379s,
         380s},
        {"done clears, code restarts", {{0s, "code"}, {100s, "done"}, {400s, "code"}}, 579s, 580s},
    };
    for (const auto& c : cases) {
        test::FakeClock caseClock;
        Signals caseSignals;
        auto lifecycle =
            HelperProcessLifecycle::make(RLMProcessTimeouts{}, caseClock, caseSignals.signaller());
        lifecycle->install(kPid);
        lifecycle->startWatchdog();
        std::chrono::seconds now = 0s;
        for (const auto& step : c.events) {
            caseClock.advance(step.at - now);
            now = step.at;
            lifecycle->record(step.eventType);
        }
        caseClock.advance(c.stillRunningAt - now);
        EXPECT_FALSE(lifecycle->reason()) << c.name;
        caseClock.advance(c.stoppedBy - c.stillRunningAt);
        EXPECT_EQ(lifecycle->reason(), Reason::timeout) << c.name;
        EXPECT_EQ(caseSignals.take(), (std::vector<std::pair<pid_t, int>>{{-kPid, SIGTERM}}))
            << c.name;
        lifecycle->finished();
    }
}

TEST_F(HelperProcessLifecycleTest, TheFirstReasonWins) {
    auto timedOut = start({1, 1, 2});
    clock.advance(1s);
    EXPECT_EQ(timedOut->reason(), Reason::timeout);
    EXPECT_FALSE(timedOut->stop(Reason::cancelled));
    EXPECT_EQ(timedOut->reason(), Reason::timeout);
    timedOut->finished();

    auto cancelled = start({1, 1, 2});
    EXPECT_EQ(cancelled->stop(Reason::cancelled), kPid);
    clock.advance(5s);
    EXPECT_EQ(cancelled->reason(), Reason::cancelled);
    cancelled->finished();
}

TEST_F(HelperProcessLifecycleTest, CancellationBeforeInstallTerminatesTheNewChild) {
    auto lifecycle = HelperProcessLifecycle::make({}, clock, signals.signaller());
    EXPECT_FALSE(lifecycle->stop(Reason::cancelled));
    EXPECT_TRUE(signals.take().empty());
    lifecycle->install(kPid);
    EXPECT_EQ(signals.take(), (std::vector<std::pair<pid_t, int>>{{-kPid, SIGTERM}}));
    lifecycle->finished();
}

TEST_F(HelperProcessLifecycleTest, GraceEndsInSigkillOnlyWhileTheChildIsUnreaped) {
    auto stubborn = start({180, 720, 2});
    stubborn->terminate(kPid);
    clock.advance(1999ms);
    EXPECT_EQ(signals.take(), (std::vector<std::pair<pid_t, int>>{{-kPid, SIGTERM}}));
    clock.advance(1ms);
    EXPECT_EQ(signals.take(), (std::vector<std::pair<pid_t, int>>{{-kPid, SIGKILL}}));
    stubborn->finished();
    signals.take();

    auto polite = start({180, 720, 2});
    polite->terminate(kPid);
    polite->finished();
    clock.advance(5s);
    // SIGTERM, then the group kill of finished(); the delayed SIGKILL finds no pid.
    EXPECT_EQ(signals.take(),
              (std::vector<std::pair<pid_t, int>>{{-kPid, SIGTERM}, {-kPid, SIGKILL}}));
}

TEST_F(HelperProcessLifecycleTest, FallsBackToThePidWhenTheGroupCannotBeSignalled) {
    signals.groupFails = true;
    auto lifecycle = start({180, 720, 2});
    lifecycle->terminate(kPid);
    clock.advance(2s);
    EXPECT_EQ(signals.take(),
              (std::vector<std::pair<pid_t, int>>{
                  {-kPid, SIGTERM}, {kPid, SIGTERM}, {-kPid, SIGKILL}, {kPid, SIGKILL}}));
    lifecycle->finished();
    // No fallback once the child is reaped: the pid may already belong to someone else.
    EXPECT_EQ(signals.take(), (std::vector<std::pair<pid_t, int>>{{-kPid, SIGKILL}}));
}

TEST_F(HelperProcessLifecycleTest, VeryShortLimitsStillCheckEveryTenMilliseconds) {
    auto lifecycle = start({0.001, 0.001, 0.001});
    clock.advance(9ms);
    EXPECT_FALSE(lifecycle->reason());
    clock.advance(1ms);
    EXPECT_EQ(lifecycle->reason(), Reason::timeout);
    lifecycle->finished();
}

TEST_F(HelperProcessLifecycleTest, FinishedStopsTheWatchdog) {
    auto lifecycle = start({1, 1, 1});
    lifecycle->finished();
    clock.advance(10s);
    EXPECT_FALSE(lifecycle->reason());
    EXPECT_EQ(clock.pendingTasks(), 0u);
}

}  // namespace
}  // namespace vask
