#pragma once

#include <memory>
#include <string>
#include <thread>

#include "platform/executor.h"
#include "platform/scheduler.h"

namespace vask {

// One worker thread running tasks one at a time in the order they were posted. Delayed tasks
// go through a Scheduler and join the queue when due. Destruction runs the tasks already queued,
// drops delayed ones that are not due yet, and joins the thread.
class SerialQueue final : public Executor {
  public:
    explicit SerialQueue(std::string label, Scheduler& scheduler = Scheduler::system());
    ~SerialQueue() override;

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void post(Task task) override;
    ScheduledTask postAfter(Scheduler::Duration delay, Task task);

    // Runs `task` on the queue and waits for it; exceptions reach the caller. Called from the
    // queue's own thread it runs inline rather than deadlock.
    void sync(const Task& task);

    bool isCurrent() const;
    const std::string& label() const { return label_; }

  private:
    struct State;

    std::string label_;
    Scheduler& scheduler_;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace vask
