#include "platform/inotify_reader.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>

#include <mutex>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace vask {
namespace {

constexpr std::uint32_t created = IN_CREATE | IN_ONLYDIR;

class InotifyReaderTest : public ::testing::Test {
  protected:
    std::vector<std::string> names() {
        std::lock_guard lock(mutex_);
        return names_;
    }

    InotifyReader::Handler recorder() {
        return [this](const std::vector<InotifyReader::Event>& events) {
            std::lock_guard lock(mutex_);
            for (const auto& event : events) {
                names_.push_back(event.name);
            }
        };
    }

    test::TempDir dir_;
    std::mutex mutex_;
    std::vector<std::string> names_;
};

// What a file operation that has returned caused is handed over once waitUntilTakenIn() returns:
// no polling, no time allowed for the reader thread.
TEST_F(InotifyReaderTest, EventsOfReturnedOperationsAreHandedOverInOrder) {
    InotifyReader reader(recorder(), {});
    ASSERT_GE(reader.addWatch(dir_.path(), created), 0);
    std::filesystem::create_directory(dir_ / "before-start");
    reader.waitUntilTakenIn();
    EXPECT_TRUE(names().empty()) << "nothing is read before start()";

    reader.start();
    reader.start();
    reader.waitUntilTakenIn();
    EXPECT_EQ(names(), (std::vector<std::string>{"before-start"}));
    for (int round = 0; round < 20; ++round) {
        const auto name = "dir-" + std::to_string(round);
        std::filesystem::create_directory(dir_ / name);
        reader.waitUntilTakenIn();
        ASSERT_EQ(names().back(), name);
    }
    EXPECT_EQ(names().size(), 21U);
}

TEST_F(InotifyReaderTest, NothingIsHandedOverAfterStop) {
    InotifyReader reader(recorder(), {});
    ASSERT_GE(reader.addWatch(dir_.path(), created), 0);
    reader.start();
    reader.stop();
    reader.stop();
    std::filesystem::create_directory(dir_ / "after-stop");
    reader.waitUntilTakenIn();  // returns: there is no reader to wait for
    reader.start();             // once only
    reader.waitUntilTakenIn();
    EXPECT_TRUE(names().empty());
    EXPECT_LT(reader.addWatch(dir_ / "missing", created), 0);
}

}  // namespace
}  // namespace vask
