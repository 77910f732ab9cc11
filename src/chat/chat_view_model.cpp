#include "chat/chat_view_model.h"

#include <algorithm>
#include <unordered_set>

#include "foundation/nil_if_empty.h"
#include "platform/error.h"

namespace vask {

std::shared_ptr<ChatViewModel> ChatViewModel::make(Dependencies dependencies) {
    std::shared_ptr<ChatViewModel> model(new ChatViewModel(std::move(dependencies)));
    // First of all subscribers, so a view redrawn for a new state finds its turn recorded.
    model->endedTurnsWatch_ = model->state.subscribe(
        [raw = model.get()](const ChatState& current) {
            if (current.asFailed() != nullptr || current.asUsageLimitReached() != nullptr) {
                raw->endedTurns_.insert_or_assign(current.currentQuestion()->id, current);
            }
        },
        Delivery::changesOnly);
    if (model->deps_.observeCredentials) {
        model->credentialsWatch_ =
            model->deps_.observeCredentials([weak = std::weak_ptr<ChatViewModel>(model)] {
                if (auto self = weak.lock()) {
                    self->credentialsArrived();
                }
            });
    }
    model->loadInitialState();
    return model;
}

std::shared_ptr<bool> ChatViewModel::processTierSnapshotFlag() {
    static const auto flag = std::make_shared<bool>(false);
    return flag;
}

ChatViewModel::ChatViewModel(Dependencies dependencies) : deps_(std::move(dependencies)) {
    memoryCommitter_ = deps_.memoryCommitter;
    if (!memoryCommitter_) {
        memoryCommitter_ = std::make_shared<MutationCoordinatorCommitter>(
            MemoryMutationCoordinator(deps_.memoryStore, deps_.memoryAuthorizationGate,
                                      StructuredLogger("memory-mutations")));
    }
    if (deps_.persistsSessions && deps_.sessionStore) {
        saveQueue_ = std::make_unique<SessionSaveQueue>(deps_.sessionStore, logger_);
    }
}

ChatViewModel::~ChatViewModel() {
    for (auto& [questionID, stop] : turnStops_) {
        stop.request_stop();
    }
    // The queue's destruction writes what is still pending.
}

void ChatViewModel::loadInitialState() {
    // Saved chats are read on the worker: a long history or a busy file must not hold up the
    // window. Until they arrive the model has one empty session and says it is loading.
    sessions.set({std::make_shared<const ChatSession>(newSession())});
    currentSessionID.set(sessions.get().front()->id);
    if (deps_.persistsSessions && deps_.sessionStore) {
        std::error_code ignored;
        if (std::filesystem::exists(deps_.sessionStore->databaseURL(), ignored)) {
            loadingSessions.set(true);
            std::weak_ptr<ChatViewModel> weak = weak_from_this();
            deps_.worker.post([weak, store = deps_.sessionStore, &main = deps_.main] {
                auto loaded = readSessions(*store);
                main.post([weak, loaded = std::move(loaded)]() mutable {
                    if (auto self = weak.lock()) {
                        self->finishLoading(std::move(loaded));
                    }
                });
            });
        }
    }

    if (deps_.shadowDBPath.empty()) {
        const std::string text =
            deps_.shadowDBPathError.value_or("Shadow database path not configured");
        logger_.error("shadow_db_path_missing", {{"error", text}});
        constructionErrors_.push_back(text);
    }
    try {
        if (!deps_.supportDirectory) {
            throw Error("no support directory");
        }
        contactsDBPath_ = (deps_.supportDirectory() / "contacts.db").string();
    } catch (const std::exception& e) {
        const std::string description = e.what();
        logger_.error("contacts_path_error", {{"error", description}});
        constructionErrors_.push_back("Contacts unavailable: " + description);
    }
    try {
        if (!deps_.helperRunnerFactory) {
            throw Error("RLM helper command not set. Set VASK_RLM_HELPER_CMD.");
        }
        helperRunner_ = deps_.helperRunnerFactory(deps_.personaContextHostFactory);
    } catch (const std::exception& e) {
        const std::string description = e.what();
        logger_.error("rlm_helper_init_failed", {{"error", description}});
        constructionErrors_.push_back(description);
    }

    updatePersistentError();
    lastError.set(persistentError_);
    logger_.info("chat_vm_init", {{"contacts_db_path", contactsDBPath_.value_or("nil")},
                                  {"has_helper", helperRunner_ ? "true" : "false"},
                                  {"has_persistent_error", persistentError_ ? "true" : "false"}});
    refreshCredentials();
}

ChatViewModel::LoadedSessions ChatViewModel::readSessions(SessionStore& store) {
    LoadedSessions result;
    try {
        for (auto& session : store.loadSessions()) {
            result.sessions.push_back(std::make_shared<const ChatSession>(std::move(session)));
        }
    } catch (const std::exception& e) {
        result.sessions.clear();
        result.error = e.what();
    }
    return result;
}

void ChatViewModel::updatePersistentError() {
    std::vector<std::string> errors;
    if (sessionsLoadError_) {
        errors.push_back(*sessionsLoadError_);
    }
    errors.insert(errors.end(), constructionErrors_.begin(), constructionErrors_.end());
    std::string joined;
    for (const auto& text : errors) {
        joined += (joined.empty() ? "" : "; ") + text;
    }
    persistentError_ = joined.empty() ? std::nullopt : std::optional(joined);
}

std::string ChatViewModel::unreadableSessionsText(std::string_view description,
                                                  const std::filesystem::path& file) {
    return "Chat history could not be loaded: " + std::string(description) +
           ". New chats will not be saved until the file " + file.string() +
           " is repaired, moved or deleted.";
}

void ChatViewModel::finishLoading(LoadedSessions loaded) {
    if (!loadingSessions.get()) {
        return;
    }
    if (loaded.error) {
        // An empty list saved now would erase the history the file still holds.
        sessionStoreUnreadable_ = true;
        sessionsLoadError_ =
            unreadableSessionsText(*loaded.error, deps_.sessionStore->databaseURL());
        logger_.error(
            "sessions_load_failed",
            {{"error", *loaded.error}, {"path", deps_.sessionStore->databaseURL().string()}});
        updatePersistentError();
        if (!isSending()) {
            lastError.set(persistentError_);
        }
    }
    // Sessions that gained messages meanwhile (a hand-off from the popover) join the loaded
    // ones; the empty placeholder goes unless nothing was loaded.
    SessionList list = std::move(loaded.sessions);
    const auto* current = currentSession();
    const bool keepCurrent = current != nullptr && !current->messages.empty();
    bool changedMeanwhile = false;
    // Chats not asked in stay only for what was typed in them while another was shown.
    SessionList typedIn;
    for (const auto& session : sessions.get()) {
        if (session->messages.empty()) {
            if (session->id != currentSessionID.get() && drafts_.keeps(session->id)) {
                typedIn.push_back(session);
            }
            continue;
        }
        changedMeanwhile = true;
        const auto same = std::find_if(list.begin(), list.end(),
                                       [&](const auto& s) { return s->id == session->id; });
        if (same != list.end()) {
            *same = session;
        } else {
            list.push_back(session);
        }
    }
    std::string next = currentSessionID.get();
    if (list.empty()) {
        list = sessions.get();
    } else {
        if (!keepCurrent) {
            next = list[*latestSessionIndex(list)]->id;
        }
        list.insert(list.end(), typedIn.begin(), typedIn.end());
    }
    sessions.set(std::move(list));
    // The stand-in shown while they were read goes: what was typed in it stays in the composer.
    selectSession(next, leaving());
    loadingSessions.set(false);
    logger_.info("sessions_loaded", {{"count", std::to_string(sessions.get().size())}});
    if (changedMeanwhile) {
        persist();
    }
    restoreHeldQuestions();
    askNextHeldQuestion();
}

void ChatViewModel::refreshCredentials() {
    const AuthMode mode = deps_.authModeProvider ? deps_.authModeProvider() : AuthMode::none();
    bool has = false;
    if (const auto* key = mode.asAPIKey()) {
        has = nilIfEmpty(key->key).has_value();
    } else if (const auto* managed = mode.asManaged()) {
        has = nilIfEmpty(managed->customerToken).has_value();
    }
    // Signed in behind a locked keyring, or one that does not answer: the chat shows, and says
    // what is needed.
    keyringLocked.set(mode.isKeyringLocked());
    keyringNotAvailable_ = mode.isKeyringNotAvailable();
    keyringNotAnswering.set(mode.isKeyringNotAnswering() || mode.isKeyringNotAvailable());
    hasCredentials.set(has || mode.isHeldBackByKeyring());
}

void ChatViewModel::showEnded(const ChatState& ended) {
    const ChatMessage* question = ended.currentQuestion();
    if (question == nullptr) {
        return;
    }
    if (state.get().showsQuestion(question->id)) {
        state.set(ended);
    } else {
        endedTurns_.insert_or_assign(question->id, ended);
    }
}

Subscription ChatViewModel::observeOutline(std::function<void()> changed) {
    auto subscriptions = std::make_shared<std::vector<Subscription>>();
    const auto notify = [changed](const auto&) { changed(); };
    subscriptions->push_back(sessions.subscribe(notify, Delivery::changesOnly));
    subscriptions->push_back(currentSessionID.subscribe(notify, Delivery::changesOnly));
    subscriptions->push_back(pendingSessionFocus.subscribe(notify, Delivery::changesOnly));
    subscriptions->push_back(hasCredentials.subscribe(notify, Delivery::changesOnly));
    subscriptions->push_back(keyringLocked.subscribe(notify, Delivery::changesOnly));
    subscriptions->push_back(keyringNotAnswering.subscribe(notify, Delivery::changesOnly));
    subscriptions->push_back(lastError.subscribe(notify, Delivery::changesOnly));
    subscriptions->push_back(loadingSessions.subscribe(notify, Delivery::changesOnly));
    // More of the same running turn keeps the state's case and question.
    const auto* sending = state.get().asSending();
    auto turn = std::make_shared<std::optional<Uuid>>(sending ? std::optional(sending->question.id)
                                                              : std::nullopt);
    subscriptions->push_back(state.subscribe(
        [changed, turn](const ChatState& now) {
            const auto* running = now.asSending();
            const std::optional<Uuid> question =
                running ? std::optional(running->question.id) : std::nullopt;
            const bool sameTurn = question && question == *turn;
            *turn = question;
            if (!sameTurn) {
                changed();
            }
        },
        Delivery::changesOnly));
    return Subscription([subscriptions] { subscriptions->clear(); });
}

std::optional<std::size_t> ChatViewModel::latestSessionIndex(const SessionList& list) {
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (!best || list[i]->lastMessageAt > list[*best]->lastMessageAt) {
            best = i;
        }
    }
    return best;
}

