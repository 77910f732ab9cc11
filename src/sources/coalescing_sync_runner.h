#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/executor.h"

namespace vask {

// Runs one synchronisation job on a serial queue, one run at a time: requests that arrive while a
// run is queued or running fold into exactly one rerun after it, so a burst of changes costs at
// most one run in flight plus one.
//
// Requests may come from any thread. Queued runs hold the runner weakly: once its last owner lets
// it go, a run still queued does nothing. Once the queue is gone, requests are dropped.
class CoalescingSyncRunner : public std::enable_shared_from_this<CoalescingSyncRunner> {
  public:
    using Job = std::function<void()>;
    using ErrorHandler = std::function<void(const std::exception& error)>;
    using CompletionHandler = std::function<void()>;

    // `job` reports failure by throwing; `logUnhandled` records a failure while no error handler
    // is set. The queue must run its tasks one at a time.
    static std::shared_ptr<CoalescingSyncRunner> make(std::weak_ptr<Executor> queue, Job job,
                                                      ErrorHandler logUnhandled);

    // Returns at once.
    void schedule();

    // Called on the queue after each run; they must not throw.
    void setOnError(ErrorHandler handler);
    void setOnComplete(CompletionHandler handler);

  private:
    CoalescingSyncRunner(std::weak_ptr<Executor> queue, Job job, ErrorHandler logUnhandled);

    void run();

    const std::weak_ptr<Executor> queue_;
    const Job job_;
    const ErrorHandler logUnhandled_;

    std::mutex flagsMutex_;
    bool isRunning_ = false;
    bool rerunPending_ = false;

    std::mutex handlersMutex_;
    ErrorHandler onError_;
    CompletionHandler onComplete_;
};

}  // namespace vask
