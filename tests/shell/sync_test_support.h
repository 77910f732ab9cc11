#pragma once

#include <chrono>
#include <functional>
#include <thread>

#include "platform/manual_executor.h"

namespace vask::test {

// Runs the main and the worker executors on the calling thread, together, until `done` holds.
// Gives up after `guard` of real time (a hung test), returning false.
inline bool driveUntil(ManualExecutor& main, ManualExecutor& worker,
                       const std::function<bool()>& done,
                       std::chrono::milliseconds guard = std::chrono::seconds(20)) {
    const auto giveUp = std::chrono::steady_clock::now() + guard;
    while (!done()) {
        if (std::chrono::steady_clock::now() > giveUp) {
            return false;
        }
        if (main.runUntilIdle() + worker.runUntilIdle() == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    return true;
}

}  // namespace vask::test
