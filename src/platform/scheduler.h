#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <stop_token>
#include <vector>

#include "platform/clock.h"
#include "platform/executor.h"

namespace vask {

namespace detail {
struct TimerState;
}

// Handle of a task given to a Scheduler. Copies share the task; dropping every handle does not
// cancel it. Once cancel() has returned, a run that has not started yet never starts.
class ScheduledTask {
  public:
    ScheduledTask() = default;

    void cancel() const;
    bool isCancelled() const;
    bool isValid() const { return state_ != nullptr; }

  private:
    friend class Scheduler;
    explicit ScheduledTask(std::shared_ptr<detail::TimerState> state) : state_(std::move(state)) {}

    std::shared_ptr<detail::TimerState> state_;
};

// Runs tasks after a delay or at an interval on its clock. Tasks run on the scheduler's own
// thread (or inside FakeClock::advance in tests): they should be short, typically posting to the
// executor where the real work belongs.
class Scheduler {
  public:
    using Duration = Clock::Duration;

    explicit Scheduler(const Clock& clock) : clock_(clock) {}
    virtual ~Scheduler() = default;
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    const Clock& clock() const { return clock_; }

    ScheduledTask after(Duration delay, Task task);
    // Runs `task` every `interval` at a fixed rate, the first time one interval from now.
    // Throws std::invalid_argument for an interval that is not positive.
    ScheduledTask every(Duration interval, Task task);

    // Blocks the calling thread for `delay` on this scheduler's clock. Returns false, early, when
    // `stop` is requested.
    bool sleepFor(Duration delay, std::stop_token stop);

    // The real-time scheduler of the process, with one timer thread.
    static Scheduler& system();

  protected:
    // Runs every task due at `now` or earlier, in deadline order; repeating tasks are re-armed.
    void runDue(Clock::MonotonicTime now);
    std::optional<Clock::MonotonicTime> nextDeadline() const;
    std::size_t pendingCount() const;

    // Called after a task was queued, without the scheduler's lock held.
    virtual void taskQueued() {}

  private:
    struct Entry {
        Clock::MonotonicTime deadline;
        std::uint64_t sequence;
        std::shared_ptr<detail::TimerState> state;
        bool operator>(const Entry& other) const {
            return deadline != other.deadline ? deadline > other.deadline
                                              : sequence > other.sequence;
        }
    };

    ScheduledTask schedule(Clock::MonotonicTime deadline, Duration interval, Task task);
    void dropCancelledLocked() const;

    const Clock& clock_;
    mutable std::mutex mutex_;
    mutable std::priority_queue<Entry, std::vector<Entry>, std::greater<>> queue_;
    std::uint64_t nextSequence_ = 0;
};

}  // namespace vask
