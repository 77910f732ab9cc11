#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace vask::test {

// Waits for something another thread or a child process does. The bound only keeps a broken
// build from hanging: it is a minute of real time, so that a machine loaded by other builds never
// makes a passing test fail.
inline bool eventually(const std::function<bool()>& condition) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace vask::test
