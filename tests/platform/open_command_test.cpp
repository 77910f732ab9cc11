#include "platform/open_command.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "support/eventually.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

// What a runner reported, guarded: reports come on the runner's thread.
struct Reports {
    std::mutex mutex;
    std::vector<std::optional<std::string>> seen;

    OpenCommandRunner::Finished collector() {
        return [this](std::optional<std::string> why) {
            std::lock_guard lock(mutex);
            seen.push_back(std::move(why));
        };
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return seen.size();
    }
};

TEST(OpenCommandRunnerTest, ReportsHowEachOpenerEnded) {
    struct Case {
        std::vector<std::string> command;
        std::optional<std::string> notStarted;
        std::optional<std::string> report;
    };
    const std::vector<Case> cases{
        {{"true"}, std::nullopt, std::nullopt},
        {{"sh", "-c", "exit 3"}, std::nullopt, "sh exited with status 3"},
        {{"sh", "-c", "kill -9 $$"}, std::nullopt, "sh was ended by signal 9"},
        {{"/nonexistent/xdg-open"},
         "/nonexistent/xdg-open: No such file or directory",
         std::nullopt},
        {{}, "no opener command", std::nullopt},
    };
    // One runner for all, several openers at once: each report reaches its own caller.
    OpenCommandRunner runner({});
    std::vector<std::unique_ptr<Reports>> reports;
    for (const auto& c : cases) {
        reports.push_back(std::make_unique<Reports>());
        EXPECT_EQ(runner.run(c.command, "file:///tmp", reports.back()->collector()), c.notStarted);
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        if (cases[i].notStarted) {
            continue;
        }
        ASSERT_TRUE(test::eventually([&] { return reports[i]->count() == 1; })) << i;
        EXPECT_EQ(reports[i]->seen.front(), cases[i].report) << i;
    }
    for (const auto& r : reports) {
        EXPECT_LE(r->count(), 1u);
    }
}

// The owner goes while its opener still runs: it neither waits for the opener nor hears from
// it afterwards, whatever the opener does then.
TEST(OpenCommandRunnerTest, AnOwnerThatGoesWhileItsOpenerRunsIsNeverCalledBack) {
    test::TempDir dir;
    const auto mark = (dir / "opener").string();
    struct Owner {
        Reports reports;
        OpenCommandRunner runner{WithheldVariables{}};
    };
    auto owner = std::make_unique<Owner>();
    ASSERT_EQ(owner->runner.run({"sh", "-c",
                                 "touch \"$0.started\"; while [ ! -e \"$0.gate\" ]; do sleep 0.01; "
                                 "done; touch \"$0.ended\"; exit 3"},
                                mark, owner->reports.collector()),
              std::nullopt);
    ASSERT_TRUE(test::eventually([&] { return std::filesystem::exists(mark + ".started"); }));
    owner.reset();

    std::ofstream(mark + ".gate").put('\n');
    ASSERT_TRUE(test::eventually([&] { return std::filesystem::exists(mark + ".ended"); }));
    // An opener of another runner that ended after this one was seen to: a watcher left behind
    // would have had its turn too (AddressSanitizer reports it reaching the owner).
    Reports witness;
    OpenCommandRunner other({});
    ASSERT_EQ(other.run({"sh", "-c", "sleep 0.05"}, "x", witness.collector()), std::nullopt);
    ASSERT_TRUE(test::eventually([&] { return witness.count() == 1; }));
}

// An opener runs on the user's behalf, with their environment, but gets no descriptor of Vask's
// besides standard output and error, whatever a library left open to children.
TEST(OpenCommandRunnerTest, AnOpenerGetsNoneOfVasksDescriptors) {
    const UniqueFd stray(::fcntl(STDERR_FILENO, F_DUPFD, 200));
    ASSERT_GE(stray.get(), 200);
    Reports reports;
    OpenCommandRunner runner({});
    ASSERT_EQ(runner.run({"sh", "-c",
                          "[ -e /proc/self/fd/" + std::to_string(stray.get()) +
                              " ] && exit 9; [ \"$(pwd)\" = / ] || exit 8; exit 0"},
                         "https://example.com", reports.collector()),
              std::nullopt);
    ASSERT_TRUE(test::eventually([&] { return reports.count() == 1; }));
    EXPECT_EQ(reports.seen.front(), std::nullopt);
}

TEST(OpenCommandRunnerTest, AStoppedRunnerStartsNothing) {
    test::TempDir dir;
    OpenCommandRunner runner({});
    runner.stop();
    Reports reports;
    EXPECT_EQ(runner.run({"touch"}, (dir / "opened").string(), reports.collector()),
              "touch: Vask is quitting");
    EXPECT_FALSE(std::filesystem::exists(dir / "opened"));
}

}  // namespace
}  // namespace vask