std::optional<std::size_t> ChatViewModel::sessionIndex(const std::string& id) const {
    const auto& list = sessions.get();
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i]->id == id) {
            return i;
        }
    }
    return std::nullopt;
}

const ChatSession* ChatViewModel::currentSession() const {
    const auto index = sessionIndex(currentSessionID.get());
    return index ? sessions.get()[*index].get() : nullptr;
}

std::vector<ChatMessage> ChatViewModel::transcript() const {
    const auto* session = currentSession();
    return session ? session->messages : std::vector<ChatMessage>{};
}

std::vector<ChatMessage> ChatViewModel::displayMessages() const {
    std::vector<ChatMessage> messages = transcript();
    std::set<Uuid> shown;
    for (const auto& message : messages) {
        shown.insert(message.id);
    }
    for (auto& message : state.get().currentMessages()) {
        if (!shown.contains(message.id)) {
            messages.push_back(std::move(message));
        }
    }
    return messages;
}

std::string ChatViewModel::currentTitle() const {
    const auto* session = currentSession();
    return session && !session->title.empty() ? session->title : std::string("Vask");
}

std::vector<std::shared_ptr<const ChatSession>> ChatViewModel::savedSessions() const {
    std::vector<std::shared_ptr<const ChatSession>> saved;
    for (const auto& session : sessions.get()) {
        if (!session->messages.empty()) {
            saved.push_back(session);
        }
    }
    std::stable_sort(saved.begin(), saved.end(), [](const auto& a, const auto& b) {
        return a->lastMessageAt > b->lastMessageAt;
    });
    return saved;
}

std::optional<AuthType> ChatViewModel::usageLimit() const {
    const auto* limit = state.get().asUsageLimitReached();
    return limit ? std::optional<AuthType>(limit->authType) : std::nullopt;
}

const ChatState* ChatViewModel::endedTurn(const Uuid& questionID) const {
    const auto found = endedTurns_.find(questionID);
    return found == endedTurns_.end() ? nullptr : &found->second;
}

std::optional<ChatTokenUsage> ChatViewModel::liveTokenUsage() const {
    const auto& disclosure = usageDisclosure.get();
    if (disclosure && disclosure->sessionID == currentSessionID.get()) {
        return disclosure->usage;
    }
    return std::nullopt;
}

}  // namespace vask
