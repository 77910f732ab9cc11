// One question, from the composer to a committed answer or a stored failure.
#include "chat/chat_view_model.h"

#include <atomic>

#include "engine/cancellation_error.h"
#include "engine/rlm_helper_error.h"
#include "foundation/app_environment.h"
#include "foundation/nil_if_empty.h"
#include "memory/memory_directive_kind.h"
#include "platform/text.h"
#include "records/citation_service.h"
#include "relay/model_routing_policy.h"
#include "relay/preset_selection.h"

namespace vask {

namespace {

constexpr std::string_view memoryRequestAnswer = "Here\u2019s the result of your memory request.";
constexpr std::string_view extractionFailedAnswer =
    "I couldn't complete this answer or summarize the partial work. Try asking again, or narrow "
    "the question.";
constexpr std::string_view presetResetSuffix =
    " \u2014 Response quality was reset to your plan's default; please ask again.";

RLMCredentials credentialsFor(const AuthMode& mode) {
    RLMCredentials credentials;
    if (const auto* key = mode.asAPIKey()) {
        credentials.apiKey = key->key;
    } else if (const auto* managed = mode.asManaged()) {
        credentials.customerToken = managed->customerToken;
    }
    return credentials;
}

// A question that found the credentials behind a keyring that is locked, or does not answer.
class KeyringHeldError : public Error {
  public:
    explicit KeyringHeldError(ChatState::CredentialProblem problem)
        : Error(std::string(ChatViewModel::heldText(problem))), problem_(problem) {}
    ChatState::CredentialProblem problem() const { return problem_; }

