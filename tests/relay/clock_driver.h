#pragma once

#include <chrono>
#include <future>
#include <thread>
#include <utility>

#include "support/fake_clock.h"

namespace vask::test {

// Runs a blocking call on its own thread and moves the fake clock whenever the call waits on
// it, one millisecond at a time, so the fake time that passed is exactly what the call waited.
template <typename T>
struct Driven {
    std::future<T> result;
    std::chrono::milliseconds waited;
};

template <typename F>
auto driveOnFakeClock(FakeClock& clock, F&& call) -> Driven<decltype(call())> {
    const auto start = clock.monotonicNow();
    auto result = std::async(std::launch::async, std::forward<F>(call));
    while (result.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
        if (clock.pendingTasks() > 0) {
            clock.advance(std::chrono::milliseconds(1));
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    return {std::move(result),
            std::chrono::duration_cast<std::chrono::milliseconds>(clock.monotonicNow() - start)};
}

}  // namespace vask::test
