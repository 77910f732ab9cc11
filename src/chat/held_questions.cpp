#include "chat/held_questions.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace vask {
namespace {

bool olderFirst(const HeldQuestions::Held& a, const HeldQuestions::Held& b) {
    return a.order < b.order;
}

}  // namespace

std::uint64_t HeldQuestions::nextOrder() {
    // Both chats run on the main executor.
    static std::uint64_t asked = 0;
    return ++asked;
}

void HeldQuestions::place(Held held, Wait wait) {
    if (const auto it = std::ranges::find_if(
            held_, [&](const Held& each) { return each.question.id == held.question.id; });
        it != held_.end()) {
        it->wait = wait;
        return;
    }
    if (held.order == 0) {
        held.order = nextOrder();
    }
    held.wait = wait;
    held_.insert(std::ranges::upper_bound(held_, held, olderFirst), std::move(held));
}

template <typename Predicate>
std::vector<HeldQuestions::Held> HeldQuestions::extract(Predicate matches) {
    std::vector<Held> taken;
    for (auto it = held_.begin(); it != held_.end();) {
        if (matches(*it)) {
            taken.push_back(std::move(*it));
            it = held_.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

void HeldQuestions::startWaiting() {
    waiting_ = true;
    for (auto& each : held_) {
        if (each.wait == Wait::keyring) {
            each.wait = Wait::unlock;
        }
    }
}

void HeldQuestions::hold(Held held) {
    place(std::move(held), Wait::unlock);
}

void HeldQuestions::keep(std::vector<Held> held) {
    for (auto& each : held) {
        place(std::move(each), Wait::keyring);
    }
}

void HeldQuestions::unlockAnswered(bool keyringOpen) {
    waiting_ = false;
    if (keyringOpen) {
        return;
    }
    for (auto& each : held_) {
        if (each.wait == Wait::unlock) {
            each.wait = Wait::keyring;
        }
    }
}

std::vector<HeldQuestions::Held> HeldQuestions::letGo() {
    return extract([](const Held& held) { return held.wait != Wait::turn; });
}

std::vector<HeldQuestions::Held> HeldQuestions::waitingFor(Wait wait) const {
    std::vector<Held> list;
    std::ranges::copy_if(held_, std::back_inserter(list),
                         [&](const Held& held) { return held.wait == wait; });
    return list;
}

void HeldQuestions::release(std::vector<Held> held) {
    for (auto& each : held) {
        place(std::move(each), Wait::turn);
    }
}

std::optional<HeldQuestions::Held> HeldQuestions::next() {
    if (running_) {
        return std::nullopt;
    }
    auto taken = extract([first = true](const Held& held) mutable {
        const bool matches = first && held.wait == Wait::turn;
        first = first && !matches;
        return matches;
    });
    if (taken.empty()) {
        return std::nullopt;
    }
    return std::move(taken.front());
}

bool HeldQuestions::hasNext() const {
    return std::ranges::any_of(held_, [](const Held& held) { return held.wait == Wait::turn; });
}

bool HeldQuestions::ended(const Uuid& questionID) {
    if (running_ != questionID) {
        return false;
    }
    running_.reset();
    return true;
}

std::vector<HeldQuestions::Held> HeldQuestions::takeRest() {
    return extract([](const Held& held) { return held.wait == Wait::turn; });
}

bool HeldQuestions::holds(const std::string& sessionID) const {
    return std::ranges::any_of(held_,
                               [&](const Held& held) { return held.sessionID == sessionID; });
}

void HeldQuestions::drop(const std::string& sessionID) {
    take(sessionID);
}

std::vector<HeldQuestions::Held> HeldQuestions::takeOtherAccounts(std::uint64_t account) {
    return extract([&](const Held& held) { return held.account != account; });
}

std::vector<HeldQuestions::Held> HeldQuestions::take(const std::string& sessionID) {
    return extract([&](const Held& held) { return held.sessionID == sessionID; });
}

void HeldQuestions::put(std::vector<Held> held) {
    for (auto& each : held) {
        const Wait wait = each.wait;
        place(std::move(each), wait);
    }
}

void HeldQuestions::clear() {
    held_.clear();
    running_.reset();
}

}  // namespace vask
