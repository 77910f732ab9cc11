#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/auth_mode.h"
#include "platform/clock.h"
#include "platform/executor.h"
#include "platform/scheduler.h"
#include "platform/subscription.h"

namespace vask {

// Follows the keyring that holds the account while it holds the account back: the unlock the
// user asks for, the questions to a keyring that did not answer, and the keyring's own coming
// and going. One question to the keyring at a time, on a thread of its own (never the worker
// pool: an unlock's prompt may stay open for as long as the user leaves it); each ends by
// resolving the mode again and telling the root (`arrived`), whose next arrival tells this
// (`modeArrived`) what to follow next. Main executor, except where said.
class KeyringFollower {
  public:
    struct Hooks {
        MainExecutor& main;
        Scheduler& scheduler;
        // The mode resolved last, if any.
        std::function<std::optional<AuthMode>()> latestMode;
        // Called on the question's thread: a keyring that did not answer is connected to again
        // (however recently it was tried), the keyring asked to unlock (may show its prompt;
        // throws the failure's text as a vask::Error), and the mode resolved again.
        std::function<void()> reconnect;
        std::function<void()> unlock;
        std::function<void()> resolveAgain;
        // The mode resolved on the question's thread is in: the root tells every view.
        std::function<void()> arrived;
        // Vask became active (most unlocks made outside Vask are followed by that).
        std::function<Subscription(std::function<void()>)> observeActivation;
    };

    // The first and the longest pause between questions to a keyring that holds the mode back.
    static constexpr Clock::Duration followFirst = std::chrono::seconds(2);
    static constexpr Clock::Duration followLongest = std::chrono::seconds(30);

    explicit KeyringFollower(Hooks hooks) : hooks_(std::move(hooks)) {}
    // Stops following and waits for the question under way (shutDown()).
    ~KeyringFollower();
    KeyringFollower(const KeyringFollower&) = delete;
    KeyringFollower& operator=(const KeyringFollower&) = delete;

    // Asks the keyring to unlock (its prompt may show); then `done` runs with the failure's text,
    // nothing once unlocked. Asked while one is pending, `done` waits for that one's answer.
    void unlock(std::function<void(std::optional<std::string>)> done);
    // Asks the keyring again, without any prompt, after any unlock pending; then `done`.
    void askAgain(std::function<void()> done);
    // Whether an unlock is under way or waits for the question before it.
    bool unlockUnderWay() const;
    // Follows the keyring's coming (true) and going (false) through `watch`, whose calls may come
    // on any thread. Any thread; the subscription is cancelled by shutDown().
    void watch(const std::function<Subscription(std::function<void(bool)>)>& watch);
    // A mode arrived: while the keyring holds it back (locked, not answering) the keyring is
    // asked again from time to time (each pause twice the last, up to followLongest) and when
    // Vask becomes active; one that is not on the bus is followed by its own coming.
    void modeArrived();
    // Nothing asks the keyring from here on; the question under way, given up by the quit
    // (LibsecretBackend::abandonCalls), is waited for.
    void shutDown();

  private:
    void ask(bool unlock, std::function<void(std::optional<std::string>)> done);
    void answered(std::optional<std::string> failure);
    void askIfHeldBack();
    void cameOrWent(bool present);
    void join();

    Hooks hooks_;
    // Held weakly by tasks that come back to the follower.
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
    // The one question under way, and who waits for its answer.
    bool asking_ = false;
    // Whether the question under way is an unlock (else the keyring is only asked again).
    bool askingUnlock_ = false;
    std::vector<std::function<void(std::optional<std::string>)>> waiters_;
    // Unlocks asked while the keyring was only being asked again: they follow that question.
    std::vector<std::function<void(std::optional<std::string>)>> unlocksAfter_;
    std::thread question_;
    // The keyring's next question while it holds the mode back.
    ScheduledTask followUp_;
    bool followScheduled_ = false;
    Clock::Duration followPause_ = followFirst;
    Subscription becameActive_;
    bool followsActivation_ = false;
    // A keyring came while the question under way was asked: it is asked again after it.
    bool cameMeanwhile_ = false;
    std::mutex watchMutex_;
    Subscription watch_;
    bool shutDown_ = false;
};

}  // namespace vask
