#include "shell/relauncher.h"

#include <gtest/gtest.h>

#include "platform/manual_executor.h"
#include "support/fake_clock.h"

namespace vask {
namespace {

struct RelaunchFixture {
    RelaunchFixture() {
        relauncher = Relauncher::make({
            .spawn = [this] { return spawned; },
            .quit = [this] { ++quits; },
            .failed = [this](const std::string& text) { failures.push_back(text); },
            .main = main,
            .scheduler = clock,
        });
    }

    std::optional<std::int64_t> spawned = 4242;
    int quits = 0;
    std::vector<std::string> failures;
    ManualExecutor main;
    test::FakeClock clock;
    std::shared_ptr<Relauncher> relauncher;
};

TEST(RelauncherTest, QuitsOnlyOnceTheStartedInstanceReports) {
    struct Case {
        const char* name;
        std::optional<std::int64_t> spawned;
        std::vector<std::int64_t> reports;
        bool timesOut;
        int quits;
        std::size_t failures;
    };
    const std::vector<Case> cases{
        {"could not start", std::nullopt, {4242}, false, 0, 1},
        {"reports", 4242, {4242}, false, 1, 0},
        {"another instance reports", 4242, {77}, false, 0, 0},
        {"never reports", 4242, {}, true, 0, 1},
        {"reports after giving up", 4242, {}, true, 0, 1},
        {"reports twice", 4242, {4242, 4242}, false, 1, 0},
    };
    for (const auto& c : cases) {
        RelaunchFixture f;
        f.spawned = c.spawned;
        f.relauncher->relaunch();
        if (c.timesOut) {
            f.clock.advance(Relauncher::reportTimeout);
            f.main.runUntilIdle();
            f.relauncher->instanceStarted(4242);
        }
        for (const auto pid : c.reports) {
            f.relauncher->instanceStarted(pid);
        }
        f.main.runUntilIdle();
        EXPECT_EQ(f.quits, c.quits) << c.name;
        EXPECT_EQ(f.failures.size(), c.failures) << c.name;
    }
}

TEST(RelauncherTest, OneRelaunchAtATimeAndANewOneAfterAFailure) {
    RelaunchFixture f;
    int spawns = 0;
    f.relauncher = Relauncher::make({
        .spawn = [&]() -> std::optional<std::int64_t> { return ++spawns; },
        .quit = [&] { ++f.quits; },
        .failed = {},
        .main = f.main,
        .scheduler = f.clock,
    });
    f.relauncher->relaunch();
    f.relauncher->relaunch();
    EXPECT_EQ(spawns, 1);
    f.clock.advance(Relauncher::reportTimeout);
    f.main.runUntilIdle();
    EXPECT_FALSE(f.relauncher->isWaiting());
    f.relauncher->relaunch();
    EXPECT_EQ(spawns, 2);
    f.relauncher->instanceStarted(1);
    EXPECT_EQ(f.quits, 0);
    f.relauncher->instanceStarted(2);
    EXPECT_EQ(f.quits, 1);
}

}  // namespace
}  // namespace vask
