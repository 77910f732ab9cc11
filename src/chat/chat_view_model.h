#pragma once

#include <filesystem>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

#include "chat/chat_helper_runner.h"
#include "chat/chat_memory_committer.h"
#include "chat/chat_state.h"
#include "chat/held_questions.h"
#include "chat/history_index_wait.h"
#include "chat/popover_handoff.h"
#include "chat/session_save_queue.h"
#include "chat/turn_stream.h"
#include "chat/unsent_drafts.h"
#include "engine/host_request.h"
#include "engine/rlm_usage_accumulator.h"
#include "engine/zendrel_execution_disclosure.h"
#include "foundation/auth_mode.h"
#include "foundation/structured_logger.h"
#include "memory/memory_authorization_gate.h"
#include "memory/memory_principal.h"
#include "memory/memory_store.h"
#include "platform/clock.h"
#include "platform/executor.h"
#include "platform/published.h"
#include "platform/user_defaults.h"
#include "records/answer_source.h"
#include "records/chat_session.h"
#include "records/rlm_evidence.h"
#include "records/session_artifact_manifest.h"
#include "records/session_artifact_validator.h"
#include "records/session_store.h"
#include "records/title_generator.h"
#include "relay/corvane_billing_service.h"
#include "relay/preset_selection.h"
#include "relay/preset_selection_record.h"

namespace vask {

// One chat conversation for one window: the composer text, the state of the question in flight,
// the sessions and the current one, and the bookkeeping that lets turns, deletions and
// hand-offs overlap. Lives on the main executor; database, memory, network and helper work runs
// on the worker and every result is posted back. Tasks hold the model weakly.
class ChatViewModel : public std::enable_shared_from_this<ChatViewModel> {
  public:
    // Sessions share their unchanged entries between copies, so a change to one session copies
    // that session only and a save never copies on the main executor.
    using SessionList = std::vector<std::shared_ptr<const ChatSession>>;
    using MemoryPrincipalProvider = std::function<std::optional<MemoryPrincipal>()>;
    // Both may be called from any thread.
    using AuthModeProvider = std::function<AuthMode()>;
    using CitationResolver = std::function<ResolvedSources(const std::vector<RLMEvidence>&)>;
    // The shared token refresh for a refused customer token (blocking; called on the worker).
    using RefreshForRetry = std::function<bool(const std::optional<std::string>&)>;

