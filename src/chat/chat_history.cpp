// The pure pieces of a turn: the history and manifests the helper receives, the progress lines
// the user sees, and the live disclosures of the running turn.
#include "chat/chat_view_model.h"
#include "platform/text.h"

namespace vask {

std::vector<HostConversationMessage> ChatViewModel::answeredConversationHistory(
    const std::vector<ChatMessage>& messages) {
    std::vector<HostConversationMessage> history;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const ChatMessage& message = messages[i];
        if (message.role != ChatRole::user) {
            history.push_back({std::string(rawValue(message.role)), message.text});
            continue;
        }
        // A question without its answer tells the helper nothing and is left out.
        if (i + 1 < messages.size() && messages[i + 1].role == ChatRole::assistant) {
            history.push_back({std::string(rawValue(message.role)), message.text});
            history.push_back({std::string(rawValue(ChatRole::assistant)), messages[i + 1].text});
            ++i;
        }
    }
    return history;
}

std::vector<HostConversationMessage> ChatViewModel::recentConversationHistory(
    const std::vector<ChatMessage>& messages, std::ptrdiff_t maxMessages,
    std::ptrdiff_t maxCharacters) {
    if (maxMessages < 1 || maxCharacters < 1) {
        return {};
    }
    const auto answered = answeredConversationHistory(messages);
    const std::size_t markerLength = text::graphemeCount(historyCutMarker);
    std::vector<HostConversationMessage> kept;
    auto budget = static_cast<std::size_t>(maxCharacters);
    for (auto it = answered.rbegin();
         it != answered.rend() && kept.size() < static_cast<std::size_t>(maxMessages); ++it) {
        if (budget < 1) {
            break;
        }
        HostConversationMessage entry = *it;
        std::size_t length = text::graphemeCount(entry.text);
        if (length > budget) {
            if (markerLength < budget) {
                entry.text = std::string(text::graphemePrefix(entry.text, budget - markerLength)) +
                             std::string(historyCutMarker);
            } else {
                entry.text = std::string(text::graphemePrefix(entry.text, budget - 1)) + "\u2026";
            }
            length = budget;
        }
        budget -= length;
        kept.push_back(std::move(entry));
    }
    return {kept.rbegin(), kept.rend()};
}

std::vector<SessionArtifactManifest> ChatViewModel::sessionArtifactManifests(
    const std::vector<ChatMessage>& messages) {
    return SessionArtifactManifest::fromMessages(messages);
}

std::string ChatViewModel::friendlyProgress(std::string_view status) {
    const std::string lowered = text::toLower(status);
    const auto contains = [&lowered](std::string_view word) {
        return lowered.find(word) != std::string::npos;
    };
    if (contains("generating code")) {
        return "Thinking\u2026";
    }
    if (contains("executing")) {
        return "Searching your messages\u2026";
    }
    if (contains("sub-query") || contains("batch")) {
        return "Reading your messages\u2026";
    }
    if (contains("retry") || contains("repair")) {
        return "Refining\u2026";
    }
    return std::string(status);
}

std::string ChatViewModel::provisionalTitle(std::string_view question) {
    std::string title(text::trimmed(question));
    std::replace(title.begin(), title.end(), '\n', ' ');
    if (title.empty()) {
        return std::string(newSessionTitle);
    }
    if (text::graphemeCount(title) > provisionalTitleCharacters) {
        return std::string(text::graphemePrefix(title, provisionalTitleCharacters)) + "\u2026";
    }
    return title;
}

void ChatViewModel::startExecutionDisclosure(const Uuid& questionID, const std::string& sessionID) {
    executionDisclosure.set(ZendrelExecutionDisclosure(questionID.uppercaseString(), sessionID));
    usageDisclosure.set(RLMUsageDisclosure{questionID.uppercaseString(), sessionID, std::nullopt});
}

void ChatViewModel::receiveExecutionEvent(const ZendrelExecutionEvent& event,
                                          const Uuid& questionID, const std::string& sessionID) {
    auto disclosure = executionDisclosure.get();
    if (!disclosure || disclosure->questionID != questionID.uppercaseString() ||
        disclosure->sessionID != sessionID) {
        return;
    }
    disclosure->append(event);
    executionDisclosure.set(std::move(disclosure));
}

void ChatViewModel::receiveTokenUsage(const ChatTokenUsage& usage, const Uuid& questionID,
                                      const std::string& sessionID) {
    auto disclosure = usageDisclosure.get();
    if (!disclosure || disclosure->questionID != questionID.uppercaseString() ||
        disclosure->sessionID != sessionID) {
        return;
    }
    disclosure->usage = usage;
    usageDisclosure.set(std::move(disclosure));
}

}  // namespace vask
