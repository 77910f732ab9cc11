#include "proactive/needs_reply_classification_debouncer.h"

namespace vask {

NeedsReplyClassificationDebouncer::NeedsReplyClassificationDebouncer(Scheduler::Duration delay,
                                                                     CurrentReplies currentReplies,
                                                                     Classify classify,
                                                                     MainExecutor& main,
                                                                     Scheduler& scheduler)
    : delay_(delay),
      currentReplies_(std::move(currentReplies)),
      classify_(std::move(classify)),
      main_(main),
      scheduler_(scheduler) {}

NeedsReplyClassificationDebouncer::~NeedsReplyClassificationDebouncer() {
    cancel();
    *alive_ = false;
}

void NeedsReplyClassificationDebouncer::schedule() {
    if (!quietPeriodTask_.isValid()) {
        needsTrailingClassification_ = false;
        startClassification(currentReplies_());
    } else {
        needsTrailingClassification_ = true;
        quietPeriodTask_.cancel();
    }
    const std::uint64_t generation = ++quietPeriodGeneration_;
    std::weak_ptr<bool> alive = alive_;
    quietPeriodTask_ = scheduler_.after(delay_, [this, alive, generation] {
        main_.post([this, alive, generation] {
            // A later schedule() or cancel() replaced or ended this quiet period.
            if (alive.expired() || generation != quietPeriodGeneration_ ||
                !quietPeriodTask_.isValid()) {
                return;
            }
            quietPeriodEnded();
        });
    });
}

void NeedsReplyClassificationDebouncer::quietPeriodEnded() {
    const bool owed = needsTrailingClassification_;
    needsTrailingClassification_ = false;
    quietPeriodTask_ = {};
    if (owed) {
        startClassification(currentReplies_());
    }
}

void NeedsReplyClassificationDebouncer::startClassification(std::vector<AwaitingReply> replies) {
    if (classificationCancelled_) {
        *classificationCancelled_ = true;
    }
    auto cancelled = std::make_shared<bool>(false);
    classificationCancelled_ = cancelled;
    std::weak_ptr<bool> alive = alive_;
    main_.post([this, alive, cancelled, replies = std::move(replies)] {
        if (alive.expired() || *cancelled) {
            return;
        }
        classify_(replies);
    });
}

void NeedsReplyClassificationDebouncer::cancel() {
    quietPeriodTask_.cancel();
    quietPeriodTask_ = {};
    if (classificationCancelled_) {
        *classificationCancelled_ = true;
        classificationCancelled_.reset();
    }
    needsTrailingClassification_ = false;
}

}  // namespace vask