    struct Dependencies {
        MainExecutor& main;
        Executor& worker;
        UserDefaults& defaults;
        // The preset selection over `defaults`, shared with every other user of that store.
        PresetSelection& presets;
        const Clock& clock = Clock::system();
        // Main executor: each time a turn may have changed the account's usage (a turn ended, a
        // usage look-up came back). Absent: no one is told.
        std::function<void()> usageChanged{};
        std::string shadowDBPath{};
        std::optional<std::string> shadowDBPathError{};
        // The history's full-text index as the synchronisation reports it: the first copy of a
        // large history builds it at its end, and a question answered meanwhile would find
        // nothing. A question asked while it is not whole waits on the main executor (saying
        // indexingHistoryText) until it is, or its sync fails, its chat is deleted, its account
        // changes or it is stopped. Null: always whole.
        std::shared_ptr<HistoryIndex> historyIndex{};
        std::optional<std::string> memoryDBPath{};
        MemoryPrincipalProvider memoryPrincipalProvider{};
        std::shared_ptr<MemoryStore> memoryStore{};
        std::shared_ptr<MemoryAuthorizationGate> memoryAuthorizationGate{};
        // When null, private memory's coordinator over the store and gate above.
        std::shared_ptr<ChatMemoryCommitter> memoryCommitter{};
        AuthModeProvider authModeProvider{};
        // Whether the credentials are known yet (secret storage may still be asked on a
        // worker); null: always. A question asked before waits for them on the worker.
        std::function<bool()> authModeKnown{};
        // Asks the keyring to unlock (its prompt may show); `done` runs on the main executor
        // with the failure's text, nothing once unlocked. Null: no keyring to unlock.
        std::function<void(std::function<void(std::optional<std::string>)> done)> unlockKeyring{};
        // Asks a keyring that did not answer again, without any prompt; `done` runs on the main
        // executor once the credentials were read again. Null: nothing to ask.
        std::function<void(std::function<void()> done)> askKeyringAgain{};
        // Subscribes to each arrival of newly resolved credentials (main executor): the chat
        // reads them again, so its keyring notice follows the keyring whoever unlocked it.
        // Null: only what the chat asks itself.
        std::function<Subscription(std::function<void()>)> observeCredentials{};
        // Whether an unlock is under way, asked by either chat (its prompt open, or its answer
        // not in yet): asked again meanwhile, `unlockKeyring` joins it and opens no prompt.
        // Main executor. Null: only this chat's own unlock counts.
        std::function<bool()> keyringUnlockUnderWay{};
        // How many times the user signed in or out so far (any thread's count): a question held
        // for the keyring is asked only under the account it was asked under. Null: never.
        std::function<std::uint64_t()> accountChanges{};
        // The popover's: the chat that keeps a chat the popover leaves while a question of it
        // waits for the keyring, so that the question is asked and saved there (the main
        // window's). Null: such a question is told it was not asked.
        std::function<std::shared_ptr<ChatViewModel>()> keeperOfHeldChats{};
        // Null for the popover.
        std::shared_ptr<SessionStore> sessionStore{};
        std::string accountURL{};
        bool persistsSessions = false;
        // The support directory; throws when it cannot be had.
        std::function<std::filesystem::path()> supportDirectory{};
        ChatHelperRunnerFactory helperRunnerFactory{};
        PersonaContextHostFactory personaContextHostFactory{};
        CitationResolver resolveCitations{};
        TitleGenerator::Complete completeTitle{};
        RefreshForRetry refreshForRetry{};
        // Null: usage-limit look-ups are skipped.
        const CorvaneBillingService* billingService = nullptr;
        // Shared by every chat of the process: set by the first managed question.
        std::shared_ptr<bool> tierSnapshotRefreshed = processTierSnapshotFlag();
    };

    static std::shared_ptr<ChatViewModel> make(Dependencies dependencies);

    // Stops every turn still running (its helper and staged files go with it) and writes what
    // is still waiting to be saved.
    ~ChatViewModel();
    ChatViewModel(const ChatViewModel&) = delete;
    ChatViewModel& operator=(const ChatViewModel&) = delete;

    Published<ChatState> state{ChatState::idle()};
    Published<std::string> inputText;
    Published<std::optional<std::string>> lastError;
    Published<std::optional<ZendrelExecutionDisclosure>> executionDisclosure;
    Published<std::optional<RLMUsageDisclosure>> usageDisclosure;
    Published<SessionList> sessions;
    Published<std::string> currentSessionID;
    Published<std::optional<std::string>> pendingSessionFocus;
    Published<bool> hasCredentials{false};
    // Signed in, with the credentials in a keyring that is locked: questions are answered
    // keyringLockedText until the user unlocks it (unlockKeyring()).
    Published<bool> keyringLocked{false};
    // Signed in, or perhaps: the keyring that holds the credentials does not answer, or there is
    // none on the bus. Questions are answered keyringNotAnsweringText (keyringNotAvailableText)
    // until it does (asked again by unlockKeyring(), and as soon as a keyring appears).
    Published<bool> keyringNotAnswering{false};
    // An unlock or a question to the keyring is under way (unlockKeyring()): one at a time.
    // A question asked while an unlock is under way waits for its answer (keyringUnlockingText)
    // and is asked then, after the question that the keyring stopped before.
    Published<bool> askingKeyring{false};
    // True while the saved chats are being read; sending waits for them.
    Published<bool> loadingSessions{false};

    // Calls back after each published change that is not a running turn's streamed update
    // (progress, reasoning, disclosures): for views that show the chat's outline only, which a
    // helper streaming thousands of events must not redraw each time.
    [[nodiscard]] Subscription observeOutline(std::function<void()> changed);

