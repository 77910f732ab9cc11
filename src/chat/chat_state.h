#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "engine/rlm_usage_observability.h"
#include "records/chat_message.h"

namespace vask {

// What the chat shows of its latest question: the turn running, its answer, its failure, the
// usage limit that stopped it, or nothing.
class ChatState {
  public:
    struct Sending {
        ChatMessage question;
        std::optional<std::string> progress;
        std::optional<std::string> reasoning;
        bool operator==(const Sending&) const = default;
    };
    struct Responded {
        ChatMessage question;
        ChatMessage answer;
        bool operator==(const Responded&) const = default;
    };
    // Why the account's credentials could not go with a question, when that is why it failed:
    // what the chat offers follows from it, never from the words shown.
    enum class CredentialProblem {
        none,
        // The keyring that holds them is locked.
        keyringLocked,
        // The user asked to unlock it, and its prompt is open.
        keyringUnlocking,
        // The keyring did not answer.
        keyringNotAnswering,
        // There is no keyring on the bus (none installed, or not started yet).
        keyringNotAvailable,
        // There are none: the question went out signed out.
        signedOut,
        // The relay refused them, and a refresh did not help.
        sessionExpired,
    };
    struct Failed {
        ChatMessage question;
        std::string error;
        CredentialProblem credentials = CredentialProblem::none;
        bool operator==(const Failed&) const = default;
    };
    struct UsageLimitReached {
        ChatMessage question;
        AuthType authType = AuthType::customerToken;
        // Filled in by the plan look-up after the turn ended.
        std::optional<std::string> tierCode;
        bool operator==(const UsageLimitReached&) const = default;
    };
    struct Idle {
        bool operator==(const Idle&) const = default;
    };

    ChatState() = default;
    static ChatState sending(ChatMessage question, std::optional<std::string> progress,
                             std::optional<std::string> reasoning) {
        return ChatState(Sending{std::move(question), std::move(progress), std::move(reasoning)});
    }
    static ChatState responded(ChatMessage question, ChatMessage answer) {
        return ChatState(Responded{std::move(question), std::move(answer)});
    }
    static ChatState failed(ChatMessage question, std::string error,
                            CredentialProblem credentials = CredentialProblem::none) {
        return ChatState(Failed{std::move(question), std::move(error), credentials});
    }
    static ChatState usageLimitReached(ChatMessage question, AuthType authType,
                                       std::optional<std::string> tierCode) {
        return ChatState(UsageLimitReached{std::move(question), authType, std::move(tierCode)});
    }
    static ChatState idle() { return ChatState(Idle{}); }

    const Sending* asSending() const { return std::get_if<Sending>(&value_); }
    // For the running turn's streamed updates, made in place (see Published::update).
    Sending* asSending() { return std::get_if<Sending>(&value_); }
    const Responded* asResponded() const { return std::get_if<Responded>(&value_); }
    const Failed* asFailed() const { return std::get_if<Failed>(&value_); }
    const UsageLimitReached* asUsageLimitReached() const {
        return std::get_if<UsageLimitReached>(&value_);
    }
    bool isIdle() const { return std::holds_alternative<Idle>(value_); }
    bool isSending() const { return asSending() != nullptr; }

    // The question of every state but idle.
    const ChatMessage* currentQuestion() const;
    const ChatMessage* currentAnswer() const;
    bool hasAnyMessages() const { return !isIdle(); }
    std::vector<ChatMessage> currentMessages() const;
    // True when the state shows the question with this id.
    bool showsQuestion(const Uuid& questionID) const;

    bool operator==(const ChatState&) const = default;

  private:
    using Value = std::variant<Idle, Sending, Responded, Failed, UsageLimitReached>;
    explicit ChatState(Value value) : value_(std::move(value)) {}
    Value value_;
};

}  // namespace vask
