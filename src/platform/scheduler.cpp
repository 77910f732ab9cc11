#include "platform/scheduler.h"

#include <condition_variable>
#include <stdexcept>

#include "platform/timer_scheduler.h"

namespace vask {
namespace detail {

struct TimerState {
    std::mutex mutex;
    std::shared_ptr<Task> task;
    Clock::Duration interval{};
    bool cancelled = false;

    std::shared_ptr<Task> taskToRun() {
        std::lock_guard lock(mutex);
        return cancelled ? nullptr : task;
    }
};

}  // namespace detail

void ScheduledTask::cancel() const {
    if (!state_) {
        return;
    }
    std::shared_ptr<Task> released;
    std::lock_guard lock(state_->mutex);
    state_->cancelled = true;
    // Release what the task captured now rather than at its deadline.
    released = std::move(state_->task);
}

bool ScheduledTask::isCancelled() const {
    if (!state_) {
        return false;
    }
    std::lock_guard lock(state_->mutex);
    return state_->cancelled;
}

ScheduledTask Scheduler::after(Duration delay, Task task) {
    return schedule(clock_.monotonicNow() + delay, Duration::zero(), std::move(task));
}

ScheduledTask Scheduler::every(Duration interval, Task task) {
    if (interval <= Duration::zero()) {
        throw std::invalid_argument("Scheduler::every needs a positive interval");
    }
    return schedule(clock_.monotonicNow() + interval, interval, std::move(task));
}

ScheduledTask Scheduler::schedule(Clock::MonotonicTime deadline, Duration interval, Task task) {
    auto state = std::make_shared<detail::TimerState>();
    state->task = std::make_shared<Task>(std::move(task));
    state->interval = interval;
    {
        std::lock_guard lock(mutex_);
        queue_.push(Entry{deadline, nextSequence_++, state});
    }
    taskQueued();
    return ScheduledTask(state);
}

bool Scheduler::sleepFor(Duration delay, std::stop_token stop) {
    if (delay <= Duration::zero()) {
        return !stop.stop_requested();
    }
    struct Wake {
        std::mutex mutex;
        std::condition_variable_any cv;
        bool elapsed = false;
    };
    auto wake = std::make_shared<Wake>();
    ScheduledTask timer = after(delay, [wake] {
        {
            std::lock_guard lock(wake->mutex);
            wake->elapsed = true;
        }
        wake->cv.notify_all();
    });
    std::unique_lock lock(wake->mutex);
    const bool elapsed = wake->cv.wait(lock, stop, [&] { return wake->elapsed; });
    if (!elapsed) {
        timer.cancel();
    }
    return elapsed;
}

void Scheduler::runDue(Clock::MonotonicTime now) {
    while (true) {
        std::shared_ptr<detail::TimerState> state;
        Clock::MonotonicTime deadline;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty() || queue_.top().deadline > now) {
                return;
            }
            deadline = queue_.top().deadline;
            state = queue_.top().state;
            queue_.pop();
        }
        auto task = state->taskToRun();
        if (!task) {
            continue;
        }
        if (state->interval > Duration::zero()) {
            // Fixed rate; a run that fell behind by whole intervals fires once, not once per miss.
            auto next = deadline + state->interval;
            if (next <= now) {
                next = now + state->interval;
            }
            std::lock_guard lock(mutex_);
            queue_.push(Entry{next, nextSequence_++, state});
        }
        (*task)();
    }
}

void Scheduler::dropCancelledLocked() const {
    while (!queue_.empty() && queue_.top().state->taskToRun() == nullptr) {
        queue_.pop();
    }
}

std::optional<Clock::MonotonicTime> Scheduler::nextDeadline() const {
    std::lock_guard lock(mutex_);
    dropCancelledLocked();
    if (queue_.empty()) {
        return std::nullopt;
    }
    return queue_.top().deadline;
}

std::size_t Scheduler::pendingCount() const {
    std::lock_guard lock(mutex_);
    dropCancelledLocked();
    auto copy = queue_;
    std::size_t count = 0;
    for (; !copy.empty(); copy.pop()) {
        if (copy.top().state->taskToRun()) {
            ++count;
        }
    }
    return count;
}

Scheduler& Scheduler::system() {
    // Never destroyed: watcher threads and late tasks may still schedule while the process's
    // statics are being torn down.
    static auto* const scheduler = new TimerScheduler(Clock::system());
    return *scheduler;
}

}  // namespace vask
