#include "sources/coalescing_sync_runner.h"

#include <string>
#include <utility>

#include "platform/serial_queue.h"

namespace vask {

std::shared_ptr<CoalescingSyncRunner> CoalescingSyncRunner::make(std::weak_ptr<Executor> queue,
                                                                 Job job,
                                                                 ErrorHandler logUnhandled) {
    return std::shared_ptr<CoalescingSyncRunner>(
        new CoalescingSyncRunner(std::move(queue), std::move(job), std::move(logUnhandled)));
}

CoalescingSyncRunner::CoalescingSyncRunner(std::weak_ptr<Executor> queue, Job job,
                                           ErrorHandler logUnhandled)
    : queue_(std::move(queue)), job_(std::move(job)), logUnhandled_(std::move(logUnhandled)) {}

void CoalescingSyncRunner::schedule() {
    {
        std::lock_guard lock(flagsMutex_);
        if (isRunning_) {
            rerunPending_ = true;
            return;
        }
        isRunning_ = true;
    }
    // No queue means its owner is being destroyed: nothing is to run any more.
    if (auto queue = queue_.lock()) {
        queue->post([weak = weak_from_this()] {
            auto current = weak.lock();
            if (!current) {
                return;
            }
            current->run();
            bool rerun = false;
            {
                std::lock_guard lock(current->flagsMutex_);
                current->isRunning_ = false;
                rerun = std::exchange(current->rerunPending_, false);
            }
            if (rerun) {
                current->schedule();
            }
        });
    }
}

void CoalescingSyncRunner::run() {
    try {
        job_();
    } catch (const std::exception& error) {
        ErrorHandler report;
        {
            std::lock_guard lock(handlersMutex_);
            report = onError_;
        }
        (report ? report : logUnhandled_)(error);
        return;
    }
    CompletionHandler complete;
    {
        std::lock_guard lock(handlersMutex_);
        complete = onComplete_;
    }
    if (complete) {
        complete();
    }
}

void CoalescingSyncRunner::setOnError(ErrorHandler handler) {
    std::lock_guard lock(handlersMutex_);
    onError_ = std::move(handler);
}

void CoalescingSyncRunner::setOnComplete(CompletionHandler handler) {
    std::lock_guard lock(handlersMutex_);
    onComplete_ = std::move(handler);
}

CoalescingSyncEngine::CoalescingSyncEngine(std::shared_ptr<Executor> queue,
                                           std::string_view queueLabel)
    : queue_(queue ? std::move(queue) : std::make_shared<SerialQueue>(std::string(queueLabel))) {}

CoalescingSyncEngine::~CoalescingSyncEngine() = default;

void CoalescingSyncEngine::runWith(CoalescingSyncRunner::Job job, ErrorHandler logUnhandled) {
    runner_ = CoalescingSyncRunner::make(queue_, std::move(job), std::move(logUnhandled));
}

std::function<void()> CoalescingSyncEngine::changeHandler() const {
    return [weak = std::weak_ptr<CoalescingSyncRunner>(runner_)] {
        if (auto runner = weak.lock()) {
            runner->schedule();
        }
    };
}

void CoalescingSyncEngine::scheduleSync() {
    runner_->schedule();
}

void CoalescingSyncEngine::setOnSyncError(ErrorHandler handler) {
    runner_->setOnError(std::move(handler));
}

void CoalescingSyncEngine::setOnSyncComplete(CompletionHandler handler) {
    runner_->setOnComplete(std::move(handler));
}

}  // namespace vask
