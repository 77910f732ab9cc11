#pragma once

#include <string>

namespace vask {

// One message of a conversation's recent thread, as reply drafting reads it.
struct ThreadMessage {
    std::string sender;
    std::string text;
    bool isFromMe = false;

    bool operator==(const ThreadMessage&) const = default;
};

}  // namespace vask
