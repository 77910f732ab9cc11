#include "chat/held_questions.h"

#include <algorithm>
#include <utility>

namespace vask {

void HeldQuestions::hold(const ChatMessage& question, const std::string& sessionID) {
    if (std::none_of(waitingForAnswer_.begin(), waitingForAnswer_.end(),
                     [&](const Held& held) { return held.question.id == question.id; })) {
        waitingForAnswer_.push_back({question, sessionID});
    }
}

std::vector<HeldQuestions::Held> HeldQuestions::answered() {
    waiting_ = false;
    return std::exchange(waitingForAnswer_, {});
}

void HeldQuestions::release(std::vector<Held> held) {
    for (auto& question : held) {
        toAsk_.push_back(std::move(question));
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
           std::ranges::any_of(toAsk_, inSession);
}

void HeldQuestions::drop(const std::string& sessionID) {
    const auto inSession = [&](const Held& held) { return held.sessionID == sessionID; };
    std::erase_if(waitingForAnswer_, inSession);
    std::erase_if(toAsk_, inSession);
}

void HeldQuestions::clear() {
    waitingForAnswer_.clear();
    toAsk_.clear();
    running_.reset();
}

}  // namespace vask
