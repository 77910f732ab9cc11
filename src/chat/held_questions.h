#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "platform/uuid.h"
#include "records/chat_message.h"

namespace vask {

// The questions a keyring held back (locked, or not answering) that wait for its answer, each
// with the chat it was asked in and the account it was asked under: those an unlock holds, and
// those it refused with none under way. Once the keyring answers, each is asked again in its
// chat, whichever is shown then, one after the other, oldest first (in the order they were first
// asked, however they came to be held); a chat the user deleted meanwhile takes its questions
// with it, and a question whose account is gone (signed out, or signed in again) is never asked.
// Main executor only.
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
    };

    // The place of a question asked now: after every one asked before, in either chat.
    static std::uint64_t nextOrder();

    // Whether this chat waits for the keyring's answer (its own question to it, or one it
    // joined).
    bool waiting() const { return waiting_; }
    void startWaiting() { waiting_ = true; }
    // Keeps `held` (once) until the keyring answers; one an unlock left held keeps its account.
    void hold(Held held);
    // The keyring answered: waiting ends, and the questions that waited for it are handed back,
    // oldest first.
    std::vector<Held> answered();
    // The unlock ended unanswered (cancelled, its daemon gone), or the keyring refused them with
    // no unlock under way: they stay held, for the next unlock or the keyring's own answer.
    void keep(std::vector<Held> held);
    // The ones an unlock left held, or the keyring refused with no unlock under way, taken back
    // oldest first (the keyring answered by other means).
    std::vector<Held> takeKept();
    bool keepsAny() const { return !kept_.empty(); }
    const std::vector<Held>& kept() const { return kept_; }
    // The keyring let them go: they are asked again in turn (next()), oldest first.
    void release(std::vector<Held> held);
    // The next question to ask again, unless the one asked before still runs.
    std::optional<Held> next();
    bool hasNext() const { return !toAsk_.empty(); }
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
    // Every question held, taken out (their chat moved elsewhere: `sessionID`), in the order
    // they wait: for the answer, kept, to ask.
    struct Taken {
        std::vector<Held> waitingForAnswer;
        std::vector<Held> kept;
        std::vector<Held> toAsk;
    };
    Taken take(const std::string& sessionID);
    // Nothing more is asked (a quit).
    void clear();

  private:
    bool waiting_ = false;
    std::vector<Held> waitingForAnswer_;
    std::vector<Held> kept_;
    std::deque<Held> toAsk_;
    std::optional<Uuid> running_;
};

}  // namespace vask
