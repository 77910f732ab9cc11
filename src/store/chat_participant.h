#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vask {

// One member of a chat as the Messages database lists it.
struct ChatParticipant {
    std::string chatId;
    std::int64_t handleId = 0;  // the handle's row id in the Messages database
    std::string handle;
    std::optional<std::string> service;

    bool operator==(const ChatParticipant&) const = default;
};

}  // namespace vask
