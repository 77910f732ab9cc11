#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace vask::test {

// Runs `change` in a forked launch whose after-write callback ends it (status 0) at its
// `crashAt`-th call, as a launch killed right after that write. Whether the change ended before
// that write came.
inline bool endedBeforeWrite(int crashAt,
                             const std::function<void(const std::function<void()>&)>& change) {
    const pid_t child = ::fork();
    if (child == 0) {
        int writes = 0;
        change([&] {
            if (++writes == crashAt) {
                ::_exit(0);
            }
        });
        ::_exit(1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    return WEXITSTATUS(status) == 1;
}

}  // namespace vask::test
