#include "proactive/draft_reply_generator.h"

#include <array>

#include "platform/text.h"
#include "proactive/draft_reply_prompt.h"
#include "store/shadow_sync.h"

namespace vask {
namespace {

struct QuotePair {
    std::string_view open;
    std::string_view close;
};

constexpr std::array<QuotePair, 3> wrappingQuotes = {{
    {"\"", "\""},
    {"\xE2\x80\x9C", "\xE2\x80\x9D"},  // “ ”
    {"'", "'"},
}};

std::string_view trimmedBlanksAndTabs(std::string_view s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::optional<std::string> DraftReplyGenerator::sanitize(std::string_view answer) {
    std::string_view draft = text::trimmed(answer);
    if (text::graphemeCount(draft) >= 2) {
        for (const auto& quotes : wrappingQuotes) {
            if (text::graphemePrefix(draft, 1) == quotes.open && draft.ends_with(quotes.close)) {
                draft.remove_prefix(quotes.open.size());
                draft.remove_suffix(quotes.close.size());
                draft = text::trimmed(draft);
                break;
            }
        }
    }
    if (text::graphemeCount(draft) > maxDraftCharacters) {
        draft = trimmedBlanksAndTabs(text::graphemePrefix(draft, maxDraftCharacters));
    }
    if (draft.empty()) {
        return std::nullopt;
    }
    return std::string(draft);
}

CorvaneResponses::Request DraftReplyGenerator::request(std::string prompt,
                                                       const RouteCredentials& credentials,
                                                       std::function<bool()> preflight) {
    CorvaneResponses::Request request;
    request.prompt = std::move(prompt);
    request.maxOutputTokens = maxOutputTokens;
    request.credentials = credentials;
    request.route = std::nullopt;
    request.reasoningEffort = "none";
    request.timeout = timeout;
    request.preflight = std::move(preflight);
    return request;
}

std::optional<std::string> DraftReplyGenerator::generate(std::string_view contactName,
                                                         std::string_view lastMessage,
                                                         const PersonaContext& context,
                                                         const RouteCredentials& credentials,
                                                         const Complete& complete,
                                                         std::function<bool()> preflight) {
    try {
        const auto answer =
            complete(request(DraftReplyPrompt::persona(contactName, lastMessage, context),
                             credentials, context.isEmpty() ? nullptr : std::move(preflight)));
        return answer ? sanitize(*answer) : std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

PersonaContext DraftReplyGenerator::readPersonaContext(const std::filesystem::path& shadowDBPath,
                                                       const AwaitingReply& reply) {
    ShadowSync shadow(std::nullopt, shadowDBPath);
    constexpr int fetch = PersonaContextBuilder::overFetchFactor;
    const auto thread =
        shadow.recentThread(reply.chatId, std::nullopt, PersonaContextBuilder::threadTailCap);
    const auto contact = shadow.sentMessages(reply.sender, std::nullopt,
                                             PersonaContextBuilder::contactExemplarCap * fetch);
    const auto global = shadow.recentSentSample(reply.sender, std::nullopt,
                                                PersonaContextBuilder::globalExemplarCap * fetch);
    return PersonaContextBuilder::build(thread, contact, global);
}

}  // namespace vask
