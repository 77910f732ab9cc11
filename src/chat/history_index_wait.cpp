#include "chat/history_index_wait.h"

#include <algorithm>
#include <optional>

namespace vask {

namespace {

std::optional<HistoryIndexWait::Ending> endingOf(const HistoryIndexWait::Waiting& waiting,
                                                 const HistoryIndexWait::Now& now) {
    using Ending = HistoryIndexWait::Ending;
    if (now.chatDeleted && now.chatDeleted(waiting)) {
        return Ending::chatDeleted;
    }
    // A question is asked only under the account it was asked under, whatever the index says.
    if (waiting.account != now.account) {
        return Ending::accountChanged;
    }
    switch (now.index.phase) {
        case HistoryIndexState::Phase::whole:
            return Ending::indexWhole;
        case HistoryIndexState::Phase::failed:
            return Ending::syncFailed;
        case HistoryIndexState::Phase::building:
            break;
    }
    return std::nullopt;
}

}  // namespace

void HistoryIndexWait::park(Waiting waiting) {
    if (!holds(waiting.question.id)) {
        waiting_.push_back(std::move(waiting));
    }
}

std::vector<HistoryIndexWait::Ended> HistoryIndexWait::settle(const Now& now) {
    std::vector<Ended> ended;
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (const auto ending = endingOf(*it, now)) {
            ended.push_back({std::move(*it), *ending});
            it = waiting_.erase(it);
        } else {
            ++it;
        }
    }
    return ended;
}

void HistoryIndexWait::leave(const Uuid& questionID) {
    std::erase_if(waiting_, [&](const Waiting& each) { return each.question.id == questionID; });
}

bool HistoryIndexWait::holds(const Uuid& questionID) const {
    return std::ranges::any_of(waiting_,
                               [&](const Waiting& each) { return each.question.id == questionID; });
}

}  // namespace vask
