#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/executor.h"
#include "platform/subscription.h"

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

// What the synchronisation engines share: the queue their runs go on, the runner, and the
// subscription to the source's changes that requests runs.
//
// start() and stop() of an engine belong to the main executor; scheduleSync() may be called from
// any thread. The queued work and the change handler hold the engine's state weakly: once the
// engine is destroyed, a job still queued does nothing.
class CoalescingSyncEngine {
  public:
    using ErrorHandler = CoalescingSyncRunner::ErrorHandler;
    using CompletionHandler = CoalescingSyncRunner::CompletionHandler;

    CoalescingSyncEngine(const CoalescingSyncEngine&) = delete;
    CoalescingSyncEngine& operator=(const CoalescingSyncEngine&) = delete;

    bool isStarted() const { return changeObserver_.isActive(); }

    // Returns at once.
    void scheduleSync();

    // Called on the engine's queue after each synchronisation; they must not throw. Without an
    // error handler, a failed synchronisation is logged instead.
    void setOnSyncError(ErrorHandler handler);
    void setOnSyncComplete(CompletionHandler handler);

  protected:
    // `queue` runs the synchronisations; absent, the engine makes its own serial queue named
    // `queueLabel`. A queue passed in must run its tasks one at a time. The engine sets the
    // runner up once its state exists (runWith()).
    CoalescingSyncEngine(std::shared_ptr<Executor> queue, std::string_view queueLabel);
    ~CoalescingSyncEngine();

    void runWith(CoalescingSyncRunner::Job job, ErrorHandler logUnhandled);
    // Requests a run for as long as the engine lives; for the change subscription.
    std::function<void()> changeHandler() const;
    // The runner goes before the queue and the engine's state, so that a job still queued finds
    // nothing to run: the engine's destructor calls this first.
    void dropRunner() { runner_.reset(); }

    Subscription changeObserver_;

  private:
    // Declared before the runner so that it is destroyed after it.
    std::shared_ptr<Executor> queue_;
    std::shared_ptr<CoalescingSyncRunner> runner_;
};

}  // namespace vask