    // Views of the state for the chat views.
    std::vector<ChatMessage> transcript() const;
    std::vector<ChatMessage> displayMessages() const;
    std::string currentTitle() const;
    std::vector<std::shared_ptr<const ChatSession>> savedSessions() const;
    std::optional<AuthType> usageLimit() const;
    // How a question of this run that got no answer ended: its failure, or the usage limit that
    // stopped it (until capacity is back). Each turn keeps its own, whatever was asked after
    // it; nothing for an answered question or one asked in an earlier run.
    const ChatState* endedTurn(const Uuid& questionID) const;
    bool isSending() const { return state.get().isSending(); }
    std::optional<ChatTokenUsage> liveTokenUsage() const;
    const std::optional<std::string>& persistentError() const { return persistentError_; }
    const std::string& accountURL() const { return deps_.accountURL; }
    bool persistsSessions() const { return deps_.persistsSessions; }

    // How many message texts were counted for the histories of the questions sent so far.
    std::size_t historyCountsMade() const { return historyCountsMade_; }
    // How many of those counts are kept for the next question.
    std::size_t historyCountsKept() const { return historyCharacterCounts_.size(); }

    void refreshCredentials();
    // The user's way on from a keyring that holds the credentials back: a locked one is asked
    // to unlock (its prompt may show: only on the user's request), one that did not answer is
    // asked again. One at a time: pressed again while the prompt is open, the question's row
    // already says so (keyringUnlockingText). Once the credentials can be read, the question
    // the keyring stopped is asked.
    void unlockKeyring();
    static constexpr std::string_view keyringLockedText =
        "Your keyring is locked. Unlock it to ask.";
    static constexpr std::string_view keyringUnlockingText =
        "Unlock your keyring in its prompt to ask.";
    static constexpr std::string_view keyringNotAnsweringText =
        "Your keyring is not answering. Try again to ask.";
    static constexpr std::string_view keyringNotAvailableText =
        "Your keyring is not available. Try again to ask.";
    static constexpr std::string_view signedOutText = "You're signed out. Sign in to ask.";
    // A question's progress while the history's full-text index is still being built.
    static constexpr std::string_view indexingHistoryText =
        "Waiting for your messages to be indexed\u2026";
    // A question that waited for the index and was not asked: the synchronisation failed (`why`
    // is its error), the user signed out, or signed in again.
    static std::string historyIndexFailedText(std::string_view why);
    static constexpr std::string_view indexWaitSignedOutText =
        "This question waited for your messages to be indexed and was not asked: you signed out.";
    static constexpr std::string_view indexWaitOtherAccountText =
        "This question waited for your messages to be indexed and was not asked: you signed in "
        "again since.";
    static constexpr std::string_view heldQuestionNotAskedText =
        "A question that waited for your keyring was not asked: its chat was closed.";
    static constexpr std::string_view heldQuestionSignedOutText =
        "This question waited for your keyring and was not asked: you signed out.";
    static constexpr std::string_view heldQuestionOtherAccountText =
        "This question waited for your keyring and was not asked: you signed in again since.";
    // The words for a question the keyring held back (locked, unlocking, not answering, not
    // available).
    static std::string_view heldText(ChatState::CredentialProblem problem);
    // Why `mode` holds a question back; none when it does not.
    static ChatState::CredentialProblem heldBack(const AuthMode& mode);

    // Sessions.
    void startNewSession();
    void switchSession(const std::string& id);
    void renameSession(const std::string& id, const std::string& title);
    void deleteSession(const std::string& id);
    void adopt(ChatSession session);
    // Asks `question` in a chat of its own, shown from then on (the main window's "Catch me up"):
    // what the user typed and did not send stays with the chat it was typed in. Refused (false)
    // while a question is being sent or the saved chats are read.
    bool askInNewSession(const std::string& question);

    // Hand-off from the popover to the main window.
    void handOffCurrentSession(const std::shared_ptr<ChatViewModel>& receiver);
    void deferHandoff(const std::string& sessionID, const std::shared_ptr<ChatViewModel>& receiver);
    void resolveHandoffAfterTurn(PopoverHandoff::TurnOutcome outcome,
                                 const std::string& originSessionID);

