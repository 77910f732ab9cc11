#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/scheduler.h"

namespace vask {

// A Scheduler on real time: one thread sleeps until the next deadline and runs what is due.
class TimerScheduler final : public Scheduler {
  public:
    explicit TimerScheduler(const Clock& clock);
    ~TimerScheduler() override;

  protected:
    void taskQueued() override;

  private:
    void loop(std::stop_token stop);

    std::mutex wakeMutex_;
    std::condition_variable_any wake_;
    bool queuedSinceWait_ = false;
    std::jthread thread_;
};

}  // namespace vask
