// Undo of automatic memory saves, and the bookkeeping that lets turns and deletions overlap.
#include "chat/chat_view_model.h"
#include "foundation/nil_if_empty.h"

namespace vask {

void ChatViewModel::undoAutoSavedMemory(const Uuid& receiptID, const Uuid& messageID,
                                        std::function<void()> done) {
    const auto finish = [&done] {
        if (done) {
            done();
        }
    };
    std::optional<std::string> sessionID;
    std::optional<MemoryReceipt> receipt;
    for (const auto& session : sessions.get()) {
        for (const auto& message : session->messages) {
            if (message.id != messageID) {
                continue;
            }
            sessionID = session->id;
            for (const auto& candidate :
                 message.memoryReceipts.value_or(std::vector<MemoryReceipt>{})) {
                if (candidate.id == receiptID) {
                    receipt = candidate;
                    break;
                }
            }
            break;
        }
        if (sessionID) {
            break;
        }
    }
    if (!sessionID || !receipt || receipt->status != MemoryReceiptStatus::committed ||
        receipt->provenance != MemoryProvenance::inferred) {
        finish();
        return;
    }
    const auto principal =
        deps_.memoryPrincipalProvider ? deps_.memoryPrincipalProvider() : std::nullopt;
    std::weak_ptr<ChatViewModel> weak = weak_from_this();
    deps_.worker.post([weak, committer = memoryCommitter_, &main = deps_.main, receipt = *receipt,
                       principal, receiptID, messageID, sessionID = *sessionID,
                       done = std::move(done)]() mutable {
        const bool undone = committer->undoAutoSave(receipt, principal, principal);
        main.post([weak, undone, receiptID, messageID, sessionID, done = std::move(done)] {
            if (auto self = weak.lock(); self && undone) {
                self->markMemoryReceiptUndone(receiptID, messageID, sessionID);
            }
            if (done) {
                done();
            }
        });
    });
}

void ChatViewModel::markMemoryReceiptUndone(const Uuid& receiptID, const Uuid& messageID,
                                            const std::string& sessionID) {
    const auto index = sessionIndex(sessionID);
    if (!index) {
        if (auto receiver = handoffReceiver(sessionID)) {
            receiver->markMemoryReceiptUndone(receiptID, messageID, sessionID);
        }
        return;
    }
    ChatSession session = *sessions.get()[*index];
    for (auto& message : session.messages) {
        if (message.id != messageID || !message.memoryReceipts) {
            continue;
        }
        for (auto& receipt : *message.memoryReceipts) {
            if (receipt.id == receiptID) {
                receipt.status = MemoryReceiptStatus::undone;
                replaceSession(*index, std::move(session));
                persist();
                return;
            }
        }
        return;
    }
}

void ChatViewModel::recordInFlightTurn(const Uuid& questionID, const std::string& sessionID) {
    inFlightSessionIDs_[questionID] = sessionID;
}

void ChatViewModel::beginMemoryCommit(const Uuid& questionID) {
    memoryCommitQuestionIDs_.insert(questionID);
}

void ChatViewModel::endMemoryCommit(const Uuid& questionID) {
    memoryCommitQuestionIDs_.erase(questionID);
}

void ChatViewModel::finishInFlightTurn(const Uuid& questionID, const std::string& sessionID) {
    leaveHistoryIndexWait(questionID);
    memoryCommitQuestionIDs_.erase(questionID);
    inFlightSessionIDs_.erase(questionID);
    turnStops_.erase(questionID);
    runningTurns_.erase(questionID);
    bool otherCommitPending = false;
    bool turnRunning = false;
    for (const auto& [otherID, otherSession] : inFlightSessionIDs_) {
        if (otherSession == sessionID) {
            turnRunning = true;
            otherCommitPending = otherCommitPending || memoryCommitQuestionIDs_.contains(otherID);
        }
    }
    if (!otherCommitPending && deletionsWaitingForMemoryCommit_.contains(sessionID)) {
        deleteSession(sessionID);
    }
    if (!turnRunning) {
        deletedInFlightSessionIDs_.erase(sessionID);
    }
}

void ChatViewModel::discardDeletedInFlightTurn(const ChatMessage& question,
                                               const std::string& sessionID) {
    if (state.get().showsQuestion(question.id)) {
        state.set(ChatState::idle());
    }
    lastError.set(persistentError_);
    resolveHandoffAfterTurn(PopoverHandoff::TurnOutcome::failed, sessionID);
    logger_.info("deleted_session_late_turn_discarded", {{"session_id", sessionID}});
}

void ChatViewModel::simulateOutOfCredit() {
    ChatMessage question;
    question.id = Uuid::random();
    question.role = ChatRole::user;
    question.text = "What did Sam recommend for dinner last week?";
    question.timestamp = deps_.clock.now();
    persistUnansweredQuestion(question, std::nullopt, currentSessionID.get());
    const AuthMode mode = deps_.authModeProvider ? deps_.authModeProvider() : AuthMode::none();
    const auto* managed = mode.asManaged();
    const AuthType authType =
        managed && nilIfEmpty(managed->customerToken) ? AuthType::customerToken : AuthType::apiKey;
    state.set(ChatState::usageLimitReached(std::move(question), authType, std::nullopt));
}

}  // namespace vask
