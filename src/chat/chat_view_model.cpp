#include "chat/chat_view_model.h"

#include <algorithm>
#include <unordered_set>

#include "foundation/nil_if_empty.h"
#include "platform/error.h"

namespace vask {

std::shared_ptr<ChatViewModel> ChatViewModel::make(Dependencies dependencies) {
    std::shared_ptr<ChatViewModel> model(new ChatViewModel(std::move(dependencies)));
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
    std::vector<std::string> errors;

    SessionList loaded;
    if (deps_.persistsSessions && deps_.sessionStore) {
        std::error_code ignored;
        if (std::filesystem::exists(deps_.sessionStore->databaseURL(), ignored)) {
            try {
                for (auto& session : deps_.sessionStore->loadSessions()) {
                    loaded.push_back(std::make_shared<const ChatSession>(std::move(session)));
                }
            } catch (const std::exception& e) {
                // An empty list saved now would erase the history the file still holds.
                loaded.clear();
                sessionStoreUnreadable_ = true;
                const std::string description = e.what();
                errors.push_back("Chat history could not be loaded: " + description);
                logger_.error("sessions_load_failed", {{"error", description}});
            }
        }
    }
    if (loaded.empty()) {
        loaded.push_back(std::make_shared<const ChatSession>(newSession()));
        currentSessionID.set(loaded.front()->id);
    } else {
        currentSessionID.set(loaded[*latestSessionIndex(loaded)]->id);
    }
    sessions.set(std::move(loaded));

    if (deps_.shadowDBPath.empty()) {
        const std::string text =
            deps_.shadowDBPathError.value_or("Shadow database path not configured");
        logger_.error("shadow_db_path_missing", {{"error", text}});
        errors.push_back(text);
    }
    try {
        if (!deps_.supportDirectory) {
            throw Error("no support directory");
        }
        contactsDBPath_ = (deps_.supportDirectory() / "contacts.db").string();
    } catch (const std::exception& e) {
        const std::string description = e.what();
        logger_.error("contacts_path_error", {{"error", description}});
        errors.push_back("Contacts unavailable: " + description);
    }
    try {
        if (!deps_.helperRunnerFactory) {
            throw Error("RLM helper command not set. Set VASK_RLM_HELPER_CMD.");
        }
        helperRunner_ = deps_.helperRunnerFactory(deps_.personaContextHostFactory);
    } catch (const std::exception& e) {
        const std::string description = e.what();
        logger_.error("rlm_helper_init_failed", {{"error", description}});
        errors.push_back(description);
    }

    if (!errors.empty()) {
        std::string joined;
        for (const auto& text : errors) {
            joined += (joined.empty() ? "" : "; ") + text;
        }
        persistentError_ = joined;
    }
    lastError.set(persistentError_);
    logger_.info("chat_vm_init", {{"contacts_db_path", contactsDBPath_.value_or("nil")},
                                  {"has_helper", helperRunner_ ? "true" : "false"},
                                  {"has_persistent_error", persistentError_ ? "true" : "false"}});
    refreshCredentials();
}

void ChatViewModel::refreshCredentials() {
    const AuthMode mode = deps_.authModeProvider ? deps_.authModeProvider() : AuthMode::none();
    bool has = false;
    if (const auto* key = mode.asAPIKey()) {
        has = nilIfEmpty(key->key).has_value();
    } else if (const auto* managed = mode.asManaged()) {
        has = nilIfEmpty(managed->customerToken).has_value();
    }
    hasCredentials.set(has);
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

std::optional<ChatTokenUsage> ChatViewModel::liveTokenUsage() const {
    const auto& disclosure = usageDisclosure.get();
    if (disclosure && disclosure->sessionID == currentSessionID.get()) {
        return disclosure->usage;
    }
    return std::nullopt;
}

}  // namespace vask