  private:
    ChatState::CredentialProblem problem_;
};

// A question that waited for the credentials while the account it was asked under went (signed
// out, or signed in again): it is not asked.
class AccountGoneError : public Error {
  public:
    AccountGoneError() : Error("The account the question was asked under is gone.") {}
};

bool carriesUsage(RLMHelperError::Case c) {
    using Case = RLMHelperError::Case;
    return c == Case::usageLimitReached || c == Case::unauthorized ||
           c == Case::modelRefusedByTier || c == Case::hostFailure ||
           c == Case::tokenBudgetExhausted || c == Case::iterationLimitReached;
}

}  // namespace

// Everything a turn captured at send; nothing of the model is read again for these values.
struct ChatViewModel::Turn {
    ChatMessage question;
    std::string questionText;
    std::string sessionID;
    RLMCredentials credentials;
    // The credentials were not known at send: the worker waits for them before the run.
    bool awaitsCredentials = false;
    // The account it was asked under (the user's sign-ins and sign-outs noted before it), and
    // that count as it is now (any thread; null: it never changes).
    std::uint64_t account = 0;
    std::function<std::uint64_t()> accountChanges;
    // Its wait for the credentials: still waiting, over (the run goes on with them), or given up
    // on the main executor (the account changed, or a quit). Whichever comes first holds.
    enum CredentialsWait : int { waitingForCredentials, credentialsTaken, credentialsGivenUp };
    std::atomic<int> credentialsWait{waitingForCredentials};
    // On the worker, the credentials in: the run goes on only under the account it was asked
    // under, unless the chat gave it up first.
    void takeCredentials() {
        int expected = waitingForCredentials;
        if (!credentialsWait.compare_exchange_strong(expected, credentialsTaken)) {
            throw CancellationError();
        }
        if (accountChanges && accountChanges() != account) {
            throw AccountGoneError();
        }
    }
    // On the main executor: whether it still waited for the credentials (it never runs now).
    bool giveUpCredentialsWait() {
        int expected = waitingForCredentials;
        return awaitsCredentials &&
               credentialsWait.compare_exchange_strong(expected, credentialsGivenUp);
    }
    // Its place among the questions asked, should the keyring hold it back.
    std::uint64_t order = 0;
    // Set on the worker when a refresh replaced the credentials; read on the main executor
    // only after the run's result was posted there.
    std::optional<RLMCredentials> refreshedCredentials;
    std::shared_ptr<RLMUsageAccumulator> usageAccumulator = std::make_shared<RLMUsageAccumulator>();
    std::shared_ptr<ChatHelperRunner> runner;
    std::optional<MemoryPrincipal> memoryPrincipal;
    std::optional<PresetResolution> preset;
    bool firstAnswer = false;
    RLMTurnAttempt::TurnInputs inputs;
    // Turned into `inputs.conversationSessions` on the worker.
    SessionList sessions;
    std::stop_token stop;
};

void ChatViewModel::send() {
    if (state.get().isSending()) {
        return;
    }
    const std::string questionText(text::trimmed(inputText.get()));
    if (questionText.empty()) {
        return;
    }
    if (loadingSessions.get()) {
        // The question would land in a placeholder session beside history not yet read: the
        // text stays in the composer until the saved chats are in.
        logger_.info("chat_send_refused_while_loading");
        return;
    }
    ask(questionText, currentSessionID.get());
    inputText.set("");
}

ChatViewModel::Asked ChatViewModel::ask(const std::string& questionText,
                                        const std::string& sessionID, std::uint64_t order) {
    if (!helperRunner_ || deps_.shadowDBPath.empty()) {
        failImmediately(questionText, sessionID);
        return {};
    }

    auto turn = std::make_shared<Turn>();
    turn->order = order != 0 ? order : HeldQuestions::nextOrder();
    // Asked before secret storage answered: the turn waits for the credentials on the worker
    // (showing its progress meanwhile) rather than go out without them.
    turn->awaitsCredentials = deps_.authModeKnown && !deps_.authModeKnown();
    turn->account = currentAccount();
    turn->accountChanges = deps_.accountChanges;
    const AuthMode mode = deps_.authModeProvider ? deps_.authModeProvider() : AuthMode::none();
    if (const auto problem =
            holdBack(questionText, sessionID, mode, !turn->awaitsCredentials, turn->order);
        problem != ChatState::CredentialProblem::none) {
        return {.running = std::nullopt, .heldBack = problem};
    }
    if (!turn->awaitsCredentials) {
        turn->credentials = credentialsFor(mode);
    }
    if (presentAndNotBlank(turn->credentials.customerToken) && deps_.tierSnapshotRefreshed &&
        !*deps_.tierSnapshotRefreshed) {
        *deps_.tierSnapshotRefreshed = true;
        refreshTierSnapshotOnFirstManagedAsk(*nilIfEmpty(*turn->credentials.customerToken));
    }
    // Asked in a chat not shown (a question an unlock held, asked once it answered): it runs
    // there, and the chat shown keeps what it shows.
    const bool shown = sessionID == currentSessionID.get();
    if (shown) {
        lastError.set(persistentError_);
    }

    turn->question.id = Uuid::random();
    turn->question.role = ChatRole::user;
    turn->question.text = questionText;
    turn->question.timestamp = deps_.clock.now();
    turn->questionText = questionText;

    // The session stays alive through this pointer: its messages are not copied.
    const auto index = sessionIndex(sessionID);
    const std::shared_ptr<const ChatSession> session = index ? sessions.get()[*index] : nullptr;
    static const std::vector<ChatMessage> noMessages;
    const std::vector<ChatMessage>& messages = session ? session->messages : noMessages;
    auto& inputs = turn->inputs;
    inputs.credentials = turn->credentials;
    inputs.question = questionText;
    // Only this history's counts are kept: the next question of the chat finds them, and those
    // of messages gone from every history (a dropped chat's, older ones) go.
    std::map<Uuid, std::size_t> counted;
    inputs.conversation = recentConversationHistory(
        messages, static_cast<std::ptrdiff_t>(historyMaxMessages),
        static_cast<std::ptrdiff_t>(historyMaxCharacters),
        [this, &counted](const ChatMessage& message) {
            std::size_t length = 0;
            if (const auto kept = historyCharacterCounts_.find(message.id);
                kept != historyCharacterCounts_.end()) {
                length = kept->second;
            } else {
                length = historyCharacterCount(message.text, historyMaxCharacters);
                ++historyCountsMade_;
            }
            counted.emplace(message.id, length);
            return length;
        });
    historyCharacterCounts_ = std::move(counted);
    turn->sessions = sessions.get();
    if (deps_.sessionStore) {
        inputs.sessionDbPath = deps_.sessionStore->databaseURL().string();
    }
    for (const auto& message : messages) {
        inputs.artifacts.insert(inputs.artifacts.end(), message.artifacts.begin(),
                                message.artifacts.end());
    }
    inputs.artifactManifests = sessionArtifactManifests(messages);
    turn->firstAnswer = std::none_of(messages.begin(), messages.end(), [](const ChatMessage& m) {
        return m.role == ChatRole::assistant;
    });
    turn->sessionID = sessionID;
    inputs.activeSessionID = turn->sessionID;
    turn->preset = deps_.presets.current().chatResolution();
    turn->memoryPrincipal =
        deps_.memoryPrincipalProvider ? deps_.memoryPrincipalProvider() : std::nullopt;
    inputs.memoryPrincipal = turn->memoryPrincipal;
    inputs.managedPolicy = presentAndNotBlank(turn->credentials.customerToken) && turn->preset
                               ? ModelRoutingPolicy::managedPreset(*turn->preset)
                               : ModelRoutingPolicy::production();
    inputs.fileAccessEnabled =
        deps_.defaults.boolValue(AppEnvironment::instanceScopedKey("fileAccessEnabled"))
            .valueOr(false);
    inputs.dbPath = deps_.shadowDBPath;
    inputs.contactsDbPath = contactsDBPath_;
    inputs.memoryDbPath = deps_.memoryDBPath;
    inputs.memoryStore = deps_.memoryStore;
    turn->runner = helperRunner_;

    const Uuid questionID = turn->question.id;
    recordInFlightTurn(questionID, turn->sessionID);
    turn->stop = turnStops_[questionID].get_token();
    runningTurns_[questionID] = turn;
    if (shown) {
        startExecutionDisclosure(questionID, turn->sessionID);
        state.set(ChatState::sending(turn->question, "Preparing...", std::nullopt));
    }
    const bool credentialsPresent = presentAndNotBlank(turn->credentials.apiKey) ||
                                    presentAndNotBlank(turn->credentials.customerToken);
    logger_.info("chat_send_started",
                 {{"has_question", "true"},
                  {"auth_type", std::string(rawValue(HostRequest::authTypeFor(turn->credentials)))},
                  {"has_credentials", credentialsPresent ? "true" : "false"}});
    // Asked while the history's full-text index is being built: it waits here, no thread held.
    if (!parkedForHistoryIndex({turn->question, turn->sessionID, currentAccount()})) {
        startTurn(std::move(turn));
    }
    return {.running = questionID};
}

void ChatViewModel::failImmediately(const std::string& questionText, const std::string& sessionID) {
    failImmediately(questionText, sessionID,
                    persistentError_.value_or(
                        RLMHelperError::plain(RLMHelperError::Case::missingHelperCommand).what()));
}

ChatMessage ChatViewModel::failImmediately(const std::string& questionText,
                                           const std::string& sessionID, const std::string& text,
                                           ChatState::CredentialProblem problem) {
    ChatMessage question;
    question.id = Uuid::random();
    question.role = ChatRole::user;
    question.text = questionText;
    question.timestamp = deps_.clock.now();
    persistUnansweredQuestion(question, std::nullopt, sessionID);
    if (sessionID == currentSessionID.get()) {
        state.set(ChatState::failed(question, text, problem));
        lastError.set(text);
    } else {
        endedTurns_.insert_or_assign(question.id, ChatState::failed(question, text, problem));
    }
    return question;
}

void ChatViewModel::startTurn(std::shared_ptr<Turn> turn) {
    std::weak_ptr<ChatViewModel> weak = weak_from_this();
    deps_.worker.post([weak, turn = std::move(turn), &main = deps_.main,
                       authModeProvider = deps_.authModeProvider,
                       refreshForRetry = deps_.refreshForRetry] {
        const Uuid questionID = turn->question.id;
        const std::string sessionID = turn->sessionID;
        // Streamed events reach the main executor in batches: one publish per batch.
        const auto stream =
            TurnStream::make(main, [weak, questionID, sessionID](TurnStream::Batch batch) {
                if (auto self = weak.lock()) {
                    self->applyStream(questionID, sessionID, std::move(batch));
                }
            });
        RLMHelperRunner::RunCallbacks callbacks;
        callbacks.onProgress = [stream](const std::string& status) {
            stream->progress(friendlyProgress(status));
        };
        callbacks.onReasoning = [stream](const std::string& piece) { stream->reasoning(piece); };
        callbacks.onExecutionEvent = [stream](const ZendrelExecutionEvent& event) {
            stream->event(event);
        };
        callbacks.onUsageProgress =
            [stream, accumulator = turn->usageAccumulator](const RLMUsageSnapshot& snapshot) {
                stream->usage(accumulator->record(snapshot));
            };
        const RLMTurnRetry::Refresh refresh =
            [turn, authModeProvider, refreshForRetry](
                const std::optional<std::string>& failedToken) -> std::optional<RLMCredentials> {
            if (!refreshForRetry || !refreshForRetry(failedToken)) {
                return std::nullopt;
            }
            turn->refreshedCredentials =
                credentialsFor(authModeProvider ? authModeProvider() : AuthMode::none());
            return turn->refreshedCredentials;
        };

        stream->progress("Preparing\u2026");
        try {
            if (turn->awaitsCredentials) {
                // On the worker the provider waits until secret storage answers (its own
                // limits bound that), so the question carries what storage holds.
                const AuthMode mode = authModeProvider ? authModeProvider() : AuthMode::none();
                turn->takeCredentials();
                if (const auto problem = ChatViewModel::heldBack(mode);
                    problem != ChatState::CredentialProblem::none) {
                    throw KeyringHeldError(problem);
                }
                turn->credentials = credentialsFor(mode);
                turn->inputs.credentials = turn->credentials;
            }
        } catch (...) {
            main.post([weak, turn, error = std::current_exception()] {
                if (auto self = weak.lock()) {
                    self->handleFailure(turn, error);
                }
            });
            return;
        }
        RLMTurnAttempt::TurnInputs inputs = turn->inputs;
        inputs.conversationSessions.reserve(turn->sessions.size());
        for (const auto& session : turn->sessions) {
            inputs.conversationSessions.push_back(*session);
        }
        try {
            auto result = turn->runner->runTurn(std::move(inputs), refresh, *turn->usageAccumulator,
                                                callbacks, turn->stop);
            main.post([weak, turn, result = std::move(result)]() mutable {
                if (auto self = weak.lock()) {
                    self->handleSuccess(turn, std::move(result));
                }
            });
        } catch (...) {
            main.post([weak, turn, error = std::current_exception()] {
                if (auto self = weak.lock()) {
                    self->handleFailure(turn, error);
                }
            });
        }
    });
}

void ChatViewModel::applyStream(const Uuid& questionID, const std::string& sessionID,
                                TurnStream::Batch batch) {
    auto* sending = state.get().asSending();
    if (sending && sending->question.id == questionID &&
        (batch.progress || !batch.reasoning.empty())) {
        // In place: the reasoning grows by appending, never by copying what came before.
        state.update([&batch](ChatState& current) {
            auto& turn = *current.asSending();
            if (batch.progress) {
                turn.progress = std::move(batch.progress);
            }
            if (!batch.reasoning.empty()) {
                if (!turn.reasoning) {
                    turn.reasoning.emplace();
                }
                turn.reasoning->append(batch.reasoning);
            }
        });
    }
    receiveExecutionEvents(batch.events, questionID, sessionID);
    if (batch.usage) {
        receiveTokenUsage(*batch.usage, questionID, sessionID);
    }
}

void ChatViewModel::handleSuccess(const std::shared_ptr<Turn>& turn, RLMHelperResult result) {
    if (!isStillRunning(turn)) {
        return;
    }
    if (isDeletedInFlight(turn->sessionID)) {
        discardDeletedInFlightTurn(turn->question, turn->sessionID);
        endTurn(turn);
        return;
    }
    std::string displayText = result.answer;
    bool extracted = result.extracted;
    if (result.extractFailed) {
        displayText = std::string(extractionFailedAnswer);
        extracted = false;
    }
    beginMemoryCommit(turn->question.id);
    const auto authorizedPrincipal =
        deps_.memoryPrincipalProvider ? deps_.memoryPrincipalProvider() : std::nullopt;
    const bool authoritative = !result.extracted && !result.extractFailed;
    const Uuid answerID = Uuid::random();
    std::weak_ptr<ChatViewModel> weak = weak_from_this();
    // The artifact candidates are judged against the databases here too, off the main executor.
    deps_.worker.post(
        [weak, turn, committer = memoryCommitter_, &main = deps_.main, authorizedPrincipal,
         authoritative, result = std::move(result), displayText = std::move(displayText), extracted,
         answerID, existing = storedArtifacts(turn->sessionID), shadowDBPath = deps_.shadowDBPath,
         contactsDBPath = contactsDBPath_]() mutable {
            auto receipts =
                committer->apply(result.answerMetadata, turn->questionText, turn->memoryPrincipal,
                                 authorizedPrincipal, authoritative);
            auto validated = validateArtifacts(result.artifactCandidates, answerID, existing,
                                               shadowDBPath, contactsDBPath);
            main.post([weak, turn, result = std::move(result), displayText = std::move(displayText),
                       extracted, receipts = std::move(receipts), answerID,
                       validated = std::move(validated)]() mutable {
                if (auto self = weak.lock()) {
                    self->finishSuccess(turn, std::move(result), std::move(displayText), extracted,
                                        std::move(receipts), answerID, std::move(validated));
                }
            });
        });
}

void ChatViewModel::finishSuccess(const std::shared_ptr<Turn>& turn, RLMHelperResult result,
                                  std::string displayText, bool extracted,
                                  std::vector<MemoryReceipt> receipts, const Uuid& answerID,
                                  SessionArtifactValidationResult validated) {
    if (!isStillRunning(turn)) {
        return;
    }
    endMemoryCommit(turn->question.id);
    // The fixed text stands in for the helper's answer only when memory was actually changed;
    // a question that merely reads like a directive keeps the helper's own answer.
    if (!receipts.empty() && memory_directive::classify(turn->questionText)) {
        displayText = std::string(memoryRequestAnswer);
        extracted = false;
    }
    std::optional<std::vector<MemoryReceipt>> memoryReceipts;
    if (!receipts.empty()) {
        memoryReceipts = std::move(receipts);
    }
    auto usage = turn->usageAccumulator->settled(result.rootUsage, result.subcallUsage);
    commitValidatedTurn(turn->question, answerID, displayText, extracted, std::move(memoryReceipts),
                        std::move(validated), usage, turn->sessionID);

    bool commitStillPending = false;
    for (const auto& questionID : memoryCommitQuestionIDs_) {
        const auto entry = inFlightSessionIDs_.find(questionID);
        commitStillPending = commitStillPending || (entry != inFlightSessionIDs_.end() &&
                                                    entry->second == turn->sessionID);
    }
    if (!commitStillPending && isWaitingForMemoryCommit(turn->sessionID)) {
        deleteSession(turn->sessionID);
    }
    if (state.get().showsQuestion(turn->question.id)) {
        state.set(ChatState::idle());
    }
    if (!result.extractFailed) {
        if (result.evidenceRecordsCount >= 1 && result.evidence.empty()) {
            logger_.warning("answer_evidence_missing",
                            {{"record_count", std::to_string(result.evidenceRecordsCount)},
                             {"extracted", result.extracted ? "true" : "false"}});
        }
        startCitationTask(std::move(result.evidence), answerID, turn->sessionID);
    }
    lastError.set(result.contactsError ? result.contactsError : persistentError_);
    if (turn->firstAnswer && !result.extractFailed) {
        startTitleTask(turn->questionText, result.answer,
                       turn->refreshedCredentials.value_or(turn->credentials), turn->sessionID);
    }
    resolveHandoffAfterTurn(PopoverHandoff::TurnOutcome::committed, turn->sessionID);
    endTurn(turn);
}

void ChatViewModel::handleFailure(const std::shared_ptr<Turn>& turn,
                                  const std::exception_ptr& error) {
    if (!isStillRunning(turn)) {
        return;
    }
    std::string text;
    std::optional<ChatTokenUsage> usage;
    auto problem = ChatState::CredentialProblem::none;
    bool heldForUnlock = false;
    try {
        std::rethrow_exception(error);
    } catch (const RLMHelperError& e) {
        if (e.errorCase() == RLMHelperError::Case::usageLimitReached) {
            if (isDeletedInFlight(turn->sessionID)) {
                discardDeletedInFlightTurn(turn->question, turn->sessionID);
                endTurn(turn);
                return;
            }
            usage = turn->usageAccumulator->settled(e.usage().rootUsage, e.usage().subcallUsage);
            persistUnansweredQuestion(turn->question, usage, turn->sessionID);
            if (state.get().showsQuestion(turn->question.id)) {
                const AuthType authType = presentAndNotBlank(turn->credentials.customerToken)
                                              ? AuthType::customerToken
                                              : AuthType::apiKey;
                state.set(ChatState::usageLimitReached(turn->question, authType, std::nullopt));
                const AuthMode mode =
                    deps_.authModeProvider ? deps_.authModeProvider() : AuthMode::none();
                if (const auto* managed = mode.asManaged()) {
                    if (const auto token = nilIfEmpty(managed->customerToken)) {
                        fetchAndApplyUsageLimitTier(*token, turn->question.id);
                    }
                }
            }
            lastError.set(persistentError_);
            resolveHandoffAfterTurn(PopoverHandoff::TurnOutcome::usageLimitReached,
                                    turn->sessionID);
            endTurn(turn);
            return;
        }
        text = e.what();
        if (e.errorCase() == RLMHelperError::Case::unauthorized) {
            // Refused credentials expired; a question that carried none was asked signed out.
            const bool carried = presentAndNotBlank(turn->credentials.customerToken) ||
                                 presentAndNotBlank(turn->credentials.apiKey);
            problem = carried ? ChatState::CredentialProblem::sessionExpired
                              : ChatState::CredentialProblem::signedOut;
            if (!carried) {
                text = signedOutText;
                // The chat shows the signed-out notice, with its "Sign In…".
                refreshCredentials();
            }
        }
        if (e.errorCase() == RLMHelperError::Case::modelRefusedByTier &&
            presentAndNotBlank(turn->credentials.customerToken) && turn->preset) {
            deps_.presets.clearStale(turn->preset->preset.code, turn->preset->snapshotID);
            text += presetResetSuffix;
        }
        usage = carriesUsage(e.errorCase())
                    ? turn->usageAccumulator->settled(e.usage().rootUsage, e.usage().subcallUsage)
                    : turn->usageAccumulator->usage();
    } catch (const AccountGoneError&) {
        // Said as for a held question of an account gone: not asked, and why.
        const bool signedOut = !hasCredentials.get();
        text = signedOut ? heldQuestionSignedOutText : heldQuestionOtherAccountText;
        problem = signedOut ? ChatState::CredentialProblem::signedOut
                            : ChatState::CredentialProblem::none;
        logger_.info("credentials_wait_ended_account_changed", {{"session_id", turn->sessionID}});
    } catch (const KeyringHeldError& e) {
        problem = e.problem();
        keyringLocked.set(problem == ChatState::CredentialProblem::keyringLocked);
        keyringNotAnswering.set(asksAgain(problem));
        keyringNotAvailable_ = problem == ChatState::CredentialProblem::keyringNotAvailable;
        text = e.what();
        usage = turn->usageAccumulator->usage();
        // Found locked while an unlock is under way: the question waits for its answer.
        heldForUnlock = problem == ChatState::CredentialProblem::keyringLocked && unlockUnderWay();
    } catch (const std::exception& e) {
        text = e.what();
        usage = turn->usageAccumulator->usage();
    } catch (...) {
        text = "Unknown error";
        usage = turn->usageAccumulator->usage();
    }
    if (isDeletedInFlight(turn->sessionID)) {
        discardDeletedInFlightTurn(turn->question, turn->sessionID);
        endTurn(turn);
        return;
    }
    persistUnansweredQuestion(turn->question, usage, turn->sessionID);
    if (heldForUnlock) {
        holdForUnlock({turn->question, turn->sessionID, turn->account, turn->order});
        waitForUnlock();
        text = keyringUnlockingText;
    } else {
        showEnded(ChatState::failed(turn->question, text, problem));
        if (!heldText(problem).empty()) {
            keepRefused(turn->question, turn->sessionID, turn->order, turn->account);
        }
    }
    lastError.set(text);
    resolveHandoffAfterTurn(PopoverHandoff::TurnOutcome::failed, turn->sessionID);
    endTurn(turn);
}

void ChatViewModel::endTurn(const std::shared_ptr<Turn>& turn) {
    finishInFlightTurn(turn->question.id, turn->sessionID);
    if (deps_.usageChanged) {
        deps_.usageChanged();
    }
    held_.ended(turn->question.id);
    if (held_.hasNext()) {
        // The next question an unlock let go, once this turn's outcome is shown.
        deps_.main.post([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->askNextHeldQuestion();
            }
        });
    }
}

