// The list of sessions and the current one: new, switch, rename, delete and adopt.
#include <algorithm>
#include <utility>

#include "chat/chat_view_model.h"
#include "platform/text.h"

namespace vask {

ChatSession ChatViewModel::newSession() const {
    ChatSession session;
    session.id = Uuid::random().uppercaseString();
    session.createdAt = deps_.clock.now();
    session.lastMessageAt = session.createdAt;
    session.title = std::string(newSessionTitle);
    return session;
}

UnsentDrafts::Left ChatViewModel::leaving() const {
    return sessionIndex(currentSessionID.get()) ? UnsentDrafts::Left::kept
                                                : UnsentDrafts::Left::wentFromComposer;
}

void ChatViewModel::selectSession(const std::string& id, UnsentDrafts::Left left) {
    const std::string shownBefore = currentSessionID.get();
    if (shownBefore == id) {
        return;
    }
    // What the user typed and did not send stays with the chat it was typed in and comes back
    // with it (see UnsentDrafts).
    std::string typed = drafts_.move(shownBefore, left, inputText.get(), id);
    currentSessionID.set(id);
    inputText.set(std::move(typed));
    executionDisclosure.set(std::nullopt);
    usageDisclosure.set(std::nullopt);
}

bool ChatViewModel::hasTurnRunningIn(const std::string& sessionID) const {
    return std::any_of(inFlightSessionIDs_.begin(), inFlightSessionIDs_.end(),
                       [&](const auto& entry) { return entry.second == sessionID; });
}

void ChatViewModel::replaceSession(std::size_t index, ChatSession session) {
    SessionList list = sessions.get();
    list[index] = std::make_shared<const ChatSession>(std::move(session));
    sessions.set(std::move(list));
}

void ChatViewModel::startNewSession() {
    executionDisclosure.set(std::nullopt);
    usageDisclosure.set(std::nullopt);
    const auto* current = currentSession();
    if (current && current->messages.empty()) {
        state.set(ChatState::idle());
        return;
    }
    if (!deps_.persistsSessions && held_.holds(currentSessionID.get())) {
        // A question of it waits for the keyring: the chat goes where it is kept, and the
        // question is asked there once the keyring answers.
        if (auto keeper = deps_.keeperOfHeldChats ? deps_.keeperOfHeldChats() : nullptr) {
            logger_.info("held_chat_kept", {{"session_id", currentSessionID.get()}});
            completeHandoff(currentSessionID.get(), keeper);
            return;
        }
        logger_.warning("held_question_not_asked", {{"session_id", currentSessionID.get()}});
        lastError.set(std::string(heldQuestionNotAskedText));
    }
    SessionList list = sessions.get();
    if (!deps_.persistsSessions) {
        // The popover keeps no history: the chat it leaves is dropped, with what it held.
        std::erase_if(list, [&](const auto& s) { return s->id == currentSessionID.get(); });
        held_.drop(currentSessionID.get());
    } else if (const auto unasked = std::find_if(list.begin(), list.end(),
                                                 [this](const auto& s) {
                                                     return s->messages.empty() &&
                                                            !hasTurnRunningIn(s->id) &&
                                                            !held_.holds(s->id);
                                                 });
               unasked != list.end()) {
        // A chat never asked in is still there (left for another, or for a question asked in a
        // chat of its own, with what the user typed in it): it is the new chat.
        selectSession((*unasked)->id, UnsentDrafts::Left::kept);
        state.set(ChatState::idle());
        return;
    }
    appendNewSession(std::move(list));
}

void ChatViewModel::appendNewSession(SessionList list) {
    auto session = std::make_shared<const ChatSession>(newSession());
    list.push_back(session);
    sessions.set(std::move(list));
    // The popover's chat left for it may have gone with the list: its text stays in the composer.
    selectSession(session->id, leaving());
    state.set(ChatState::idle());
    logger_.info("session_new_started", {{"session_id", session->id}});
}

void ChatViewModel::switchSession(const std::string& id) {
    if (id == currentSessionID.get() || !sessionIndex(id)) {
        return;
    }
    selectSession(id, UnsentDrafts::Left::kept);
    state.set(ChatState::idle());
    logger_.info("session_switched", {{"session_id", id}});
}

bool ChatViewModel::askInNewSession(const std::string& question) {
    if (state.get().isSending() || loadingSessions.get()) {
        return false;
    }
    const auto* current = currentSession();
    const bool unaskedAndUntyped =
        current && current->messages.empty() && inputText.get().empty();
    if (unaskedAndUntyped || !deps_.persistsSessions) {
        startNewSession();
    } else {
        // Never an unasked chat the user typed in: what they typed stays there, and the
        // question gets a chat beside it.
        appendNewSession(sessions.get());
    }
    ask(question, currentSessionID.get());
    return true;
}

void ChatViewModel::renameSession(const std::string& id, const std::string& title) {
    const std::string trimmed(text::trimmed(title));
    const auto index = sessionIndex(id);
    if (trimmed.empty() || !index) {
        return;
    }
    ChatSession session = *sessions.get()[*index];
    session.title = trimmed;
    session.titleIsUserSet = true;
    replaceSession(*index, std::move(session));
    persist();
    logger_.info("session_renamed", {{"session_id", id}});
}

void ChatViewModel::deleteSession(const std::string& id) {
    const auto index = sessionIndex(id);
    if (!index) {
        return;
    }
    // A question it held for the keyring goes with it, as does what was typed in it.
    held_.drop(id);
    if (currentSessionID.get() != id) {
        drafts_.drop(id);
    }
    const bool turnRunning = hasTurnRunningIn(id);
    bool memoryCommitPending = false;
    for (const auto& questionID : memoryCommitQuestionIDs_) {
        const auto entry = inFlightSessionIDs_.find(questionID);
        memoryCommitPending =
            memoryCommitPending || (entry != inFlightSessionIDs_.end() && entry->second == id);
    }
    if (turnRunning) {
        deletedInFlightSessionIDs_.insert(id);
    }
    if (memoryCommitPending) {
        // Removing it now would lose the memory change the turn is committing; it stays until
        // the turn ends and is already left out of the saved file.
        deletionsWaitingForMemoryCommit_.insert(id);
        persist();
        logger_.info("session_deletion_waiting_for_memory_commit", {{"session_id", id}});
        return;
    }

    SessionList list = sessions.get();
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(*index));
    const bool wasCurrent = currentSessionID.get() == id;
    std::optional<std::string> next;
    if (wasCurrent) {
        if (list.empty()) {
            list.push_back(std::make_shared<const ChatSession>(newSession()));
        }
        next = list[*latestSessionIndex(list)]->id;
    }
    sessions.set(std::move(list));
    if (next) {
        // The chat shown next brings back what was typed in it.
        selectSession(*next, UnsentDrafts::Left::deleted);
        state.set(ChatState::idle());
    }
    deletionsWaitingForMemoryCommit_.erase(id);
    persist();
    logger_.info("session_deleted", {{"session_id", id}});
}

void ChatViewModel::adopt(ChatSession session) {
    executionDisclosure.set(std::nullopt);
    usageDisclosure.set(std::nullopt);
    const std::string id = session.id;
    if (const auto index = sessionIndex(id)) {
        replaceSession(*index, std::move(session));
    } else {
        SessionList list = sessions.get();
        list.push_back(std::make_shared<const ChatSession>(std::move(session)));
        sessions.set(std::move(list));
    }
    if (currentSessionID.get() != id) {
        selectSession(id, leaving());
        state.set(ChatState::idle());
    }
    persist();
    pendingSessionFocus.set(id);
    logger_.info("session_adopted", {{"session_id", id}});
}

}  // namespace vask
