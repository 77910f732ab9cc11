#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vask {

// A message resolved for display, with its sender's contact name ("You" for the user's own).
struct SourceMessage {
    std::string guid;  // identity
    std::string contactName;
    std::string sender;
    std::string text;
    std::int64_t timestamp = 0;  // Messages epoch, nanoseconds
    std::int64_t timestampUnix = 0;
    std::string chatId;
    std::optional<std::string> chatName;
    bool isGroup = false;
    bool isFromMe = false;

    const std::string& id() const { return guid; }
    bool operator==(const SourceMessage&) const = default;
};

}  // namespace vask
