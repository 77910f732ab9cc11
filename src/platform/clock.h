#pragma once

#include <chrono>

namespace vask {

// Wall and monotonic time. Code that reads the time or waits takes a Clock (or a Scheduler), so
// tests can run it on a fake clock in milliseconds.
class Clock {
  public:
    using WallTime = std::chrono::system_clock::time_point;
    using MonotonicTime = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;

    virtual ~Clock() = default;
    virtual WallTime now() const = 0;
    virtual MonotonicTime monotonicNow() const = 0;

    // The real clocks of the machine.
    static const Clock& system();
};

}  // namespace vask
