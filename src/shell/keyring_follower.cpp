#include "shell/keyring_follower.h"

#include <algorithm>
#include <utility>

#include "foundation/structured_logger.h"
#include "platform/error.h"

namespace vask {

KeyringFollower::~KeyringFollower() {
    shutDown();
}

void KeyringFollower::shutDown() {
    shutDown_ = true;
    {
        std::lock_guard lock(watchMutex_);
        watch_.cancel();
    }
    followUp_.cancel();
    becameActive_.cancel();
    join();
}

void KeyringFollower::join() {
    if (question_.joinable()) {
        question_.join();
    }
}

void KeyringFollower::watch(const std::function<Subscription(std::function<void(bool)>)>& watch) {
    auto subscription =
        watch([this, &main = hooks_.main, alive = std::weak_ptr(lifetime_)](bool present) {
            main.post([this, alive, present] {
                if (alive.lock()) {
                    cameOrWent(present);
                }
            });
        });
    std::lock_guard lock(watchMutex_);
    watch_ = std::move(subscription);
}

void KeyringFollower::cameOrWent(bool present) {
    if (shutDown_) {
        return;
    }
    StructuredLogger("keychain").info(present ? "keyring_came" : "keyring_went");
    if (!present) {
        // What it held is read again at the next use; a view that shows it held back learns
        // now that it is not there (an unlock under way ends by itself).
        askIfHeldBack();
        return;
    }
    if (asking_) {
        // The question under way may have asked the one that went: this one is asked after it.
        cameMeanwhile_ = true;
        return;
    }
    ask(false, [](const std::optional<std::string>&) {});
}

void KeyringFollower::modeArrived() {
    const auto latest = hooks_.latestMode();
    if (!latest || !latest->isHeldBackByKeyring()) {
        followUp_.cancel();
        followScheduled_ = false;
        followPause_ = followFirst;
        return;
    }
    if (shutDown_) {
        return;
    }
    if (!followsActivation_ && hooks_.observeActivation) {
        // An unlock made outside Vask is most often followed by coming back to it.
        followsActivation_ = true;
        becameActive_ = hooks_.observeActivation([this] { askIfHeldBack(); });
    }
    if (latest->isKeyringNotAvailable()) {
        // Its own coming (a daemon taking the name) is watched: nothing is asked by the clock.
        followUp_.cancel();
        followScheduled_ = false;
        followPause_ = followFirst;
        return;
    }
    if (followScheduled_) {
        return;
    }
    followScheduled_ = true;
    followUp_ = hooks_.scheduler.after(
        followPause_, [this, &main = hooks_.main, alive = std::weak_ptr(lifetime_)] {
            main.post([this, alive] {
                if (!alive.lock()) {
                    return;
                }
                followScheduled_ = false;
                askIfHeldBack();
            });
        });
    followPause_ = std::min(followPause_ * 2, followLongest);
}

void KeyringFollower::askIfHeldBack() {
    const auto latest = hooks_.latestMode();
    if (shutDown_ || !latest || !latest->isHeldBackByKeyring()) {
        return;
    }
    if (asking_) {
        // Its answer arrives anyway, and the next question is scheduled then.
        return;
    }
    ask(false, [](const std::optional<std::string>&) {});
}

void KeyringFollower::unlock(std::function<void(std::optional<std::string>)> done) {
    ask(true, std::move(done));
}

void KeyringFollower::askAgain(std::function<void()> done) {
    ask(false, [done = std::move(done)](const std::optional<std::string>&) { done(); });
}

bool KeyringFollower::unlockUnderWay() const {
    return asking_ && (askingUnlock_ || !unlocksAfter_.empty());
}

void KeyringFollower::ask(bool unlock, std::function<void(std::optional<std::string>)> done) {
    if (asking_ && unlock && !askingUnlock_) {
        // Asking again opens no prompt: the unlock the user pressed for is asked after it.
        unlocksAfter_.push_back(std::move(done));
        return;
    }
    waiters_.push_back(std::move(done));
    if (asking_) {
        StructuredLogger("keychain").info("keychain_question_pending");
        return;
    }
    asking_ = true;
    askingUnlock_ = unlock;
    // The thread before has posted its answer, and ends with that.
    join();
    question_ = std::thread([this, unlock] {
        std::optional<std::string> failure;
        // Asked by the user (or to follow the keyring): a keyring that did not answer is
        // connected to now, however recently it was last tried.
        hooks_.reconnect();
        if (unlock) {
            try {
                hooks_.unlock();
            } catch (const Error& e) {
                failure = e.what();
            }
        }
        // What was locked or not answered was never cached by the stores: resolving again
        // reads it afresh.
        hooks_.resolveAgain();
        hooks_.main.post([this, alive = std::weak_ptr(lifetime_), failure] {
            if (alive.lock()) {
                answered(failure);
            }
        });
    });
}

void KeyringFollower::answered(std::optional<std::string> failure) {
    asking_ = false;
    hooks_.arrived();
    for (auto& waiter : std::exchange(waiters_, {})) {
        waiter(failure);
    }
    for (auto& waiter : std::exchange(unlocksAfter_, {})) {
        ask(true, std::move(waiter));
    }
    if (std::exchange(cameMeanwhile_, false) && !shutDown_) {
        ask(false, [](const std::optional<std::string>&) {});
    }
}

}  // namespace vask
