#pragma once

#include <optional>
#include <string>

namespace vask {

// A line said under one chat for a moment (what did not open): it belongs to the chat it was
// asked in, shows while that chat is the one shown, and goes for good once another chat is
// shown, even when the first one comes back.
class ChatTransientLine {
  public:
    // Says `text` for the chat `sessionID`; an empty text takes the line away.
    void say(const std::string& sessionID, std::string text);
    // What to show while the chat `shownSessionID` is shown; a line of another chat is dropped.
    std::optional<std::string> shownFor(const std::string& shownSessionID);

  private:
    std::string sessionID_;
    std::optional<std::string> text_;
};

}  // namespace vask
