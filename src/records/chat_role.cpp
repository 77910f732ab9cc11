#include "records/chat_role.h"

namespace vask {

std::string_view rawValue(ChatRole role) {
    switch (role) {
        case ChatRole::user:
            return "user";
        case ChatRole::assistant:
            return "assistant";
        case ChatRole::system:
            return "system";
    }
    return "user";
}

std::optional<ChatRole> chatRole(std::string_view text) {
    for (auto role : {ChatRole::user, ChatRole::assistant, ChatRole::system}) {
        if (rawValue(role) == text) {
            return role;
        }
    }
    return std::nullopt;
}

}  // namespace vask
