// Questions a keyring held back (locked, or not answering): the unlock and asking it again,
// and each held question asked again in its own chat once the keyring answers.
#include "chat/chat_view_model.h"

#include <algorithm>

namespace vask {

std::string_view ChatViewModel::heldText(ChatState::CredentialProblem problem) {
    switch (problem) {
        case ChatState::CredentialProblem::keyringLocked:
            return keyringLockedText;
        case ChatState::CredentialProblem::keyringUnlocking:
            return keyringUnlockingText;
        case ChatState::CredentialProblem::keyringNotAnswering:
            return keyringNotAnsweringText;
        case ChatState::CredentialProblem::keyringNotAvailable:
            return keyringNotAvailableText;
        case ChatState::CredentialProblem::none:
        case ChatState::CredentialProblem::signedOut:
        case ChatState::CredentialProblem::sessionExpired:
            break;
    }
    return {};
}

bool ChatViewModel::asksAgain(ChatState::CredentialProblem problem) {
    return problem == ChatState::CredentialProblem::keyringNotAnswering ||
           problem == ChatState::CredentialProblem::keyringNotAvailable;
}

ChatState::CredentialProblem ChatViewModel::notAnsweringProblem() const {
    return keyringNotAvailable_ ? ChatState::CredentialProblem::keyringNotAvailable
                                : ChatState::CredentialProblem::keyringNotAnswering;
}

ChatState::CredentialProblem ChatViewModel::heldBack(const AuthMode& mode) {
    using Problem = ChatState::CredentialProblem;
    return mode.isKeyringLocked()         ? Problem::keyringLocked
           : mode.isKeyringNotAnswering() ? Problem::keyringNotAnswering
           : mode.isKeyringNotAvailable() ? Problem::keyringNotAvailable
                                          : Problem::none;
}

ChatState::CredentialProblem ChatViewModel::holdBack(const std::string& questionText,
                                                     const std::string& sessionID,
                                                     const AuthMode& mode, bool credentialsKnown,
                                                     std::uint64_t order) {
    using Problem = ChatState::CredentialProblem;
    if (unlockUnderWay() && mode.isKeyringLocked()) {
        // The keyring is being unlocked (its prompt open, or its answer on its way): the
        // question waits for the answer rather than be told the keyring is locked.
        const auto question = failImmediately(
            questionText, sessionID, std::string(keyringUnlockingText), Problem::keyringUnlocking);
        holdForUnlock(question, sessionID, order);
        waitForUnlock();
        return Problem::keyringUnlocking;
    }
    const Problem problem = credentialsKnown ? heldBack(mode) : Problem::none;
    if (problem != Problem::none) {
        keyringLocked.set(mode.isKeyringLocked());
        keyringNotAnswering.set(mode.isKeyringNotAnswering() || mode.isKeyringNotAvailable());
        const auto question =
            failImmediately(questionText, sessionID, std::string(heldText(problem)), problem);
        keepRefused(question, sessionID, order);
    }
    return problem;
}

void ChatViewModel::unlockKeyring() {
    if (askingKeyring.get()) {
        // The one under way answers for this press too; its row says what it waits for.
        logger_.info("keyring_unlock_pending");
        return;
    }
    using Problem = ChatState::CredentialProblem;
    std::weak_ptr<ChatViewModel> weak = weak_from_this();
    const auto* failed = state.get().asFailed();
    const Problem problem = failed != nullptr ? failed->credentials : Problem::none;
    if (keyringNotAnswering.get() || asksAgain(problem)) {
        if (!deps_.askKeyringAgain) {
            return;
        }
        // The question the keyring stopped goes on in its own chat, whatever is shown then, with
        // every other it refused (kept since).
        if (problem == Problem::keyringLocked || asksAgain(problem)) {
            keepRefused(failed->question, currentSessionID.get(), 0);
        }
        askingKeyring.set(true);
        deps_.askKeyringAgain([weak] {
            if (auto self = weak.lock()) {
                self->keyringAskedAgain();
            }
        });
        return;
    }
    if (!deps_.unlockKeyring) {
        return;
    }
    if (problem == Problem::keyringLocked) {
        holdForUnlock(failed->question, currentSessionID.get());
    }
    waitForUnlock();
}

bool ChatViewModel::unlockUnderWay() const {
    return held_.waiting() || (deps_.keyringUnlockUnderWay && deps_.keyringUnlockUnderWay());
}

std::uint64_t ChatViewModel::currentAccount() const {
    return deps_.accountChanges ? deps_.accountChanges() : 0;
}

void ChatViewModel::holdForUnlock(const ChatMessage& question, const std::string& sessionID,
                                  std::uint64_t order) {
    holdForUnlock({question, sessionID, currentAccount(), order});
}

void ChatViewModel::keepRefused(const ChatMessage& question, const std::string& sessionID,
                                std::uint64_t order) {
    held_.keep({{question, sessionID, currentAccount(), order}});
}

void ChatViewModel::holdForUnlock(HeldQuestions::Held held) {
    using Problem = ChatState::CredentialProblem;
    keyringLocked.set(true);
    keyringNotAnswering.set(false);
    showEnded(ChatState::failed(held.question, std::string(keyringUnlockingText),
                                Problem::keyringUnlocking));
    held_.hold(std::move(held));
}

void ChatViewModel::waitForUnlock() {
    if (held_.waiting() || !deps_.unlockKeyring) {
        return;
    }
    // What an unlock left held before waits for this one too.
    for (auto& kept : held_.takeKept()) {
        holdForUnlock(std::move(kept));
    }
    held_.startWaiting();
    askingKeyring.set(true);
    std::weak_ptr<ChatViewModel> weak = weak_from_this();
    deps_.unlockKeyring([weak](std::optional<std::string> failure) {
        if (auto self = weak.lock()) {
            self->unlockAnswered(std::move(failure));
        }
    });
}

void ChatViewModel::unlockAnswered(std::optional<std::string> failure) {
    using Problem = ChatState::CredentialProblem;
    auto held = held_.answered();
    if (!failure) {
        refreshCredentials();
    }
    if (failure || keyringLocked.get() || keyringNotAnswering.get()) {
        // Still held back (the prompt cancelled, its daemon gone, or the keyring locked again):
        // every question that waited says so again, with its way on, and stays held for the
        // next unlock or the keyring's own answer.
        const Problem problem =
            !failure && keyringNotAnswering.get() ? notAnsweringProblem() : Problem::keyringLocked;
        for (const auto& each : held) {
            showEnded(ChatState::failed(each.question, std::string(heldText(problem)), problem));
        }
        held_.keep(std::move(held));
        askingKeyring.set(false);
        if (failure) {
            lastError.set(std::move(failure));
        }
        return;
    }
    askingKeyring.set(false);
    settleHeld(std::move(held));
}

void ChatViewModel::settleHeld(std::vector<HeldQuestions::Held> held) {
    // Signed out meanwhile (or the keyring holds no account): none goes out without one.
    const auto account = currentAccount();
    std::vector<HeldQuestions::Held> gone;
    std::vector<HeldQuestions::Held> toAsk;
    for (auto& each : held) {
        (each.account == account && hasCredentials.get() ? toAsk : gone).push_back(std::move(each));
    }
    tellNotAsked(gone);
    // Each is asked again in turn; until then its row waits without a note.
    for (const auto& each : toAsk) {
        endedTurns_.erase(each.question.id);
    }
    held_.release(std::move(toAsk));
    askNextHeldQuestion();
}

void ChatViewModel::tellNotAsked(const std::vector<HeldQuestions::Held>& gone) {
    using Problem = ChatState::CredentialProblem;
    const bool signedOut = !hasCredentials.get();
    for (const auto& each : gone) {
        logger_.info("held_question_not_asked_account_changed", {{"session_id", each.sessionID}});
        showEnded(ChatState::failed(
            each.question,
            std::string(signedOut ? heldQuestionSignedOutText : heldQuestionOtherAccountText),
            signedOut ? Problem::signedOut : Problem::none));
    }
}

void ChatViewModel::credentialsArrived() {
    refreshCredentials();
    tellNotAsked(held_.takeOtherAccounts(currentAccount()));
    if (held_.keepsAny() && !held_.waiting() && !keyringLocked.get() &&
        !keyringNotAnswering.get()) {
        // Unlocked by other means than an unlock of Vask's (elsewhere, or by another prompt).
        settleHeld(held_.takeKept());
    }
}

void ChatViewModel::takeHeld(HeldQuestions::Taken taken) {
    // The chat shown with its last question held says so once, as the popover did: in its state,
    // with no keyring row of its own beneath.
    const auto* shown = currentSession();
    const auto heldLast = [&](const std::vector<HeldQuestions::Held>& list) {
        return shown != nullptr && !shown->messages.empty() &&
               std::ranges::any_of(list, [&](const HeldQuestions::Held& each) {
                   return each.question.id == shown->messages.back().id;
               });
    };
    if (heldLast(taken.waitingForAnswer) || heldLast(taken.kept)) {
        if (const auto* ended = endedTurn(shown->messages.back().id)) {
            state.set(*ended);
        }
    }
    held_.keep(std::move(taken.kept));
    if (!taken.waitingForAnswer.empty()) {
        for (auto& each : taken.waitingForAnswer) {
            holdForUnlock(std::move(each));
        }
        // Joins the unlock under way, which the other chat asked for: its answer ends this
        // chat's wait too, wherever the chat is shown.
        waitForUnlock();
    }
    if (!taken.toAsk.empty()) {
        held_.release(std::move(taken.toAsk));
        askNextHeldQuestion();
    }
}

void ChatViewModel::keyringAskedAgain() {
    using Problem = ChatState::CredentialProblem;
    askingKeyring.set(false);
    refreshCredentials();
    if (keyringLocked.get() || keyringNotAnswering.get()) {
        // Still held back: each row it refused keeps saying why, with its way on now.
        const auto problem = keyringLocked.get() ? Problem::keyringLocked : notAnsweringProblem();
        for (const auto& each : held_.kept()) {
            showEnded(ChatState::failed(each.question, std::string(heldText(problem)), problem));
        }
        return;
    }
    // The arrival of the credentials may have asked them already (credentialsArrived).
    if (!held_.waiting()) {
        settleHeld(held_.takeKept());
    }
}

void ChatViewModel::askNextHeldQuestion() {
    using Problem = ChatState::CredentialProblem;
    if (loadingSessions.get()) {
        // Asked once the saved chats are in (finishLoading).
        return;
    }
    while (!isSending()) {
        const auto next = held_.next();
        if (!next) {
            return;
        }
        if (next->account != currentAccount()) {
            tellNotAsked({*next});
            continue;
        }
        const Asked asked = askAgain(next->question, next->sessionID, next->order);
        if (asked.running) {
            // The next waits for this one to end (endTurn).
            held_.running(*asked.running);
            return;
        }
        if (heldText(asked.heldBack).empty()) {
            continue;
        }
        // The keyring held it back at once: the rest are held alike, each asked once it answers.
        for (auto& rest : held_.takeRest()) {
            if (asked.heldBack == Problem::keyringUnlocking) {
                holdForUnlock(std::move(rest));
            } else {
                showEnded(ChatState::failed(rest.question, std::string(heldText(asked.heldBack)),
                                            asked.heldBack));
                held_.keep({std::move(rest)});
            }
        }
    }
}

ChatViewModel::Asked ChatViewModel::askAgain(const ChatMessage& question,
                                             const std::string& sessionID, std::uint64_t order) {
    if (state.get().showsQuestion(question.id)) {
        state.set(ChatState::idle());
    }
    endedTurns_.erase(question.id);
    const auto index = sessionIndex(sessionID);
    if (!index) {
        // Its chat moved to the main window meanwhile: it is asked there.
        if (auto receiver = handoffReceiver(sessionID)) {
            receiver->askAgain(question, sessionID, order);
            return {};
        }
        logger_.info("held_question_dropped", {{"session_id", sessionID}});
        return {};
    }
    // The stopped question leaves its chat, where it is asked again.
    ChatSession session = *sessions.get()[*index];
    const auto before = session.messages.size();
    std::erase_if(session.messages,
                  [&](const ChatMessage& message) { return message.id == question.id; });
    if (session.messages.size() != before) {
        session.messageCount = static_cast<std::int64_t>(session.messages.size());
        replaceSession(*index, std::move(session));
        persist();
    }
    return ask(question.text, sessionID, order);
}

}  // namespace vask
