#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>

#include "proactive/file_notification_sink.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string contents(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info.st_mode & 07777;
}

// The sink's path comes from the environment and may name anything: whatever it names, a post
// returns at once, and only a regular file of this user is written.
TEST(FileNotificationSink, WritesOnlyARegularFileOfThisUserAndNeverWaits) {
    test::TempDir dir;
    const auto sink = dir / "sink";
    const auto target = dir / "target";
    struct Case {
        const char* name;
        std::function<void()> plant;
        bool accepted;
    };
    int reader = -1;
    const Case cases[] = {
        {"missing file", [] {}, true},
        {"own file open to others",
         [&] {
             std::ofstream(sink) << "earlier\n";
             ::chmod(sink.c_str(), 0644);
         },
         true},
        {"link to a file", [&] { fs::create_symlink(target, sink); }, false},
        {"dangling link", [&] { fs::create_symlink(dir / "nowhere", sink); }, false},
        {"FIFO without a reader", [&] { ASSERT_EQ(::mkfifo(sink.c_str(), 0600), 0); }, false},
        {"FIFO with a reader",
         [&] {
             ASSERT_EQ(::mkfifo(sink.c_str(), 0600), 0);
             reader = ::open(sink.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
         },
         false},
        {"folder", [&] { fs::create_directory(sink); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(sink);
        std::ofstream(target) << "unrelated\n";
        ::chmod(target.c_str(), 0644);
        c.plant();
        const bool fifo = fs::is_fifo(fs::symlink_status(sink));
        const std::string before =
            fs::is_regular_file(fs::symlink_status(sink)) ? contents(sink) : "";
        FileNotificationSink center(sink);
        auto posted = std::async(std::launch::async, [&] {
            std::optional<std::string> error;
            center.add({"id-1", "T", "B", {}}, [&](const auto& e) { error = e; });
            return error;
        });
        if (posted.wait_for(5s) != std::future_status::ready) {
            // Let the blocked open through so the test can end, then fail.
            const int unblock = ::open(sink.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            posted.wait();
            ::close(unblock);
            ADD_FAILURE() << "the post waited on the sink";
            continue;
        }
        const auto error = posted.get();
        EXPECT_EQ(!error.has_value(), c.accepted) << error.value_or("");
        EXPECT_EQ(contents(target), "unrelated\n");
        EXPECT_EQ(modeOf(target), 0644u);
        if (c.accepted) {
            EXPECT_EQ(modeOf(sink), 0600u);
            EXPECT_EQ(contents(sink).substr(0, before.size()), before);
            EXPECT_NE(contents(sink).find(R"("id":"id-1")"), std::string::npos);
        } else {
            EXPECT_NE(error->find(sink.string()), std::string::npos) << *error;
        }
        if (fifo && reader >= 0) {
            char byte = 0;
            EXPECT_EQ(::read(reader, &byte, 1), 0) << "nothing reaches the FIFO";
            ::close(reader);
            reader = -1;
        }
    }
}

}  // namespace
}  // namespace vask
