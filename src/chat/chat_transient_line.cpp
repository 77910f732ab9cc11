#include "chat/chat_transient_line.h"

#include <utility>

namespace vask {

void ChatTransientLine::say(const std::string& sessionID, std::string text) {
    sessionID_ = sessionID;
    text_ = text.empty() ? std::nullopt : std::optional(std::move(text));
}

std::optional<std::string> ChatTransientLine::shownFor(const std::string& shownSessionID) {
    if (shownSessionID != sessionID_) {
        text_.reset();
    }
    return text_;
}

}  // namespace vask
