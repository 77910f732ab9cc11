#pragma once

#include <optional>
#include <string_view>

namespace vask {

// Who said a chat message; its text is what JSON and the sessions database hold.
enum class ChatRole { user, assistant, system };

std::string_view rawValue(ChatRole role);
// Nothing for any text outside "user", "assistant" and "system".
std::optional<ChatRole> chatRole(std::string_view text);

}  // namespace vask
