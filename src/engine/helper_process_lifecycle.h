#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "platform/clock.h"
#include "platform/scheduler.h"

namespace vask {

// Time limits of one helper attempt, in seconds.
struct RLMProcessTimeouts {
    // Longest time code may run without a progress-bearing event.
    double executionNoProgress = 180;
    // Longest time from spawn to stop.
    double wholeTurn = 720;
    // Wait between the polite and the forced stop.
    double terminationGrace = 2;
};

enum class HelperProcessTerminationReason { timeout, cancelled };

// Watches one helper process: knows its pid, checks the deadlines on a timer, counts execution
// progress from relay event types, and stops the process group with SIGTERM and, after the
// grace, SIGKILL. The first stop reason wins. Timers run on the given scheduler (the system one,
// or a fake clock in tests); signals go through `signal` (kill(2) unless a test replaces it).
class HelperProcessLifecycle : public std::enable_shared_from_this<HelperProcessLifecycle> {
  public:
    using Signaller = std::function<int(pid_t, int)>;
    using Reason = HelperProcessTerminationReason;

    static std::shared_ptr<HelperProcessLifecycle> make(RLMProcessTimeouts timeouts,
                                                        Scheduler& scheduler = Scheduler::system(),
                                                        Signaller signal = {});

    // Records the spawned child and restarts the whole-turn clock. A stop that came before (a
    // cancellation during the spawn) terminates the child at once.
    void install(pid_t pid);
    void startWatchdog();
    // The child has been reaped: the timer goes and whatever is left in its group is killed.
    void finished();
    // Feeds the "type" of one relay event into the no-progress clock.
    void record(std::string_view eventType);
    // Sets the reason unless one is set; returns the pid to terminate, if any.
    std::optional<pid_t> stop(Reason reason);
    void terminate(pid_t pid);
    void checkDeadline(Clock::MonotonicTime now);

    std::optional<Reason> reason() const;
    const RLMProcessTimeouts& timeouts() const { return timeouts_; }

  private:
    HelperProcessLifecycle(RLMProcessTimeouts timeouts, Scheduler& scheduler, Signaller signal);
    void cancelTimerLocked();

    const RLMProcessTimeouts timeouts_;
    Scheduler& scheduler_;
    const Signaller signal_;

    mutable std::mutex mutex_;
    std::optional<pid_t> pid_;
    ScheduledTask timer_;
    Clock::MonotonicTime startedAt_;
    std::optional<Clock::MonotonicTime> executionLastProgressAt_;
    std::optional<Reason> reason_;
};

}  // namespace vask
