#include "support/fake_clock.h"

namespace vask::test {

FakeClock::FakeClock()
    : Scheduler(static_cast<const Clock&>(*this)),
      monotonic_(std::chrono::hours(1000)),
      // 2026-01-01T00:00:00Z: a fixed start keeps wall-clock output the same in every run.
      wall_(std::chrono::sys_days(std::chrono::year(2026) / 1 / 1)) {}

Clock::WallTime FakeClock::now() const {
    std::lock_guard lock(mutex_);
    return wall_;
}

Clock::MonotonicTime FakeClock::monotonicNow() const {
    std::lock_guard lock(mutex_);
    return monotonic_;
}

void FakeClock::advance(Duration by) {
    MonotonicTime target;
    {
        std::lock_guard lock(mutex_);
        target = monotonic_ + by;
    }
    // Step from deadline to deadline so that each task sees the clock at its own time, and tasks
    // scheduled by tasks within the window run too.
    while (true) {
        const auto next = nextDeadline();
        if (!next || *next > target) {
            break;
        }
        {
            std::lock_guard lock(mutex_);
            if (*next > monotonic_) {
                wall_ += *next - monotonic_;
                monotonic_ = *next;
            }
        }
        runDue(*next);
    }
    std::lock_guard lock(mutex_);
    wall_ += target - monotonic_;
    monotonic_ = target;
}

void FakeClock::setWallTime(WallTime time) {
    std::lock_guard lock(mutex_);
    wall_ = time;
}

}  // namespace vask::test
