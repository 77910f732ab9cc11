// The list of sessions and the current one: new, switch, rename, delete and adopt.
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

void ChatViewModel::selectSession(const std::string& id) {
    if (currentSessionID.get() == id) {
        return;
    }
    currentSessionID.set(id);
    executionDisclosure.set(std::nullopt);
    usageDisclosure.set(std::nullopt);
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
    }
    auto session = std::make_shared<const ChatSession>(newSession());
    list.push_back(session);
    sessions.set(std::move(list));
    selectSession(session->id);
    state.set(ChatState::idle());
    logger_.info("session_new_started", {{"session_id", session->id}});
}

void ChatViewModel::switchSession(const std::string& id) {
    if (id == currentSessionID.get() || !sessionIndex(id)) {
        return;
    }
    selectSession(id);
    state.set(ChatState::idle());
    logger_.info("session_switched", {{"session_id", id}});
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
    // A question it held for the keyring goes with it.
    held_.drop(id);
    bool turnRunning = false;
    for (const auto& [questionID, sessionID] : inFlightSessionIDs_) {
        turnRunning = turnRunning || sessionID == id;
    }
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
        selectSession(*next);
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
        selectSession(id);
        state.set(ChatState::idle());
    }
    persist();
    pendingSessionFocus.set(id);
    logger_.info("session_adopted", {{"session_id", id}});
}

}  // namespace vask