void ChatViewModel::endCredentialWaitsOfAccountsGone() {
    const auto account = currentAccount();
    std::vector<std::shared_ptr<Turn>> gone;
    for (const auto& [questionID, turn] : runningTurns_) {
        if (turn->account != account && turn->giveUpCredentialsWait()) {
            gone.push_back(turn);
        }
    }
    for (const auto& turn : gone) {
        if (const auto stop = turnStops_.find(turn->question.id); stop != turnStops_.end()) {
            stop->second.request_stop();
        }
        handleFailure(turn, std::make_exception_ptr(AccountGoneError()));
    }
}

bool ChatViewModel::isStillRunning(const std::shared_ptr<Turn>& turn) const {
    return runningTurns_.contains(turn->question.id);
}

void ChatViewModel::stopRunningTurns() {
    // Copied first: finishing a turn changes the map.
    std::vector<std::shared_ptr<Turn>> running;
    for (const auto& [questionID, turn] : runningTurns_) {
        running.push_back(turn);
    }
    for (const auto& turn : running) {
        const Uuid questionID = turn->question.id;
        if (const auto stop = turnStops_.find(questionID); stop != turnStops_.end()) {
            stop->second.request_stop();
        }
        // The question is kept as a turn that timed out keeps it; a session deleted meanwhile
        // keeps nothing. One that still waited for the credentials is held for the next start.
        const bool heldForKeyring =
            turn->giveUpCredentialsWait() && turn->account == currentAccount();
        if (!isDeletedInFlight(turn->sessionID)) {
            persistUnansweredQuestion(turn->question, turn->usageAccumulator->usage(),
                                      turn->sessionID);
            if (heldForKeyring) {
                markHeld(turn->sessionID, {turn->question.id}, true);
            }
        }
        if (state.get().showsQuestion(questionID)) {
            state.set(ChatState::idle());
        }
        logger_.info("chat_turn_stopped_on_quit", {{"session_id", turn->sessionID}});
        finishInFlightTurn(questionID, turn->sessionID);
    }
    // Questions the keyring held stay unanswered in their sessions, marked for the next start:
    // nothing more is asked now.
    keepHeldForNextStart();
    flushPendingSaves();
}

