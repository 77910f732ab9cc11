#include "shell/test_query_router.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "chat/chat_presenters.h"
#include "platform/test_hook_log.h"
#include "platform/text.h"
#include "platform/url.h"
#include "proactive/draft_reply_generator.h"
#include "shell/app_dependencies.h"

namespace vask {

namespace {

const char* boolText(bool value) {
    return value ? "true" : "false";
}

bool isSchemeCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '-' || c == '.';
}

// The answer that follows `questionID` in the session, when it has been stored there.
const ChatMessage* storedAnswer(const ChatViewModel& model, const std::string& sessionID,
                                const Uuid& questionID) {
    for (const auto& session : model.sessions.get()) {
        if (session->id != sessionID) {
            continue;
        }
        const auto& messages = session->messages;
        const auto question =
            std::find_if(messages.begin(), messages.end(),
                         [&](const ChatMessage& m) { return m.id == questionID; });
        if (question == messages.end()) {
            return nullptr;
        }
        const auto answer = std::find_if(std::next(question), messages.end(), [](const auto& m) {
            return m.role == ChatRole::assistant;
        });
        return answer == messages.end() ? nullptr : &*answer;
    }
    return nullptr;
}

}  // namespace

std::shared_ptr<TestQueryRouter> TestQueryRouter::make(Dependencies dependencies) {
    std::shared_ptr<TestQueryRouter> router(new TestQueryRouter(std::move(dependencies)));
    router->self_ = router;
    return router;
}

TestQueryRouter::TestQueryRouter(Dependencies dependencies) : deps_(std::move(dependencies)) {}

std::filesystem::path TestQueryRouter::logPathFrom(const Environment& environment) {
    const auto named = environment.find(std::string(logPathVariable));
    if (named != environment.end() && !named->second.empty()) {
        return named->second;
    }
    return std::string(defaultLogPath);
}

bool TestQueryRouter::hooksEnabled(const Environment& environment) {
    const auto hooks = environment.find("VASK_TEST_HOOKS");
    return hooks != environment.end() && hooks->second == "1";
}

bool TestQueryRouter::isEnabled() const {
    return deps_.environment && hooksEnabled(deps_.environment());
}

void TestQueryRouter::debugLog(std::string_view message) const {
    if (!isEnabled()) {
        return;
    }
    test_hook_log::appendOwnerOnly(deps_.logPath,
                                   test_hook_log::record(message, deps_.clock.now()));
}

std::optional<TestQueryRouter::SplitURL> TestQueryRouter::split(std::string_view url) {
    // The strict parser decides what is a URL at all and decodes the query; it lowercases the
    // scheme and host, so those two are taken from the text itself.
    const auto parsed = Url::parse(url);
    if (!parsed) {
        return std::nullopt;
    }
    SplitURL result;
    const auto colon = url.find(':');
    result.scheme = std::string(url.substr(0, colon));
    if (!std::all_of(result.scheme.begin(), result.scheme.end(), isSchemeCharacter)) {
        return std::nullopt;
    }
    std::string_view rest = url.substr(colon + 1);
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
        if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
            authority.remove_prefix(at + 1);
        }
        if (!authority.starts_with('[')) {
            authority = authority.substr(0, authority.rfind(':'));
        }
        if (!authority.empty()) {
            result.host = std::string(authority);
        }
    }
    for (auto& item : parsed->queryItems()) {
        result.queryItems.emplace_back(std::move(item.name), std::move(item.value));
    }
    return result;
}

std::int64_t TestQueryRouter::notifyCount(const std::optional<std::string>& value) {
    if (!value || value->empty()) {
        return 1;
    }
    std::string_view digits = *value;
    bool negative = false;
    if (digits.front() == '+' || digits.front() == '-') {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty() ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return 1;
    }
    // Read as unsigned so that the most negative value parses too.
    std::uint64_t magnitude = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    if (error != std::errc() || end != digits.data() + digits.size()) {
        return 1;
    }
    constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (negative) {
        if (magnitude > max + 1) {
            return 1;
        }
        return magnitude == max + 1 ? std::numeric_limits<std::int64_t>::min()
                                    : -static_cast<std::int64_t>(magnitude);
    }
    return magnitude > max ? 1 : static_cast<std::int64_t>(magnitude);
}

