#include "platform/child_output_reader.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace vask {
namespace {

using End = ChildOutputReader::End;
using SteadyClock = std::chrono::steady_clock;

// A shell running `script` with its output into a pipe, and the pipe's read end.
struct Writer {
    UniqueFd output;
    std::unique_ptr<ChildProcess> child;
};

Writer start(const std::string& script) {
    std::array<int, 2> fds{};
    EXPECT_EQ(::pipe2(fds.data(), O_CLOEXEC), 0);
    UniqueFd writeEnd(fds[1]);
    ChildSpawn spawn;
    spawn.program = "/bin/sh";
    spawn.arguments = {"-c", script};
    spawn.environment = {"PATH=/usr/bin:/bin"};
    spawn.standard = {-1, writeEnd.get(), -1};
    spawn.ownProcessGroup = true;
    return {UniqueFd(fds[0]), std::make_unique<ChildProcess>(spawn)};
}

// Waits, without a bound, for `file` to exist: the child made it after what it wrote first.
void awaitFile(const std::filesystem::path& file) {
    while (!std::filesystem::exists(file)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

TEST(ChildOutputReaderTest, ReadsUntilTheChildIsDoneOrTheReadingEnds) {
    struct Case {
        std::string name;
        std::string script;
        std::size_t maxBytes;
        bool endsAtOnce;  // a deadline already past
        End end;
        std::string output;
        int exitStatus = 0;  // when finished
    };
    const std::vector<Case> cases = {
        {"output and exit status", "printf 'a\\nb'; exit 3", 100, false, End::finished, "a\nb", 3},
        {"exactly the bound", "printf 12345", 5, false, End::finished, "12345"},
        {"a byte past the bound", "printf 123456; exec sleep 600", 5, false, End::pastBound,
         "12345"},
        {"enough lines", "printf 'a\\nb\\nc\\n'; exec sleep 600", 100, false, End::enough,
         "a\nb\nc\n"},
        {"a child that closes its output and waits", "printf x; exec >&-; exec sleep 600", 100,
         true, End::deadline, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto writer = start(c.script);
        ChildOutputReader reader(std::move(writer.output), *writer.child, {});
        ChildOutputReader::Options options;
        options.maxBytes = c.maxBytes;
        options.deadline =
            c.endsAtOnce ? SteadyClock::now() : SteadyClock::now() + std::chrono::hours(1);
        std::size_t lines = 0;
        options.enough = [&lines](std::string_view part) {
            lines += static_cast<std::size_t>(std::count(part.begin(), part.end(), '\n'));
            return lines >= 3;
        };
        EXPECT_EQ(reader.read(options), c.end);
        if (c.end == End::finished) {
            ASSERT_TRUE(reader.status().has_value());
            EXPECT_EQ(WEXITSTATUS(*reader.status()), c.exitStatus);
        }
        if (!c.endsAtOnce) {
            EXPECT_EQ(reader.takeOutput(), c.output);
        }
    }
}

// What the child wrote before a stop or the deadline is read, however soon the reading sees it.
TEST(ChildOutputReaderTest, WhatWasWrittenBeforeAStopOrTheDeadlineIsKept) {
    for (const bool stopped : {true, false}) {
        SCOPED_TRACE(stopped ? "a stop" : "the deadline");
        test::TempDir dir;
        auto writer =
            start("printf 'early\\n'; : >'" + (dir / "wrote").string() + "'; exec sleep 600");
        awaitFile(dir / "wrote");
        std::stop_source stop;
        if (stopped) {
            stop.request_stop();
        }
        ChildOutputReader reader(std::move(writer.output), *writer.child, stop.get_token());
        ChildOutputReader::Options options;
        options.maxBytes = 100;
        options.deadline =
            stopped ? SteadyClock::now() + std::chrono::hours(1) : SteadyClock::now();
        EXPECT_EQ(reader.read(options), stopped ? End::stopped : End::deadline);
        EXPECT_EQ(reader.takeOutput(), "early\n");
    }
}

TEST(ChildOutputReaderTest, AWatchEndsTheReadingWhileTheChildRuns) {
    auto writer = start("exec sleep 600");
    ChildOutputReader reader(std::move(writer.output), *writer.child, {});
    ChildOutputReader::Options options;
    options.maxBytes = 100;
    options.deadline = SteadyClock::now() + std::chrono::hours(1);
    int looks = 0;
    options.watch = [&looks] { return ++looks == 3; };
    options.watchInterval = std::chrono::milliseconds(1);
    EXPECT_EQ(reader.read(options), End::watched);
    EXPECT_EQ(looks, 3);
}

// A child that writes without end is read up to the bound only: what is kept is the bound, and
// the reading ends there rather than at the child's end.
TEST(ChildOutputReaderTest, AnEndlessWriterIsReadToTheBoundOnly) {
    auto writer = start("head -c 200000000 /dev/zero");
    ChildOutputReader reader(std::move(writer.output), *writer.child, {});
    ChildOutputReader::Options options;
    options.maxBytes = std::size_t{1} << 20;
    options.deadline = SteadyClock::now() + std::chrono::hours(1);
    EXPECT_EQ(reader.read(options), End::pastBound);
    EXPECT_EQ(reader.size(), options.maxBytes + 1);
    EXPECT_FALSE(reader.outputEnded());
    const auto kept = reader.takeOutput();
    EXPECT_EQ(kept.size(), options.maxBytes);
    EXPECT_EQ(kept.find_first_not_of('\0'), std::string::npos);
}

}  // namespace
}  // namespace vask
