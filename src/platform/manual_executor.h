#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/executor.h"

namespace vask {

// A main executor that runs only when its owner drains it. Tests post from background threads
// and drain on the test thread, so view-model code runs exactly where it would in the app.
class ManualExecutor final : public MainExecutor {
  public:
    void post(Task task) override;

    // Runs queued tasks, including those they post, until none is left. Returns how many ran.
    std::size_t runUntilIdle();

    // Runs tasks, waiting for more to be posted, until `done` holds. Gives up after `timeout`
    // of real time without `done` (a guard against a hung test) and returns false then.
    bool runUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));

    std::size_t pendingCount() const;

  private:
    bool runOne();

    mutable std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<Task> queue_;
};

}  // namespace vask