void TestQueryRouter::handle(std::string_view url) {
    debugLog("handle url=" + std::string(url) + " enabled=" + boolText(isEnabled()) +
             " vm=" + boolText(!chatViewModel.expired()));
    if (!isEnabled()) {
        return;
    }
    const auto parts = split(url);
    if (!parts || parts->scheme != scheme || !parts->host) {
        return;
    }
    const auto item = [&](std::string_view name) -> std::optional<std::string> {
        for (const auto& [itemName, value] : parts->queryItems) {
            if (itemName == name) {
                return value;
            }
        }
        return std::nullopt;
    };
    const auto& services = deps_.services;
    const auto call = [](const auto& action) {
        if (action) {
            action();
        }
    };
    const std::string& host = *parts->host;
    if (host == "contacts") {
        debugLog("triggering contacts requestAccessAndSync");
        if (services.requestContactsAccessAndSync) {
            deps_.main.post(services.requestContactsAccessAndSync);
        }
    } else if (host == "window") {
        debugLog(std::string("opening main window (registered=") + boolText(bool(openMainWindow)) +
                 ")");
        call(openMainWindow);
    } else if (host == "settings") {
        debugLog(std::string("opening settings (registered=") + boolText(bool(openSettings)) +
                 ")");
        call(openSettings);
    } else if (host == "onboarding") {
        debugLog(std::string("opening onboarding (registered=") + boolText(bool(openOnboarding)) +
                 ")");
        call(openOnboarding);
    } else if (host == "new") {
        // The popover's chat, or with "chat=main" the main window's.
        const auto model = item("chat") == "main"
                               ? (services.mainChat ? services.mainChat() : nullptr)
                               : chatViewModel.lock();
        debugLog(std::string("starting new chat (vm=") + boolText(model != nullptr) + ")");
        if (model) {
            model->startNewSession();
        }
    } else if (host == "delete") {
        // Deletes the shown chat of the popover, or with "chat=main" of the main window, as its
        // row's Delete does.
        const auto model = item("chat") == "main"
                               ? (services.mainChat ? services.mainChat() : nullptr)
                               : chatViewModel.lock();
        if (model) {
            const std::string id = model->currentSessionID.get();
            debugLog("deleting chat " + id);
            model->deleteSession(id);
        } else {
            debugLog("deleting chat (vm=false)");
        }
    } else if (host == "signout") {
        debugLog("signing out (test)");
        if (services.signOut) {
            // The credentials are removed on the worker: the chats look again once they are.
            services.signOut([mainChat = services.mainChat, popoverChat = services.popoverChat] {
                for (const auto& chat : {mainChat, popoverChat}) {
                    if (const auto model = chat ? chat() : nullptr) {
                        model->refreshCredentials();
                    }
                }
            });
        }
    } else if (host == "unlock-keyring" && item("from") == "settings") {
        debugLog("unlocking the keyring from settings");
        if (services.unlockKeyring) {
            services.unlockKeyring([weak = self_](const std::optional<std::string>& failure) {
                if (const auto router = weak.lock()) {
                    router->debugLog("settings unlock answered: " + failure.value_or("unlocked"));
                }
            });
        }
    } else if (host == "keyring-notice") {
        // What the main window's chat says below its transcript of the keyring.
        const auto model = services.mainChat ? services.mainChat() : nullptr;
        const auto notice =
            model ? chat_presentation::keyringRowText(
                        model->state.get(), model->keyringLocked.get(), model->askingKeyring.get())
                  : std::nullopt;
        debugLog("keyring notice: " + notice.value_or("none"));
    } else if (host == "unlock-keyring") {
        // As the chat's "Unlock Keyring" button does.
        const auto model = services.mainChat ? services.mainChat() : nullptr;
        debugLog(std::string("unlocking the keyring (vm=") + boolText(model != nullptr) + ")");
        if (model) {
            model->unlockKeyring();
        }
    } else if (host == "outofcredit") {
        debugLog("simulating usage limit (test)");
        call(services.simulateSynced);
        if (const auto model = services.mainChat ? services.mainChat() : nullptr) {
            model->simulateOutOfCredit();
        }
    } else if (host == "recheck") {
        debugLog("re-checking credit after return (test)");
        if (const auto model = services.mainChat ? services.mainChat() : nullptr) {
            deps_.main.post([model] { model->recheckUsageAfterReturn(); });
        }
    } else if (host == "draft") {
        deps_.main.post([weak = self_] {
            if (const auto router = weak.lock()) {
                router->runDraft();
            }
        });
    } else if (host == "notify") {
        const auto count = notifyCount(item("count"));
        debugLog("firing sample notification count=" + std::to_string(count));
        if (services.fireSampleNotification) {
            // The notifier counts in int; anything beyond it still asks for a summary.
            services.fireSampleNotification(static_cast<int>(std::clamp<std::int64_t>(
                count, std::numeric_limits<int>::min(), std::numeric_limits<int>::max())));
        }
    } else if (host == "query") {
        runQuery(item("text"), item("chat") == "main");
    }
}

void TestQueryRouter::runDraft() {
    const auto& services = deps_.services;
    const auto replies =
        services.awaitingReplies ? services.awaitingReplies() : std::vector<AwaitingReply>{};
    if (replies.empty()) {
        debugLog("draft: no awaiting replies");
        return;
    }
    const std::string contactName = replies.front().contactName;
    const std::string lastMessage = replies.front().lastMessageText;
    RouteCredentials credentials;
    const AuthMode mode = services.authMode ? services.authMode() : AuthMode::none();
    if (const auto* key = mode.asAPIKey()) {
        credentials.apiKey = key->key;
    } else if (const auto* managed = mode.asManaged()) {
        credentials.customerToken = managed->customerToken;
    }
    const auto report = [weak = self_, contactName,
                         lastMessage](const std::optional<std::string>& draft) {
        const auto router = weak.lock();
        if (!router) {
            return;
        }
        const std::string excerpt(text::graphemePrefix(lastMessage, 60));
        router->debugLog("draft for " + contactName + " (re: \"" + excerpt +
                         "\"): " + draft.value_or("<nil>"));
    };
    if (!services.generateDraft) {
        report(std::nullopt);
        return;
    }
    services.generateDraft(contactName, lastMessage, credentials, report);
}

