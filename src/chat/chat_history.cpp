// The pure pieces of a turn: the history and manifests the helper receives, the progress lines
// the user sees, and the live disclosures of the running turn.
#include "chat/chat_view_model.h"
#include "platform/text.h"

namespace vask {

namespace {

// The messages of the answered history, in order: what the helper is told of earlier turns.
std::vector<const ChatMessage*> answeredMessages(const std::vector<ChatMessage>& messages) {
    std::vector<const ChatMessage*> answered;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const ChatMessage& message = messages[i];
        if (message.role != ChatRole::user) {
            answered.push_back(&message);
            continue;
        }
        // A question without its answer tells the helper nothing and is left out.
        if (i + 1 < messages.size() && messages[i + 1].role == ChatRole::assistant) {
            answered.push_back(&message);
            answered.push_back(&messages[i + 1]);
            ++i;
        }
    }
    return answered;
}

}  // namespace

std::vector<HostConversationMessage> ChatViewModel::answeredConversationHistory(
    const std::vector<ChatMessage>& messages) {
    std::vector<HostConversationMessage> history;
    for (const ChatMessage* message : answeredMessages(messages)) {
        history.push_back({std::string(rawValue(message->role)), message->text});
    }
    return history;
}

std::size_t ChatViewModel::historyCharacterCount(std::string_view text, std::size_t limit) {
    // Only whether a text fits the budget matters: counting stops past the largest budget.
    return text::graphemeCount(text::graphemePrefix(text, limit + 1));
}

std::vector<HostConversationMessage> ChatViewModel::recentConversationHistory(
    const std::vector<ChatMessage>& messages, std::ptrdiff_t maxMessages,
    std::ptrdiff_t maxCharacters) {
    return recentConversationHistory(
        messages, maxMessages, maxCharacters, [maxCharacters](const ChatMessage& message) {
            return historyCharacterCount(
                message.text, static_cast<std::size_t>(std::max<std::ptrdiff_t>(maxCharacters, 0)));
        });
}

std::vector<HostConversationMessage> ChatViewModel::recentConversationHistory(
    const std::vector<ChatMessage>& messages, std::ptrdiff_t maxMessages,
    std::ptrdiff_t maxCharacters, const HistoryCharacterCounter& count) {
    if (maxMessages < 1 || maxCharacters < 1) {
        return {};
    }
    // Only the entries that can be kept are copied and counted, newest first.
    const auto answered = answeredMessages(messages);
    const std::size_t markerLength = text::graphemeCount(historyCutMarker);
    std::vector<HostConversationMessage> kept;
    auto budget = static_cast<std::size_t>(maxCharacters);
    for (auto it = answered.rbegin();
         it != answered.rend() && kept.size() < static_cast<std::size_t>(maxMessages); ++it) {
        if (budget < 1) {
            break;
        }
        const ChatMessage& message = **it;
        HostConversationMessage entry{std::string(rawValue(message.role)), {}};
        std::size_t length = count(message);
        if (length > budget) {
            if (markerLength < budget) {
                entry.text =
                    std::string(text::graphemePrefix(message.text, budget - markerLength)) +
                    std::string(historyCutMarker);
            } else {
                entry.text = std::string(text::graphemePrefix(message.text, budget - 1)) + "\u2026";
            }
            length = budget;
        } else {
            entry.text = message.text;
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

void ChatViewModel::receiveExecutionEvents(const std::vector<ZendrelExecutionEvent>& events,
                                           const Uuid& questionID, const std::string& sessionID) {
    const auto& disclosure = executionDisclosure.get();
    if (events.empty() || !disclosure || disclosure->questionID != questionID.uppercaseString() ||
        disclosure->sessionID != sessionID) {
        return;
    }
    // In place: a long run's events are not copied for each new one.
    executionDisclosure.update([&events](auto& current) {
        for (const auto& event : events) {
            current->append(event);
        }
    });
}

void ChatViewModel::receiveTokenUsage(const ChatTokenUsage& usage, const Uuid& questionID,
                                      const std::string& sessionID) {
    const auto& disclosure = usageDisclosure.get();
    if (!disclosure || disclosure->questionID != questionID.uppercaseString() ||
        disclosure->sessionID != sessionID) {
        return;
    }
    usageDisclosure.update([&usage](auto& current) { current->usage = usage; });
}

}  // namespace vask
