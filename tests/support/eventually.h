#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace vask::test {

// Waits for something another thread or a child process does. The cap only keeps a broken build
// from hanging.
inline bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 10'000; ++i) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

}  // namespace vask::test