void TestQueryRouter::runQuery(const std::optional<std::string>& text, bool onMainChat) {
    if (!text || text->empty()) {
        debugLog("no text param");
        return;
    }
    const auto& mainChat = deps_.services.mainChat;
    const auto model = onMainChat ? (mainChat ? mainChat() : nullptr) : chatViewModel.lock();
    if (!model) {
        debugLog("vm not registered");
        return;
    }
    if (model->isSending()) {
        debugLog("query ignored: another query is already sending");
        return;
    }
    const std::string sessionID = model->currentSessionID.get();
    debugLog("submitting: " + *text);
    model->inputText.set(*text);
    model->send();
    const ChatMessage* question = model->state.get().currentQuestion();
    if (question == nullptr) {
        debugLog("query was not submitted");
        return;
    }
    pollQuery(model, sessionID, *question, deps_.clock.monotonicNow() + queryDeadline);
}

void TestQueryRouter::pollQuery(std::weak_ptr<ChatViewModel> model, std::string sessionID,
                                ChatMessage question, Clock::MonotonicTime deadline) {
    deps_.scheduler.after(queryPollInterval, [weak = self_, model = std::move(model),
                                              sessionID = std::move(sessionID),
                                              question = std::move(question), deadline]() mutable {
        const auto alive = weak.lock();
        if (!alive) {
            return;
        }
        alive->deps_.main.post([weak, model = std::move(model), sessionID = std::move(sessionID),
                                question = std::move(question), deadline]() mutable {
            const auto router = weak.lock();
            const auto chat = model.lock();
            if (!router || !chat) {
                return;
            }
            if (const auto* answer = storedAnswer(*chat, sessionID, question.id)) {
                router->debugLog("rendered response: " + answer->text);
                return;
            }
            const ChatState state = chat->state.get();
            if (const auto* responded = state.asResponded();
                responded != nullptr && responded->question.id == question.id) {
                router->debugLog("rendered response: " + responded->answer.text);
                return;
            }
            if (const auto* failed = state.asFailed();
                failed != nullptr && failed->question.id == question.id) {
                router->debugLog("rendered failure: " + failed->error);
                return;
            }
            if (const auto* limit = state.asUsageLimitReached();
                limit != nullptr && limit->question.id == question.id) {
                router->debugLog("rendered usage limit");
                return;
            }
            if (router->deps_.clock.monotonicNow() >= deadline) {
                router->debugLog("rendered response timeout");
                return;
            }
            router->pollQuery(std::move(model), std::move(sessionID), std::move(question),
                              deadline);
        });
    });
}

TestQueryRouter::Services TestQueryRouter::servicesOf(AppDependencies& root) {
    Services services;
    services.requestContactsAccessAndSync = [&root] {
        root.contactsSyncViewModel()->requestAccessAndSync();
    };
    services.simulateSynced = [&root] { root.shadowSyncViewModel()->simulateSynced(); };
    services.signOut = [&root](std::function<void()> done) {
        root.sharedGoogleSignInViewModel()->signOut(std::move(done));
    };
    services.mainChat = [&root] { return root.chatViewModel(); };
    services.popoverChat = [&root] { return root.popoverChatViewModel(); };
    services.awaitingReplies = [&root] { return root.awaitingReplyViewModel()->replies().get(); };
    services.fireSampleNotification = [&root](int count) {
        root.awaitingReplyNotifier()->fireSampleNotification(count);
    };
    services.authMode = [&root] { return root.authMode(); };
    services.unlockKeyring = [&root](auto done) { root.unlockKeyring(std::move(done)); };
    services.generateDraft = [&root](std::string contactName, std::string lastMessage,
                                     RouteCredentials credentials, DraftDone done) {
        auto& main = root.mainExecutor();
        root.context().worker.post([&root, &main, contactName = std::move(contactName),
                                    lastMessage = std::move(lastMessage),
                                    credentials = std::move(credentials),
                                    done = std::move(done)]() mutable {
            const auto& responses = root.responses();
            auto draft = DraftReplyGenerator::generate(
                contactName, lastMessage, PersonaContext::empty(), credentials,
                [&responses](const CorvaneResponses::Request& request) {
                    return responses.complete(request);
                });
            main.post([done = std::move(done), draft = std::move(draft)]() mutable {
                done(std::move(draft));
            });
        });
    };
    return services;
}

}  // namespace vask
