#include "chat/held_questions.h"

#include <algorithm>
#include <utility>

namespace vask {
namespace {

bool sameQuestion(const HeldQuestions::Held& a, const HeldQuestions::Held& b) {
    return a.question.id == b.question.id;
}

bool olderFirst(const HeldQuestions::Held& a, const HeldQuestions::Held& b) {
    return a.order < b.order;
}

HeldQuestions::Held placed(HeldQuestions::Held held) {
    if (held.order == 0) {
        held.order = HeldQuestions::nextOrder();
    }
    return held;
}

template <typename List, typename Predicate>
std::vector<HeldQuestions::Held> extract(List& list, Predicate matches) {
    std::vector<HeldQuestions::Held> taken;
    for (auto it = list.begin(); it != list.end();) {
        if (matches(*it)) {
            taken.push_back(std::move(*it));
            it = list.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

}  // namespace

std::uint64_t HeldQuestions::nextOrder() {
    // Both chats run on the main executor.
    static std::uint64_t asked = 0;
    return ++asked;
}

void HeldQuestions::hold(Held held) {
    held = placed(std::move(held));
    if (const auto it =
            std::ranges::find_if(kept_, [&](const Held& each) { return sameQuestion(each, held); });
        it != kept_.end()) {
        held = std::move(*it);
        kept_.erase(it);
    }
    if (std::ranges::none_of(waitingForAnswer_,
                             [&](const Held& each) { return sameQuestion(each, held); })) {
        waitingForAnswer_.push_back(std::move(held));
    }
}

std::vector<HeldQuestions::Held> HeldQuestions::answered() {
    waiting_ = false;
    auto held = std::exchange(waitingForAnswer_, {});
    std::ranges::stable_sort(held, olderFirst);
    return held;
}

void HeldQuestions::keep(std::vector<Held> held) {
    for (auto& question : held) {
        if (std::ranges::none_of(kept_,
                                 [&](const Held& each) { return sameQuestion(each, question); })) {
            kept_.push_back(placed(std::move(question)));
        }
    }
    std::ranges::stable_sort(kept_, olderFirst);
}

std::vector<HeldQuestions::Held> HeldQuestions::takeKept() {
    return std::exchange(kept_, {});
}

void HeldQuestions::release(std::vector<Held> held) {
    for (auto& question : held) {
        question = placed(std::move(question));
        toAsk_.insert(std::ranges::upper_bound(toAsk_, question, olderFirst), std::move(question));
    }
}

std::optional<HeldQuestions::Held> HeldQuestions::next() {
    if (running_ || toAsk_.empty()) {
        return std::nullopt;
    }
    Held front = std::move(toAsk_.front());
    toAsk_.pop_front();
    return front;
}

bool HeldQuestions::ended(const Uuid& questionID) {
    if (running_ != questionID) {
        return false;
    }
    running_.reset();
    return true;
}

std::vector<HeldQuestions::Held> HeldQuestions::takeRest() {
    std::vector<Held> rest(std::make_move_iterator(toAsk_.begin()),
                           std::make_move_iterator(toAsk_.end()));
    toAsk_.clear();
    return rest;
}

bool HeldQuestions::holds(const std::string& sessionID) const {
    const auto inSession = [&](const Held& held) { return held.sessionID == sessionID; };
    return std::ranges::any_of(waitingForAnswer_, inSession) ||
           std::ranges::any_of(kept_, inSession) || std::ranges::any_of(toAsk_, inSession);
}

void HeldQuestions::drop(const std::string& sessionID) {
    take(sessionID);
}

std::vector<HeldQuestions::Held> HeldQuestions::takeOtherAccounts(std::uint64_t account) {
    const auto other = [&](const Held& held) { return held.account != account; };
    auto taken = extract(waitingForAnswer_, other);
    for (auto more : {extract(kept_, other), extract(toAsk_, other)}) {
        taken.insert(taken.end(), std::make_move_iterator(more.begin()),
                     std::make_move_iterator(more.end()));
    }
    return taken;
}

HeldQuestions::Taken HeldQuestions::take(const std::string& sessionID) {
    const auto inSession = [&](const Held& held) { return held.sessionID == sessionID; };
    return {extract(waitingForAnswer_, inSession), extract(kept_, inSession),
            extract(toAsk_, inSession)};
}

void HeldQuestions::clear() {
    waitingForAnswer_.clear();
    kept_.clear();
    toAsk_.clear();
    running_.reset();
}

}  // namespace vask