    // Commit and late results.
    void commitTurn(const ChatMessage& question, const Uuid& answerID,
                    const std::string& displayText, bool extracted,
                    std::optional<std::vector<MemoryReceipt>> memoryReceipts,
                    const std::vector<SessionArtifactCandidate>& artifactCandidates,
                    std::optional<ChatTokenUsage> tokenUsage, const std::string& sessionID);
    // The same with the artifact candidates already judged (off the main executor).
    void commitValidatedTurn(const ChatMessage& question, const Uuid& answerID,
                             const std::string& displayText, bool extracted,
                             std::optional<std::vector<MemoryReceipt>> memoryReceipts,
                             SessionArtifactValidationResult validated,
                             std::optional<ChatTokenUsage> tokenUsage,
                             const std::string& sessionID);
    // The artifacts stored in a session, here or with the receiver it was handed off to.
    std::vector<SessionArtifact> storedArtifacts(const std::string& sessionID) const;
    // Blocking: it reads the shadow and contacts databases when there are candidates.
    static SessionArtifactValidationResult validateArtifacts(
        const std::vector<SessionArtifactCandidate>& candidates, const Uuid& answerID,
        const std::vector<SessionArtifact>& existing, const std::string& shadowDBPath,
        const std::optional<std::string>& contactsDBPath);
    void applySources(const ResolvedSources& resolved, const Uuid& answerID,
                      const std::string& sessionID);
    void applyTitle(const std::string& title, const std::string& sessionID);
    void persistUnansweredQuestion(ChatMessage question, std::optional<ChatTokenUsage> tokenUsage,
                                   const std::string& sessionID);
    // Waits until every save asked for so far is written: on quit.
    void flushPendingSaves();
    // On quit, before the worker is joined: stops every running turn through its stop request
    // (its helper is ended as on a time-out), keeps its question in its session with the usage
    // recorded so far, as a failed turn keeps it, and writes what is waiting to be saved. What
    // those turns deliver later is dropped.
    void stopRunningTurns();

    // Memory receipts and in-flight bookkeeping.
    // `done` runs on the main executor when the undo has ended, whatever its outcome.
    void undoAutoSavedMemory(const Uuid& receiptID, const Uuid& messageID,
                             std::function<void()> done = {});
    void simulateOutOfCredit();
    void recordInFlightTurn(const Uuid& questionID, const std::string& sessionID);
    void beginMemoryCommit(const Uuid& questionID);
    void endMemoryCommit(const Uuid& questionID);
    void finishInFlightTurn(const Uuid& questionID, const std::string& sessionID);
    void discardDeletedInFlightTurn(const ChatMessage& question, const std::string& sessionID);
    bool isDeletedInFlight(const std::string& sessionID) const {
        return deletedInFlightSessionIDs_.contains(sessionID);
    }
    bool isWaitingForMemoryCommit(const std::string& sessionID) const {
        return deletionsWaitingForMemoryCommit_.contains(sessionID);
    }

    // The running turn.
    void send();
    // `done` runs on the main executor once the look-up has ended.
    void recheckUsageAfterReturn(std::function<void()> done = {});

    // Disclosures of the running turn.
    void startExecutionDisclosure(const Uuid& questionID, const std::string& sessionID);
    // Several events with one publish.
    void receiveExecutionEvents(const std::vector<ZendrelExecutionEvent>& events,
                                const Uuid& questionID, const std::string& sessionID);
    void receiveTokenUsage(const ChatTokenUsage& usage, const Uuid& questionID,
                           const std::string& sessionID);

    // Pure helpers of the turn.
    static constexpr std::size_t historyMaxMessages = 6;
    static constexpr std::size_t historyMaxCharacters = 12000;
    static constexpr std::string_view historyCutMarker =
        "\u2026 [full turn available in session.chat_messages]";
    static constexpr std::size_t provisionalTitleCharacters = 48;
    static constexpr std::string_view newSessionTitle = "New Chat";