void ChatViewModel::startCitationTask(std::vector<RLMEvidence> evidence, const Uuid& answerID,
                                      const std::string& sessionID) {
    if (!deps_.resolveCitations) {
        return;
    }
    std::weak_ptr<ChatViewModel> weak = weak_from_this();
    deps_.worker.post([weak, resolve = deps_.resolveCitations, &main = deps_.main,
                       evidence = std::move(evidence), answerID, sessionID] {
        auto resolved = resolve(evidence);
        if (resolved.sources.empty()) {
            return;
        }
        main.post([weak, resolved = std::move(resolved), answerID, sessionID] {
            if (auto self = weak.lock()) {
                self->applySources(resolved, answerID, sessionID);
            }
        });
    });
}

void ChatViewModel::startTitleTask(std::string question, std::string answer,
                                   RLMCredentials credentials, const std::string& sessionID) {
    if (!deps_.completeTitle) {
        return;
    }
    std::weak_ptr<ChatViewModel> weak = weak_from_this();
    deps_.worker.post([weak, complete = deps_.completeTitle, &main = deps_.main,
                       question = std::move(question), answer = std::move(answer),
                       credentials = std::move(credentials), sessionID] {
        auto title = TitleGenerator::generate(
            question, answer,
            TitleGenerator::Credentials{credentials.apiKey, credentials.customerToken}, complete);
        if (!title) {
            return;
        }
        main.post([weak, title = std::move(*title), sessionID] {
            if (auto self = weak.lock()) {
                self->applyTitle(title, sessionID);
            }
        });
    });
}

}  // namespace vask
