#include "chat/chat_state.h"

namespace vask {

const ChatMessage* ChatState::currentQuestion() const {
    return std::visit(
        [](const auto& state) -> const ChatMessage* {
            if constexpr (std::is_same_v<std::decay_t<decltype(state)>, Idle>) {
                return nullptr;
            } else {
                return &state.question;
            }
        },
        value_);
}

const ChatMessage* ChatState::currentAnswer() const {
    const auto* responded = asResponded();
    return responded ? &responded->answer : nullptr;
}

std::vector<ChatMessage> ChatState::currentMessages() const {
    std::vector<ChatMessage> messages;
    if (const auto* question = currentQuestion()) {
        messages.push_back(*question);
    }
    if (const auto* answer = currentAnswer()) {
        messages.push_back(*answer);
    }
    return messages;
}

bool ChatState::showsQuestion(const Uuid& questionID) const {
    const auto* question = currentQuestion();
    return question && question->id == questionID;
}

}  // namespace vask
