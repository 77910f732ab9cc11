#include "platform/freed_memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VASK_TEST_OWN_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VASK_TEST_OWN_ALLOCATOR 1
#endif
#endif

namespace vask {
namespace {

// The process's anonymous resident memory, in KiB.
[[maybe_unused]] long anonymousKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("RssAnon:", 0) == 0) {
            return std::stol(line.substr(8));
        }
    }
    return -1;
}

// Blocks freed amid ones still in use stay with the process until they are returned: the
// widgets of a chat left behind, interleaved with the messages it keeps.
TEST(FreedMemoryTest, FreedBlocksAmidLiveOnesGoBackToTheSystem) {
#if defined(VASK_TEST_OWN_ALLOCATOR) || !defined(__GLIBC__)
    GTEST_SKIP() << "the sanitizer's allocator, not glibc's, serves this build";
#else
    constexpr std::size_t blockSize = 1000;
    constexpr std::size_t blocks = 48 * 1024;
    std::vector<std::unique_ptr<char[]>> all;
    all.reserve(blocks);
    for (std::size_t i = 0; i < blocks; ++i) {
        all.emplace_back(new char[blockSize]);
        std::memset(all.back().get(), 1, blockSize);
    }
    // One block in 32 stays (the last too, so the heap's top is not freed): every 32 KiB of the
    // heap keeps a kilobyte in use.
    for (std::size_t i = 0; i + 1 < blocks; ++i) {
        if (i % 32 != 0) {
            all[i].reset();
        }
    }
    const long before = anonymousKiB();
    returnFreedMemory();
    const long after = anonymousKiB();
    ASSERT_GT(before, 0);
    // About 45 MiB were freed; most of their pages hold nothing in use.
    EXPECT_LT(after, before - 20 * 1024) << before << " KiB before, " << after << " KiB after";
#endif
}

}  // namespace
}  // namespace vask
