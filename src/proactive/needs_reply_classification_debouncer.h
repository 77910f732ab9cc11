#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/executor.h"
#include "platform/scheduler.h"
#include "store/awaiting_reply.h"

namespace vask {

// Classifies a list that changes in bursts: at once on the first change, then once more when
// the list has been quiet for `delay`, if it changed again meanwhile. Main executor only; the
// quiet period runs on the scheduler's clock.
class NeedsReplyClassificationDebouncer {
  public:
    using CurrentReplies = std::function<std::vector<AwaitingReply>()>;
    using Classify = std::function<void(const std::vector<AwaitingReply>&)>;

    NeedsReplyClassificationDebouncer(Scheduler::Duration delay, CurrentReplies currentReplies,
                                      Classify classify, MainExecutor& main,
                                      Scheduler& scheduler = Scheduler::system());
    ~NeedsReplyClassificationDebouncer();
    NeedsReplyClassificationDebouncer(const NeedsReplyClassificationDebouncer&) = delete;
    NeedsReplyClassificationDebouncer& operator=(const NeedsReplyClassificationDebouncer&) = delete;

    void schedule();
    void cancel();

  private:
    void startClassification(std::vector<AwaitingReply> replies);
    void quietPeriodEnded();

    Scheduler::Duration delay_;
    CurrentReplies currentReplies_;
    Classify classify_;
    MainExecutor& main_;
    Scheduler& scheduler_;
    ScheduledTask quietPeriodTask_;
    std::uint64_t quietPeriodGeneration_ = 0;
    // Set to cancel the classification that was started last, before it has begun.
    std::shared_ptr<bool> classificationCancelled_;
    bool needsTrailingClassification_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vask
