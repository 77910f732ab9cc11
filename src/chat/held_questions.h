#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "platform/uuid.h"
#include "records/chat_message.h"

namespace vask {

// The questions a keyring held back (locked, or not answering) that wait for its answer, each
// with the chat it was asked in: once the keyring answers, each is asked again in that chat,
// whichever is shown then, one after the other, oldest first; a chat the user deleted meanwhile
// takes its questions with it. Main executor only.
class HeldQuestions {
  public:
    struct Held {
        ChatMessage question;
        std::string sessionID;
    };

    // Whether this chat waits for the keyring's answer (its own question to it, or one it
    // joined).
    bool waiting() const { return waiting_; }
    void startWaiting() { waiting_ = true; }
    // Keeps `question` (once) until the keyring answers.
    void hold(const ChatMessage& question, const std::string& sessionID);
    // The keyring answered: waiting ends, and the questions that waited for it are handed back.
    std::vector<Held> answered();
    // The keyring let them go: they are asked again in turn (next()).
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
    // Nothing more is asked (a quit).
    void clear();

  private:
    bool waiting_ = false;
    std::vector<Held> waitingForAnswer_;
    std::deque<Held> toAsk_;
    std::optional<Uuid> running_;
};

}  // namespace vask
