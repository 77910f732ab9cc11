#include "engine/helper_process_lifecycle.h"

#include <csignal>

#include <algorithm>
#include <chrono>
#include <utility>

namespace vask {
namespace {

Clock::Duration seconds(double value) {
    return std::chrono::duration_cast<Clock::Duration>(std::chrono::duration<double>(value));
}

}  // namespace

std::shared_ptr<HelperProcessLifecycle> HelperProcessLifecycle::make(RLMProcessTimeouts timeouts,
                                                                     Scheduler& scheduler,
                                                                     Signaller signal) {
    if (!signal) {
        signal = [](pid_t pid, int sig) { return ::kill(pid, sig); };
    }
    return std::shared_ptr<HelperProcessLifecycle>(
        new HelperProcessLifecycle(timeouts, scheduler, std::move(signal)));
}

HelperProcessLifecycle::HelperProcessLifecycle(RLMProcessTimeouts timeouts, Scheduler& scheduler,
                                               Signaller signal)
    : timeouts_(timeouts),
      scheduler_(scheduler),
      signal_(std::move(signal)),
      startedAt_(scheduler.clock().monotonicNow()) {}

void HelperProcessLifecycle::install(pid_t pid) {
    bool stoppedEarly = false;
    {
        std::lock_guard lock(mutex_);
        pid_ = pid;
        startedAt_ = scheduler_.clock().monotonicNow();
        stoppedEarly = reason_.has_value();
    }
    if (stoppedEarly) {
        terminate(pid);
    }
}

void HelperProcessLifecycle::startWatchdog() {
    const double interval =
        std::min(1.0, std::max(0.01, std::min(timeouts_.executionNoProgress, timeouts_.wholeTurn)));
    std::weak_ptr<HelperProcessLifecycle> weak = weak_from_this();
    Scheduler& scheduler = scheduler_;
    std::lock_guard lock(mutex_);
    // A stop before the watchdog starts leaves nothing to watch.
    if (reason_) {
        return;
    }
    cancelTimerLocked();
    timer_ = scheduler_.every(seconds(interval), [weak, &scheduler] {
        if (auto self = weak.lock()) {
            self->checkDeadline(scheduler.clock().monotonicNow());
        }
    });
}

void HelperProcessLifecycle::checkDeadline(Clock::MonotonicTime now) {
    {
        std::lock_guard lock(mutex_);
        if (reason_) {
            return;
        }
        const bool wholeTurnDue = now - startedAt_ >= seconds(timeouts_.wholeTurn);
        const bool noProgressDue =
            executionLastProgressAt_ &&
            now - *executionLastProgressAt_ >= seconds(timeouts_.executionNoProgress);
        if (!wholeTurnDue && !noProgressDue) {
            return;
        }
    }
    if (const auto pid = stop(Reason::timeout)) {
        terminate(*pid);
    }
}

void HelperProcessLifecycle::record(std::string_view eventType) {
    std::lock_guard lock(mutex_);
    if (eventType == "code") {
        executionLastProgressAt_ = scheduler_.clock().monotonicNow();
    } else if (eventType == "progress" || eventType == "subcall") {
        if (executionLastProgressAt_) {
            executionLastProgressAt_ = scheduler_.clock().monotonicNow();
        }
    } else if (eventType == "output" || eventType == "execution_error" ||
               eventType == "iteration_start" || eventType == "llm_response" ||
               eventType == "extract_error" || eventType == "done") {
        executionLastProgressAt_.reset();
    }
}

std::optional<pid_t> HelperProcessLifecycle::stop(Reason reason) {
    std::lock_guard lock(mutex_);
    if (reason_) {
        return std::nullopt;
    }
    reason_ = reason;
    cancelTimerLocked();
    return pid_;
}

void HelperProcessLifecycle::terminate(pid_t pid) {
    if (signal_(-pid, SIGTERM) != 0) {
        signal_(pid, SIGTERM);
    }
    scheduler_.after(seconds(timeouts_.terminationGrace), [self = shared_from_this(), pid] {
        bool stillRunning = false;
        {
            std::lock_guard lock(self->mutex_);
            stillRunning = self->pid_ == pid;
        }
        if (stillRunning && self->signal_(-pid, SIGKILL) != 0) {
            self->signal_(pid, SIGKILL);
        }
    });
}

void HelperProcessLifecycle::finished() {
    std::optional<pid_t> pid;
    {
        std::lock_guard lock(mutex_);
        cancelTimerLocked();
        pid = std::exchange(pid_, std::nullopt);
    }
    if (pid) {
        signal_(-*pid, SIGKILL);
    }
}

std::optional<HelperProcessLifecycle::Reason> HelperProcessLifecycle::reason() const {
    std::lock_guard lock(mutex_);
    return reason_;
}

void HelperProcessLifecycle::cancelTimerLocked() {
    if (timer_.isValid()) {
        timer_.cancel();
        timer_ = {};
    }
}

}  // namespace vask
