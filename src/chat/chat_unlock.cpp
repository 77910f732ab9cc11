// Questions a keyring held back (locked, or not answering): the unlock and asking it again,
// and each held question asked again in its own chat once the keyring answers.
#include "chat/chat_view_model.h"

#include <algorithm>
#include <map>
#include <set>

#include "foundation/nil_if_empty.h"

namespace vask {
namespace {

// Whether `mode` holds an account, readable or held back by its keyring (as hasCredentials says).
bool holdsAnAccount(const AuthMode& mode) {
    if (const auto* key = mode.asAPIKey()) {
        return nilIfEmpty(key->key).has_value();
    }
    if (const auto* managed = mode.asManaged()) {
        return nilIfEmpty(managed->customerToken).has_value();
    }
    return mode.isHeldBackByKeyring();
}

}  // namespace

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
        keepRefused(question, sessionID, order, currentAccount());
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
    const bool held = !heldText(problem).empty();
    // What the press does follows the keyring as it is now, whatever it was when the row was
    // drawn: a keyring found locked since it was last asked is unlocked.
    if (keyringNotAnswering.get() || (!keyringLocked.get() && asksAgain(problem))) {
        if (!deps_.askKeyringAgain) {
            return;
        }
        // The question the keyring stopped goes on in its own chat, whatever is shown then, with
        // every other it refused.
        if (held) {
            keepRefused(failed->question, currentSessionID.get(), 0, currentAccount());
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
    if (held) {
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

ChatState::CredentialProblem ChatViewModel::keyringProblem() const {
    return keyringLocked.get()         ? ChatState::CredentialProblem::keyringLocked
           : keyringNotAnswering.get() ? notAnsweringProblem()
                                       : ChatState::CredentialProblem::none;
}

void ChatViewModel::holdForUnlock(const ChatMessage& question, const std::string& sessionID,
                                  std::uint64_t order) {
    holdForUnlock({question, sessionID, currentAccount(), order});
}

void ChatViewModel::keepRefused(const ChatMessage& question, const std::string& sessionID,
                                std::uint64_t order, std::uint64_t account) {
    held_.keep({{question, sessionID, account, order}});
    showHeldLast();
}

void ChatViewModel::holdForUnlock(HeldQuestions::Held held) {
    using Problem = ChatState::CredentialProblem;
    keyringLocked.set(true);
    keyringNotAnswering.set(false);
    showEnded(ChatState::failed(held.question, std::string(keyringUnlockingText),
                                Problem::keyringUnlocking));
    held_.hold(std::move(held));
    showHeldLast();
}

void ChatViewModel::showHeldRows(ChatState::CredentialProblem problem) {
    using Problem = ChatState::CredentialProblem;
    for (const auto& each : held_.all()) {
        using Wait = HeldQuestions::Wait;
        const Problem shown = each.wait == Wait::unlock    ? Problem::keyringUnlocking
                              : each.wait == Wait::keyring ? problem
                                                           : Problem::none;
        if (!heldText(shown).empty()) {
            showEnded(ChatState::failed(each.question, std::string(heldText(shown)), shown));
        }
    }
}

void ChatViewModel::waitForUnlock() {
    if (held_.waiting() || !deps_.unlockKeyring) {
        return;
    }
    // What the keyring refused before waits for this one too, saying so.
    held_.startWaiting();
    showHeldRows(ChatState::CredentialProblem::none);
    askingKeyring.set(true);
    std::weak_ptr<ChatViewModel> weak = weak_from_this();
    deps_.unlockKeyring([weak](std::optional<std::string> failure) {
        if (auto self = weak.lock()) {
            self->unlockAnswered(std::move(failure));
        }
    });
}

void ChatViewModel::unlockAnswered(std::optional<std::string> failure) {
    // Whatever the unlock says, the keyring is read again: what it holds now decides.
    refreshCredentials();
    const auto problem = keyringProblem();
    held_.unlockAnswered(problem == ChatState::CredentialProblem::none);
    askingKeyring.set(false);
    if (problem != ChatState::CredentialProblem::none) {
        // Still held back (the prompt cancelled, its daemon gone or hung, or the keyring locked
        // again): every question that waited says why, with its way on as the keyring is now,
        // and stays held for the next unlock or the keyring's own answer.
        showHeldRows(problem);
        if (failure) {
            lastError.set(std::move(failure));
        }
        return;
    }
    settleHeld(held_.letGo());
}

void ChatViewModel::settleHeld(std::vector<HeldQuestions::Held> held) {
    // Signed out meanwhile (or the keyring holds no account): none goes out without one.
    const auto account = currentAccount();
    std::vector<HeldQuestions::Held> gone;
    std::vector<HeldQuestions::Held> toAsk;
    for (auto& each : held) {
        (each.account == account && hasCredentials.get() ? toAsk : gone).push_back(std::move(each));
    }
    tellNotAsked(gone, !hasCredentials.get());
    // Each is asked again in turn; until then its row waits without a note.
    for (const auto& each : toAsk) {
        endedTurns_.erase(each.question.id);
    }
    held_.release(std::move(toAsk));
    askNextHeldQuestion();
}

void ChatViewModel::tellNotAsked(const std::vector<HeldQuestions::Held>& gone, bool signedOut) {
    using Problem = ChatState::CredentialProblem;
    for (const auto& each : gone) {
        logger_.info("held_question_not_asked_account_changed", {{"session_id", each.sessionID}});
        showEnded(ChatState::failed(
            each.question,
            std::string(signedOut ? heldQuestionSignedOutText : heldQuestionOtherAccountText),
            signedOut ? Problem::signedOut : Problem::none));
        // Said once: a later start does not take it up again.
        markHeld(each.sessionID, {each.question.id}, false);
    }
}

void ChatViewModel::followKeyring() {
    const AuthMode mode = deps_.authModeProvider ? deps_.authModeProvider() : AuthMode::none();
    const bool known = !deps_.authModeKnown || deps_.authModeKnown();
    const auto problem = known ? heldBack(mode) : ChatState::CredentialProblem::none;
    // Every row first, as the keyring and the account are now: a view redrawn for the flags
    // published below finds each as it is.
    if (problem != ChatState::CredentialProblem::none) {
        showHeldRows(problem);
    }
    // Signed out or in since they were asked: never asked, and said so.
    tellNotAsked(held_.takeOtherAccounts(currentAccount()), !holdsAnAccount(mode));
    refreshCredentials();
    endCredentialWaitsOfAccountsGone();
    if (known && problem == ChatState::CredentialProblem::none) {
        // Open (unlocked by any client, or answering again), whatever else waits: every
        // question held is asked, or told why not.
        settleHeld(held_.letGo());
    }
    showHeldLast();
}

void ChatViewModel::credentialsArrived() {
    followKeyring();
}

void ChatViewModel::showHeldLast() {
    // The chat shown with its last question held says so once, in its state, with no keyring
    // row of its own beneath.
    const auto* shown = currentSession();
    if (shown == nullptr || shown->messages.empty() || isSending()) {
        return;
    }
    const auto& last = shown->messages.back();
    if (std::ranges::any_of(held_.all(), [&](const HeldQuestions::Held& each) {
            return each.question.id == last.id;
        })) {
        if (const auto* ended = endedTurn(last.id)) {
            state.set(*ended);
        }
    }
}

void ChatViewModel::takeHeld(std::vector<HeldQuestions::Held> taken) {
    const bool joins = std::ranges::any_of(taken, [](const HeldQuestions::Held& each) {
        return each.wait == HeldQuestions::Wait::unlock;
    });
    held_.put(std::move(taken));
    if (held_.waiting()) {
        // This chat's unlock is under way: what the other chat's keyring refused waits for it.
        held_.startWaiting();
        showHeldRows(ChatState::CredentialProblem::none);
    } else if (joins) {
        // Joins the unlock under way, which the other chat asked for: its answer ends this
        // chat's wait too, wherever the chat is shown.
        waitForUnlock();
    }
    askNextHeldQuestion();
    // The keyring may have opened before they came; the chat shown says its last question is
    // held, as the popover did.
    followKeyring();
}

void ChatViewModel::keyringAskedAgain() {
    askingKeyring.set(false);
    // Still held back, each row it refused says why, with its way on now; else each is asked.
    followKeyring();
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
            tellNotAsked({*next}, !hasCredentials.get());
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

void ChatViewModel::markHeld(const std::string& sessionID, const std::set<Uuid>& questionIDs,
                             bool held) {
    const auto index = sessionIndex(sessionID);
    if (!index) {
        if (auto receiver = handoffReceiver(sessionID)) {
            receiver->markHeld(sessionID, questionIDs, held);
        }
        return;
    }
    ChatSession session = *sessions.get()[*index];
    bool changed = false;
    for (auto& message : session.messages) {
        if (questionIDs.contains(message.id) && message.heldForKeyring.value_or(false) != held) {
            message.heldForKeyring = held ? std::optional(true) : std::nullopt;
            changed = true;
        }
    }
    if (!changed) {
        return;
    }
    replaceSession(*index, session);
    if (deps_.persistsSessions) {
        persist();
        return;
    }
    // The popover keeps no chat: the one that holds them is kept where chats are saved.
    auto keeper = deps_.keeperOfHeldChats ? deps_.keeperOfHeldChats() : nullptr;
    if (held && keeper) {
        logger_.info("held_chat_kept_at_quit", {{"session_id", sessionID}});
        keeper->keepSession(std::move(session));
    }
}

void ChatViewModel::keepSession(ChatSession session) {
    if (const auto index = sessionIndex(session.id)) {
        replaceSession(*index, std::move(session));
    } else {
        SessionList list = sessions.get();
        list.push_back(std::make_shared<const ChatSession>(std::move(session)));
        sessions.set(std::move(list));
    }
    persist();
}

void ChatViewModel::keepHeldForNextStart() {
    // Those of the account still signed in are saved marked in their chats: the next start asks
    // them once the keyring opens, or says they were not asked. Nothing more is asked now.
    const auto account = currentAccount();
    std::map<std::string, std::set<Uuid>> marked;
    for (const auto& each : held_.all()) {
        if (each.account == account) {
            marked[each.sessionID].insert(each.question.id);
        }
    }
    held_.clear();
    for (const auto& [sessionID, questionIDs] : marked) {
        logger_.info("held_questions_kept_for_next_start",
                     {{"session_id", sessionID}, {"count", std::to_string(questionIDs.size())}});
        markHeld(sessionID, questionIDs, true);
    }
}

void ChatViewModel::restoreHeldQuestions() {
    std::vector<HeldQuestions::Held> saved;
    for (const auto& session : sessions.get()) {
        for (const auto& message : session->messages) {
            if (message.heldForKeyring.value_or(false)) {
                saved.push_back({message, session->id, HeldQuestions::startAccount, 0});
            }
        }
    }
    if (saved.empty()) {
        return;
    }
    // In the order they were asked, before any asked from now on.
    std::ranges::stable_sort(saved, [](const auto& a, const auto& b) {
        return a.question.timestamp < b.question.timestamp;
    });
    for (auto& each : saved) {
        each.order = HeldQuestions::nextOrder();
    }
    logger_.info("held_questions_restored", {{"count", std::to_string(saved.size())}});
    held_.keep(std::move(saved));
    // Asked once the keyring opens; signed out or in since this run began, said not asked.
    followKeyring();
}

}  // namespace vask
