#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/uuid.h"
#include "records/chat_message.h"

namespace vask {

// The questions a keyring held back, each with the chat it was asked in, the account it was
// asked under and what it waits for (one state per question, `Held::Wait`): the answer to the
// unlock under way, the keyring itself (it refused the question: locked, not answering, not
// there), or its turn to be asked again. Once the keyring opens, by whatever means, every
// question waiting for it is let go at once, however it came to be held and whatever else
// waits; each is then asked again in its chat, whichever is shown then, one after the other,
// oldest first (in the order they were first asked). A chat the user deleted meanwhile takes
// its questions with it, and a question whose account is gone (signed out, or signed in again)
// is never asked. Main executor only.
class HeldQuestions {
  public:
    struct Held {
        ChatMessage question;
        std::string sessionID;
        // The user's sign-ins and sign-outs noted before it was asked: the account it belongs to.
        std::uint64_t account = 0;
        // Its place among the questions asked in either chat (nextOrder()), kept however often
        // it is asked again: the older is asked first. 0: given when first held.
        std::uint64_t order = 0;
        enum class Wait {
            // The keyring refused it with no unlock under way (locked, not answering, not there).
            keyring,
            // The answer of the unlock under way (its prompt open, or its answer on its way).
            unlock,
            // Let go: asked again in turn (next()).
            turn,
        };
        Wait wait = Wait::keyring;
    };
    using Wait = Held::Wait;

    // The account of the questions a chat saved at a quit holds at the next start: the one signed
    // in when the run began (no sign-in or sign-out noted yet; none happens between two runs).
    static constexpr std::uint64_t startAccount = 0;

    // The place of a question asked now: after every one asked before, in either chat.
    static std::uint64_t nextOrder();

    // Whether this chat waits for the answer of an unlock (its own, or one it joined).
    bool waiting() const { return waiting_; }
    // This chat waits for an unlock's answer: every question the keyring refused waits for it too.
    void startWaiting();
    // Holds `held` (once) for the unlock under way; one held before keeps its account and place.
    void hold(Held held);
    // The keyring refused them (or the unlock they waited for ended unanswered): they wait for the
    // keyring, for the next unlock or its own answer. One held before keeps its account and place.
    void keep(std::vector<Held> held);
    // The unlock this chat waited for answered: waiting ends; if it left the keyring closed, every
    // question that waited for it waits for the keyring again.
    void unlockAnswered(bool keyringOpen);
    // The keyring opened: every question that waited for it or for an unlock, taken out oldest
    // first (to be asked in turn, or told why not).
    std::vector<Held> letGo();
    // The ones waiting for `wait`, oldest first.
    std::vector<Held> waitingFor(Wait wait) const;
    bool any() const { return !held_.empty(); }
    // They are asked again in turn (next()), oldest first, behind none that is younger.
    void release(std::vector<Held> held);
    // The next question to ask again, unless the one asked before still runs.
    std::optional<Held> next();
    bool hasNext() const;
    // The question asked again is running as `questionID`: the next waits for it to end.
    void running(const Uuid& questionID) { running_ = questionID; }
    // A turn ended; whether it was the one the next waited for.
    bool ended(const Uuid& questionID);
    // Takes back the ones still to ask (the keyring held the last one back again).
    std::vector<Held> takeRest();
    // Whether a question of the chat `sessionID` waits here.
    bool holds(const std::string& sessionID) const;
    // The chat `sessionID` is gone: its questions are never asked.
    void drop(const std::string& sessionID);
    // Every question not asked under `account` (the user signed out or in since), taken out:
    // none of them is ever asked.
    std::vector<Held> takeOtherAccounts(std::uint64_t account);
    // Every question of the chat `sessionID`, taken out with what each waits for (the chat moved
    // elsewhere), oldest first.
    std::vector<Held> take(const std::string& sessionID);
    // Takes in questions another chat held (its chat moved here), each still waiting as it did.
    void put(std::vector<Held> held);
    // Every question held, oldest first.
    const std::vector<Held>& all() const { return held_; }
    // Nothing more is asked (a quit).
    void clear();

  private:
    // Adds `held` waiting for `wait`, or sets what the one already here waits for.
    void place(Held held, Wait wait);
    template <typename Predicate>
    std::vector<Held> extract(Predicate matches);

    bool waiting_ = false;
    // Oldest first.
    std::vector<Held> held_;
    std::optional<Uuid> running_;
};

}  // namespace vask