    static std::vector<HostConversationMessage> answeredConversationHistory(
        const std::vector<ChatMessage>& messages);
    static std::vector<HostConversationMessage> recentConversationHistory(
        const std::vector<ChatMessage>& messages, std::ptrdiff_t maxMessages,
        std::ptrdiff_t maxCharacters);
    // A message's length in characters for the history; any value above `maxCharacters`
    // means "too long" (the text is cut then).
    using HistoryCharacterCounter = std::function<std::size_t(const ChatMessage&)>;
    static std::vector<HostConversationMessage> recentConversationHistory(
        const std::vector<ChatMessage>& messages, std::ptrdiff_t maxMessages,
        std::ptrdiff_t maxCharacters, const HistoryCharacterCounter& count);
    // The characters of `text`, counted up to `limit` + 1.
    static std::size_t historyCharacterCount(std::string_view text, std::size_t limit);
    static std::vector<SessionArtifactManifest> sessionArtifactManifests(
        const std::vector<ChatMessage>& messages);
    static std::string friendlyProgress(std::string_view status);
    static std::string provisionalTitle(std::string_view question);
    // The index of the session with the latest `lastMessageAt`, the earlier on equal dates.
    static std::optional<std::size_t> latestSessionIndex(const SessionList& sessions);

    static std::shared_ptr<bool> processTierSnapshotFlag();
    // What the chat says when its saved chats cannot be read.
    static std::string unreadableSessionsText(std::string_view description,
                                              const std::filesystem::path& file);

  private:
    struct Turn;

    struct LoadedSessions {
        SessionList sessions;
        std::optional<std::string> error;
    };

