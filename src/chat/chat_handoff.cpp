// Moving a popover chat to the main window, at once or when its running turn has ended.
#include "chat/chat_view_model.h"

namespace vask {

void ChatViewModel::handOffCurrentSession(const std::shared_ptr<ChatViewModel>& receiver) {
    if (!receiver) {
        return;
    }
    if (state.get().isSending()) {
        deferHandoff(currentSessionID.get(), receiver);
        return;
    }
    const auto* current = currentSession();
    if (!current || current->messages.empty()) {
        return;
    }
    completeHandoff(currentSessionID.get(), receiver);
}

void ChatViewModel::deferHandoff(const std::string& sessionID,
                                 const std::shared_ptr<ChatViewModel>& receiver) {
    pendingHandoffSessionID_ = sessionID;
    pendingHandoffReceiver_ = receiver;
    logger_.info("session_handoff_deferred", {{"session_id", sessionID}});
}

void ChatViewModel::completeHandoff(const std::string& sessionID,
                                    const std::shared_ptr<ChatViewModel>& receiver) {
    const auto index = sessionIndex(sessionID);
    if (!index) {
        return;
    }
    SessionList list = sessions.get();
    const auto moved = list[*index];
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(*index));
    sessions.set(list);
    handoffReceivers_[sessionID] = receiver;
    // The session's failed turns keep what happened to them in the main window too.
    for (const auto& message : moved->messages) {
        if (const auto ended = endedTurns_.find(message.id); ended != endedTurns_.end()) {
            receiver->endedTurns_.insert_or_assign(ended->first, ended->second);
        }
    }
    receiver->adopt(*moved);
    // What it held waits there, and ends with the unlock's answer there.
    receiver->takeHeld(held_.take(sessionID));
    if (currentSessionID.get() == sessionID || sessions.get().empty()) {
        auto fresh = std::make_shared<const ChatSession>(newSession());
        list.push_back(fresh);
        sessions.set(std::move(list));
        // The chat handed over went from the popover's composer: what was typed stays there.
        selectSession(fresh->id, leaving());
        state.set(ChatState::idle());
    }
    logger_.info("session_handed_off", {{"session_id", sessionID}});
}

void ChatViewModel::resolveHandoffAfterTurn(PopoverHandoff::TurnOutcome outcome,
                                            const std::string& originSessionID) {
    if (!pendingHandoffSessionID_ || *pendingHandoffSessionID_ != originSessionID) {
        return;
    }
    auto receiver = pendingHandoffReceiver_.lock();
    pendingHandoffSessionID_.reset();
    pendingHandoffReceiver_.reset();
    if (outcome == PopoverHandoff::TurnOutcome::committed) {
        if (receiver) {
            completeHandoff(originSessionID, receiver);
        }
        return;
    }
    logger_.info("session_handoff_cancelled",
                 {{"session_id", originSessionID},
                  {"outcome", std::string(PopoverHandoff::logName(outcome))}});
}

}  // namespace vask
