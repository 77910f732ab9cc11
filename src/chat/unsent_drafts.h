#pragma once

#include <map>
#include <string>

namespace vask {

// What the user typed and did not send, chat by chat: the chat shown holds its text in the
// composer, every other chat keeps its own here until it is shown again. Nothing the user does
// elsewhere moves or drops a chat's text: it goes only with the chat the user deleted. The one
// text that follows the composer is that of a chat that went from it while shown (the popover's
// chat, dropped for a new one or handed to the main window; the stand-in shown while the saved
// chats are read): the composer keeps it for the chat shown next. Main executor only.
class UnsentDrafts {
  public:
    // How the chat shown was left.
    enum class Left {
        // It is still there: what was typed in it waits for it.
        kept,
        // The user deleted it: what was typed in it goes with it.
        deleted,
        // It went from this composer while shown: what was typed stays in the composer.
        wentFromComposer,
    };

    // The composer, holding `typed`, leaves the chat `left` (as `how` says) for the chat `shown`:
    // what the composer holds then.
    std::string move(const std::string& left, Left how, std::string typed,
                     const std::string& shown);
    // The chat `sessionID`, not shown, was deleted: its text goes with it.
    void drop(const std::string& sessionID) { texts_.erase(sessionID); }
    // Whether the chat `sessionID`, not shown, keeps a text.
    bool keeps(const std::string& sessionID) const { return texts_.contains(sessionID); }

  private:
    // By session id; never an empty text.
    std::map<std::string, std::string> texts_;
};

}  // namespace vask
