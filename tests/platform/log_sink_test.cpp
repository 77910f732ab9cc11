#include <gtest/gtest.h>

#include <stdlib.h>

#include <fstream>
#include <thread>
#include <vector>

#include "platform/file_io.h"
#include "platform/logger.h"
#include "support/log_capture.h"
#include "support/scoped_environment.h"
#include "support/special_files.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

TEST(LogSink, OneEventStaysOneLine) {
    LogRecord record;
    record.level = LogLevel::error;
    record.subsystem = "ai.ternwick.Vask";
    record.category = "config";
    record.message = "config_decode_failed error=line one\nforged line\x01";
    const auto line = LogSink::formatLine(record);
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_NE(
        line.find("error ai.ternwick.Vask [config] config_decode_failed error=line one\\nforged "
                  "line\\x01\n"),
        std::string::npos);
}

TEST(LogSink, FileSinkAppendsWholeLinesFromManyThreads) {
    test::TempDir dir;
    const auto path = dir / "vask.log";
    auto sink = FdLogSink::appendingTo(path.string());
    ASSERT_TRUE(sink);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 250; ++i) {
                LogRecord record;
                record.message = "event_" + std::to_string(t) + std::string(200, 'x');
                sink->write(record);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto contents = readFileIfExists(path).value();
    std::size_t lines = 0;
    for (std::size_t start = 0; start < contents.size();) {
        const auto end = contents.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        EXPECT_EQ(contents.compare(end - 200, 200, std::string(200, 'x')), 0);
        ++lines;
        start = end + 1;
    }
    EXPECT_EQ(lines, 1000u);
}

TEST(LogSink, EnvironmentChoosesTheLogFileAndLevel) {
    test::TempDir dir;
    const auto path = dir / "chosen.log";
    auto environment = std::make_unique<test::ScopedEnvironment>();
    environment->set("VASK_LOG_FILE", path.string());
    environment->set("VASK_LOG_LEVEL", "debug");
    auto sink = LogSink::fromEnvironment();
    environment.reset();
    EXPECT_TRUE(sink->isEnabled(LogLevel::debug));
    LogRecord record;
    record.message = "hello";
    sink->write(record);
    EXPECT_NE(readFileIfExists(path).value_or("").find("hello"), std::string::npos);

    EXPECT_FALSE(LogSink::fromEnvironment()->isEnabled(LogLevel::debug));
}

// VASK_LOG_FILE naming a FIFO, a link or a folder is refused at once (the start never waits on a
// FIFO, and nothing is written through a link) and left as it is, with the reason.
TEST(LogSink, TheLogFileIsOnlyEverARegularFileOfOurOwn) {
    test::TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::ofstream(dir / "target") << "";
    std::filesystem::create_symlink(dir / "target", dir / "link");
    std::filesystem::create_directory(dir / "folder");
    for (const char* name : {"fifo", "link", "folder"}) {
        const auto path = dir / name;
        std::string whyNot;
        std::shared_ptr<FdLogSink> sink;
        EXPECT_TRUE(test::returnsWithoutWaitingOn({dir / "fifo"}, [&] {
            sink = FdLogSink::appendingTo(path.string(), LogLevel::info, &whyNot);
        })) << name;
        EXPECT_FALSE(sink) << name;
        EXPECT_NE(whyNot.find(path.string()), std::string::npos) << whyNot;
    }
    EXPECT_TRUE(test::isFifo(dir / "fifo"));
    EXPECT_EQ(readFileIfExists(dir / "target"), "");
}

TEST(Logger, StampsSubsystemAndCategory) {
    test::LogCapture log;
    Logger("ai.vask.VaskCore", "file-access").error("parse failed");
    const auto records = log->records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].subsystem, "ai.vask.VaskCore");
    EXPECT_EQ(records[0].category, "file-access");
    EXPECT_EQ(records[0].level, LogLevel::error);
    EXPECT_EQ(records[0].message, "parse failed");
}

}  // namespace
}  // namespace vask
