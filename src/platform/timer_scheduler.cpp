#include "platform/timer_scheduler.h"

namespace vask {

TimerScheduler::TimerScheduler(const Clock& clock)
    : Scheduler(clock), thread_([this](std::stop_token stop) { loop(stop); }) {}

TimerScheduler::~TimerScheduler() {
    thread_.request_stop();
    thread_.join();
}

void TimerScheduler::taskQueued() {
    {
        std::lock_guard lock(wakeMutex_);
        queuedSinceWait_ = true;
    }
    wake_.notify_all();
}

void TimerScheduler::loop(std::stop_token stop) {
    while (!stop.stop_requested()) {
        runDue(clock().monotonicNow());
        const auto next = nextDeadline();
        std::unique_lock lock(wakeMutex_);
        const auto woken = [&] { return queuedSinceWait_; };
        if (next) {
            wake_.wait_until(lock, stop, *next, woken);
        } else {
            wake_.wait(lock, stop, woken);
        }
        queuedSinceWait_ = false;
    }
}

}  // namespace vask
