#pragma once

#include <string>
#include <string_view>

#include "proactive/persona_context.h"

namespace vask {

// The prompts that ask a model for a reply draft.
class DraftReplyPrompt {
  public:
    // In the user's voice from the context; the generic prompt when the context is empty.
    static std::string persona(std::string_view contactName, std::string_view lastMessage,
                               const PersonaContext& context);
    static std::string generic(std::string_view contactName, std::string_view lastMessage);
};

}  // namespace vask
