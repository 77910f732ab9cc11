#pragma once

#include <mutex>

#include "platform/clock.h"
#include "platform/scheduler.h"

namespace vask::test {

// A clock that moves only when the test advances it, and a scheduler on it: advance() runs every
// task that falls due, in deadline order, each at its own time, on the calling thread.
class FakeClock final : public Clock, public Scheduler {
  public:
    FakeClock();

    WallTime now() const override;
    MonotonicTime monotonicNow() const override;

    using Duration = Clock::Duration;

    void advance(Duration by);
    void setWallTime(WallTime time);

    std::size_t pendingTasks() const { return pendingCount(); }

  private:
    mutable std::mutex mutex_;
    MonotonicTime monotonic_;
    WallTime wall_;
};

}  // namespace vask::test
