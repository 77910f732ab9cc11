// A question asked while the history's full-text index is being built: it waits on the main
// executor, its turn running but nothing of it on the worker, until the synchronisation reports
// the index whole, the synchronisation fails, its chat is deleted, the account changes, or it is
// stopped.
#include "chat/chat_view_model.h"

namespace vask {

namespace {

std::string_view endingName(HistoryIndexWait::Ending ending) {
    switch (ending) {
        case HistoryIndexWait::Ending::indexWhole:
            return "index_whole";
        case HistoryIndexWait::Ending::syncFailed:
            return "sync_failed";
        case HistoryIndexWait::Ending::chatDeleted:
            return "chat_deleted";
        case HistoryIndexWait::Ending::accountChanged:
            return "account_changed";
    }
    return "unknown";
}

}  // namespace

std::string ChatViewModel::historyIndexFailedText(std::string_view why) {
    return "Your messages could not be indexed, so this question was not asked: " +
           std::string(why);
}

bool ChatViewModel::parkedForHistoryIndex(HistoryIndexWait::Waiting waiting) {
    if (!deps_.historyIndex || !HistoryIndexWait::holdsBack(deps_.historyIndex->state())) {
        return false;
    }
    const Uuid questionID = waiting.question.id;
    logger_.info("history_index_wait_started", {{"session_id", waiting.sessionID}});
    indexWait_.park(std::move(waiting));
    if (state.get().showsQuestion(questionID) && state.get().asSending() != nullptr) {
        state.update([](ChatState& current) {
            current.asSending()->progress = std::string(indexingHistoryText);
        });
    }
    if (!indexWaitWatches_.isActive()) {
        const auto settle = [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->settleHistoryIndexWaitSoon();
            }
        };
        auto watches = std::make_shared<std::vector<Subscription>>();
        watches->push_back(deps_.historyIndex->observe(settle));
        // A sign-out or a sign-in ends the wait when it happens, not when the index is whole.
        if (deps_.observeCredentials) {
            watches->push_back(deps_.observeCredentials(settle));
        }
        // A deletion of its chat.
        watches->push_back(
            sessions.subscribe([settle](const SessionList&) { settle(); }, Delivery::changesOnly));
        indexWaitWatches_ = Subscription([watches] { watches->clear(); });
    }
    // A failure already reported ends it at once, once the question is on its way (the caller
    // may note its turn as running first).
    settleHistoryIndexWaitSoon();
    return true;
}

void ChatViewModel::settleHistoryIndexWaitSoon() {
    // Posted rather than run: the change may come from inside a deletion or a delivery that has
    // more to do.
    if (indexWaitSettlePosted_) {
        return;
    }
    indexWaitSettlePosted_ = true;
    deps_.main.post([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->indexWaitSettlePosted_ = false;
            self->settleHistoryIndexWait();
        }
    });
}

void ChatViewModel::settleHistoryIndexWait() {
    if (indexWait_.empty()) {
        indexWaitWatches_.cancel();
        return;
    }
    const HistoryIndexState index = deps_.historyIndex->state();
    const auto ended = indexWait_.settle({
        .index = index,
        .account = currentAccount(),
        .chatDeleted =
            [this](const HistoryIndexWait::Waiting& waiting) {
                return isDeletedInFlight(waiting.sessionID);
            },
    });
    for (const auto& each : ended) {
        endHistoryIndexWait(each, index);
    }
    if (indexWait_.empty()) {
        indexWaitWatches_.cancel();
    }
}

void ChatViewModel::endHistoryIndexWait(const HistoryIndexWait::Ended& ended,
                                        const HistoryIndexState& index) {
    using Ending = HistoryIndexWait::Ending;
    const auto found = runningTurns_.find(ended.waiting.question.id);
    if (found == runningTurns_.end()) {
        return;
    }
    const std::shared_ptr<Turn> turn = found->second;
    const ChatMessage& question = ended.waiting.question;
    const std::string& sessionID = ended.waiting.sessionID;
    logger_.info("history_index_wait_ended",
                 {{"session_id", sessionID}, {"ending", std::string(endingName(ended.ending))}});
    switch (ended.ending) {
        case Ending::indexWhole:
            startTurn(turn);
            return;
        case Ending::chatDeleted:
            discardDeletedInFlightTurn(question, sessionID);
            endTurn(turn);
            return;
        case Ending::syncFailed: {
            const std::string text = historyIndexFailedText(index.failure);
            persistUnansweredQuestion(question, std::nullopt, sessionID);
            showEnded(ChatState::failed(question, text));
            lastError.set(text);
            break;
        }
        case Ending::accountChanged: {
            // Not asked under another account, nor without one: as a question held for the
            // keyring.
            refreshCredentials();
            const bool signedOut = !hasCredentials.get();
            persistUnansweredQuestion(question, std::nullopt, sessionID);
            showEnded(ChatState::failed(
                question,
                std::string(signedOut ? indexWaitSignedOutText : indexWaitOtherAccountText),
                signedOut ? ChatState::CredentialProblem::signedOut
                          : ChatState::CredentialProblem::none));
            break;
        }
    }
    resolveHandoffAfterTurn(PopoverHandoff::TurnOutcome::failed, sessionID);
    endTurn(turn);
}

void ChatViewModel::leaveHistoryIndexWait(const Uuid& questionID) {
    indexWait_.leave(questionID);
    if (indexWait_.empty()) {
        indexWaitWatches_.cancel();
    }
}

}  // namespace vask
