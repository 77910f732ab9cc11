#include "platform/manual_executor.h"

namespace vask {

void ManualExecutor::post(Task task) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(task));
    }
    posted_.notify_all();
}

bool ManualExecutor::runOne() {
    Task task;
    {
        std::lock_guard lock(mutex_);
        if (queue_.empty()) {
            return false;
        }
        task = std::move(queue_.front());
        queue_.pop_front();
    }
    task();
    return true;
}

std::size_t ManualExecutor::runUntilIdle() {
    std::size_t ran = 0;
    while (runOne()) {
        ++ran;
    }
    return ran;
}

bool ManualExecutor::runUntil(const std::function<bool()>& done,
                              std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        runUntilIdle();
        if (done()) {
            return true;
        }
        std::unique_lock lock(mutex_);
        if (!posted_.wait_until(lock, deadline, [&] { return !queue_.empty(); })) {
            lock.unlock();
            return done();
        }
    }
}

std::size_t ManualExecutor::pendingCount() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

}  // namespace vask