    explicit ChatViewModel(Dependencies dependencies);
    void loadInitialState();
    // What became of a question asked: the turn that runs it, or why the keyring held it back
    // at once (it is then kept in its chat, saying so).
    struct Asked {
        std::optional<Uuid> running;
        ChatState::CredentialProblem heldBack = ChatState::CredentialProblem::none;
    };
    // Asks `questionText` in the chat `sessionID`, shown or not; the composer is left alone.
    // `order`: its place among the questions asked (HeldQuestions::Held::order), kept when it
    // is asked again; 0 for a question asked now.
    Asked ask(const std::string& questionText, const std::string& sessionID,
              std::uint64_t order = 0);
    // Whether the keyring holds the question back at once: locked, not answering (when the
    // credentials are known: `mode`), or being unlocked, when the question waits for the unlock.
    // A question it refuses is kept, and asked once the keyring answers, however it answers.
    ChatState::CredentialProblem holdBack(const std::string& questionText,
                                          const std::string& sessionID, const AuthMode& mode,
                                          bool credentialsKnown, std::uint64_t order);
    // Whether the way on from `problem` is asking the keyring again (not answering, not there).
    static bool asksAgain(ChatState::CredentialProblem problem);
    // Which of those two keyringNotAnswering stands for now.
    ChatState::CredentialProblem notAnsweringProblem() const;
    // The question leaves its chat and is asked again there (or with the window its chat was
    // handed to); nothing when its chat is gone.
    Asked askAgain(const ChatMessage& question, const std::string& sessionID,
                   std::uint64_t order);
    // Whether an unlock is under way, this chat's or the other's.
    bool unlockUnderWay() const;
    // The question (already kept in its chat) waits for the unlock under way, saying so.
    void holdForUnlock(const ChatMessage& question, const std::string& sessionID,
                       std::uint64_t order = 0);
    void holdForUnlock(HeldQuestions::Held held);
    // The keyring refused the question with no unlock under way: it is kept, saying so, for the
    // next unlock or the keyring's own answer (by another client's unlock, or answering again),
    // as a question of `account`.
    void keepRefused(const ChatMessage& question, const std::string& sessionID, std::uint64_t order,
                     std::uint64_t account);
    // What holds the questions back as the chat last read the keyring; none once it is open.
    ChatState::CredentialProblem keyringProblem() const;
    // Each held question's row as it stands: waiting for the unlock under way, or held back by
    // `problem` (none: left as it is).
    void showHeldRows(ChatState::CredentialProblem problem);
    // Reads the keyring again: each held question's row follows it, those of an account gone
    // are said not asked (and a turn of it waiting for the credentials ends), and once it is open
    // every question held is asked (or told why not). The rows are left as they are while the
    // credentials are not known.
    void followKeyring();
    // The user's sign-ins and sign-outs so far: the account a question is asked under.
    std::uint64_t currentAccount() const;
    // Questions the keyring let go: each asked in turn while its account is still signed in,
    // the rest told they were not asked.
    void settleHeld(std::vector<HeldQuestions::Held> held);
    // Says under each that it was not asked: its account is gone (`signedOut`: none is in).
    void tellNotAsked(const std::vector<HeldQuestions::Held>& gone, bool signedOut);
    // New credentials arrived: questions of an account that is gone are dropped, and every row
    // follows the keyring (followKeyring()).
    void credentialsArrived();
    // The chat shown says in its state that its last question is held (its row, and none below).
    void showHeldLast();
    // A chat handed over from the other chat brings the questions it held with it.
    void takeHeld(std::vector<HeldQuestions::Held> taken);
    // Marks (or unmarks) the questions `questionIDs` of the chat `sessionID` as held for the
    // keyring when saved, wherever the chat is kept.
    void markHeld(const std::string& sessionID, const std::set<Uuid>& questionIDs, bool held);
    // Keeps `session` among the saved chats without showing it (a popover chat at a quit).
    void keepSession(ChatSession session);
    // At a quit: the held questions are saved marked with their chats, for the next start.
    void keepHeldForNextStart();
    // The saved chats are in: the questions they held at the last quit are held again.
    void restoreHeldQuestions();
    // The account changed: a turn of the account gone that still waits for the credentials
    // ends, told it was not asked, and never reaches the helper.
    void endCredentialWaitsOfAccountsGone();
    // Joins the unlock under way, or asks for one (its prompt may show), unless waiting already.
    void waitForUnlock();
    void unlockAnswered(std::optional<std::string> failure);
    // The keyring that did not answer was asked again: the questions it refused are asked
    // again in their chats, or say why not.
    void keyringAskedAgain();
    // Asks the next question the keyring let go, once no turn of this chat's shows running.
    void askNextHeldQuestion();
    // Shows `ended` for its question: in the state when that shows it, else under its row.
    void showEnded(const ChatState& ended);
    // The history index is not whole: the question (its turn already running) waits for it on
    // the main executor, and true; false when it is asked at once.
    bool parkedForHistoryIndex(HistoryIndexWait::Waiting waiting);
    // The index, the account or the chats changed: what waits for the index is looked at again,
    // once, after what is under way on the main executor.
    void settleHistoryIndexWaitSoon();
    void settleHistoryIndexWait();
    void endHistoryIndexWait(const HistoryIndexWait::Ended& ended,
                             const HistoryIndexState& index);
    // A turn ended, however: it waits for the index no more.
    void leaveHistoryIndexWait(const Uuid& questionID);
    // Blocking: runs on the worker.
    static LoadedSessions readSessions(SessionStore& store);
    void finishLoading(LoadedSessions loaded);
    void updatePersistentError();

    std::optional<std::size_t> sessionIndex(const std::string& id) const;
    const ChatSession* currentSession() const;
    ChatSession newSession() const;
    // A new chat after those of `list`, selected.
    void appendNewSession(SessionList list);
    // Shows the chat `id`; the composer's text stays with the chat shown before, as `left` says.
    void selectSession(const std::string& id, UnsentDrafts::Left left);
    // How the chat shown is left for another: kept, unless it is no longer in the list (the
    // popover's chat dropped or handed over, the stand-in a load replaced).
    UnsentDrafts::Left leaving() const;
    bool hasTurnRunningIn(const std::string& sessionID) const;
    // Appends an empty session with this id, for a late result whose session left the list.
    std::size_t restoreSession(const std::string& sessionID, std::string_view event);
    // Replaces the session at `index` with `session` and publishes the list.
    void replaceSession(std::size_t index, ChatSession session);
    void persist();
    void markMemoryReceiptUndone(const Uuid& receiptID, const Uuid& messageID,
                                 const std::string& sessionID);
    void completeHandoff(const std::string& sessionID,
                         const std::shared_ptr<ChatViewModel>& receiver);
    std::shared_ptr<ChatViewModel> handoffReceiver(const std::string& sessionID) const;

