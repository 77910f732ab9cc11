#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "proactive/persona_context.h"
#include "relay/corvane_responses.h"
#include "store/awaiting_reply.h"

namespace vask {

// Writes a reply draft with one model call and cleans what the model answers.
class DraftReplyGenerator {
  public:
    // Blocking: the relay client's call.
    using Complete = std::function<std::optional<std::string>(const CorvaneResponses::Request&)>;

    static constexpr int maxOutputTokens = 2048;
    static constexpr std::chrono::seconds timeout{25};
    static constexpr std::size_t maxDraftCharacters = 600;

    // The draft inside the model's answer: trimmed, one wrapping pair of quotes removed, at most
    // 600 user-perceived characters; nothing when that leaves no text.
    static std::optional<std::string> sanitize(std::string_view answer);

    // The request for a draft. `preflight` is asked just before sending; a request that carries
    // the user's own texts passes one so that switching persona drafts off stops it.
    static CorvaneResponses::Request request(std::string prompt,
                                             const RouteCredentials& credentials,
                                             std::function<bool()> preflight);

    // Blocking. The cleaned draft in the user's voice (the generic prompt for an empty
    // context), or nothing when the call fails or the draft is empty. Never throws.
    static std::optional<std::string> generate(std::string_view contactName,
                                               std::string_view lastMessage,
                                               const PersonaContext& context,
                                               const RouteCredentials& credentials,
                                               const Complete& complete,
                                               std::function<bool()> preflight = {});

    // Blocking; throws what the shadow database throws. The conversation's tail, what the user
    // sent this contact and what they sent others, each read on its own read-only connection.
    static PersonaContext readPersonaContext(const std::filesystem::path& shadowDBPath,
                                             const AwaitingReply& reply);
};

}  // namespace vask