    // The turn.
    void failImmediately(const std::string& question, const std::string& sessionID);
    // Keeps the question as unanswered in its chat and shows `text` as its failure there.
    ChatMessage failImmediately(
        const std::string& question, const std::string& sessionID, const std::string& text,
        ChatState::CredentialProblem problem = ChatState::CredentialProblem::none);
    void startTurn(std::shared_ptr<Turn> turn);
    void applyStream(const Uuid& questionID, const std::string& sessionID, TurnStream::Batch batch);
    void handleSuccess(const std::shared_ptr<Turn>& turn, RLMHelperResult result);
    void finishSuccess(const std::shared_ptr<Turn>& turn, RLMHelperResult result,
                       std::string displayText, bool extracted, std::vector<MemoryReceipt> receipts,
                       const Uuid& answerID, SessionArtifactValidationResult validated);
    void handleFailure(const std::shared_ptr<Turn>& turn, const std::exception_ptr& error);
    void endTurn(const std::shared_ptr<Turn>& turn);
    // False once the turn was stopped and stored on quit: its late result is dropped.
    bool isStillRunning(const std::shared_ptr<Turn>& turn) const;
    void startCitationTask(std::vector<RLMEvidence> evidence, const Uuid& answerID,
                           const std::string& sessionID);
    void startTitleTask(std::string question, std::string answer, RLMCredentials credentials,
                        const std::string& sessionID);

    // Usage-limit look-ups.
    void fetchAndApplyUsageLimitTier(const std::string& customerToken, const Uuid& questionID);
    void refreshTierSnapshotOnFirstManagedAsk(const std::string& customerToken);
    void writeTierSnapshot(const std::string& tierCode);

    Dependencies deps_;
    StructuredLogger logger_{"chat"};
    std::shared_ptr<ChatMemoryCommitter> memoryCommitter_;
    std::shared_ptr<ChatHelperRunner> helperRunner_;
    std::optional<std::string> contactsDBPath_;
    std::optional<std::string> persistentError_;
    // The parts of the persistent error: the saved chats' first, then the construction's.
    std::optional<std::string> sessionsLoadError_;
    std::vector<std::string> constructionErrors_;
    // Set when the stored sessions could not be read in this run: nothing is written over them.
    bool sessionStoreUnreadable_ = false;
    bool loggedSkippedSave_ = false;

    std::optional<std::string> pendingHandoffSessionID_;
    std::weak_ptr<ChatViewModel> pendingHandoffReceiver_;
    std::map<std::string, std::shared_ptr<ChatViewModel>> handoffReceivers_;

    std::map<Uuid, std::string> inFlightSessionIDs_;
    std::set<std::string> deletedInFlightSessionIDs_;
    std::set<Uuid> memoryCommitQuestionIDs_;
    std::set<std::string> deletionsWaitingForMemoryCommit_;
    // Stops the helper of every turn still running when the model goes away.
    std::map<Uuid, std::stop_source> turnStops_;
    // The turns still running, for a quit to stop and store.
    std::map<Uuid, std::shared_ptr<Turn>> runningTurns_;

    // The history length of each message the last question sent along: counted once, not at
    // every send of its chat.
    std::map<Uuid, std::size_t> historyCharacterCounts_;
    // How many texts were counted for the history: for tests.
    std::size_t historyCountsMade_ = 0;

    std::unique_ptr<SessionSaveQueue> saveQueue_;

    // What ended the unanswered questions, by question id; kept from every failed or limited
    // state the chat showed.
    std::map<Uuid, ChatState> endedTurns_;
    Subscription endedTurnsWatch_;
    Subscription credentialsWatch_;

    // What the user typed in each chat not shown and did not send.
    UnsentDrafts drafts_;

    // The questions the keyring held back, each with its chat, until it answers.
    HeldQuestions held_;
    // The questions waiting for the history index; watching the index, the account and the
    // chats while any waits.
    HistoryIndexWait indexWait_;
    Subscription indexWaitWatches_;
    bool indexWaitSettlePosted_ = false;
    // keyringNotAnswering stands for a keyring not on the bus at all.
    bool keyringNotAvailable_ = false;
};

}  // namespace vask
