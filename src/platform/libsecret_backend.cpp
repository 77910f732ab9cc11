#include "platform/libsecret_backend.h"

#include <libsecret/secret.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "platform/base64.h"
#include "platform/logger.h"

namespace vask {
namespace {

// Never destroyed: a call thread still waiting on the service when the process exits may log.
const Logger& logger() {
    static const auto* const instance = new Logger("ai.ternwick.Vask", "keychain");
    return *instance;
}

const SecretSchema* schema() {
    static const SecretSchema instance = [] {
        SecretSchema s{};
        s.name = "ai.ternwick.Vask.GenericPassword";
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[2] = {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &instance;
}

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using ServicePtr = std::unique_ptr<SecretService, ObjectUnref>;
using CollectionPtr = std::unique_ptr<SecretCollection, ObjectUnref>;
using CancellablePtr = std::unique_ptr<GCancellable, ObjectUnref>;

struct AttributesUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
using AttributesPtr = std::unique_ptr<GHashTable, AttributesUnref>;

struct ItemsFree {
    void operator()(GList* items) const { g_list_free_full(items, g_object_unref); }
};
using ItemsPtr = std::unique_ptr<GList, ItemsFree>;

// Maps a libsecret or D-Bus failure onto the keychain's status numbers, and logs what the
// service said (never the value).
SecretBackend::Outcome failureOf(const GError* error, std::string_view operation,
                                 std::string_view account) {
    logger().error("secret_service_failed operation=" + std::string(operation) +
                   " key=" + std::string(account) + " error=" + error->message);
    std::string reason = std::string("the Secret Service answered: ") + error->message;
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
        return {SecretBackend::cancelled, std::move(reason)};
    }
    if (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED)) {
        return {SecretBackend::interactionNotAllowed, std::move(reason)};
    }
    if (error->domain == G_DBUS_ERROR || error->domain == G_IO_ERROR) {
        return {SecretBackend::notAvailable, std::move(reason)};
    }
    return {SecretBackend::internalError, std::move(reason)};
}

const SecretBackend::Outcome& lockedKeyring() {
    static const auto* const outcome =
        new SecretBackend::Outcome(SecretBackend::interactionNotAllowed, "the keyring is locked");
    return *outcome;
}

// The calls waited for, so that a quit can give them all up. Never destroyed: a call thread may
// finish after the process began to exit.
struct Calls {
    std::mutex mutex;
    std::condition_variable answered;
    std::set<GCancellable*> running;
    // The prompts open for unlocks (the bus each is on, with a reference), by path: the quit
    // dismisses them.
    std::map<std::string, GDBusConnection*> prompts;
    bool abandoned = false;
};

Calls& calls() {
    static auto* const instance = new Calls;
    return *instance;
}

constexpr const char* secretsName = "org.freedesktop.secrets";
constexpr const char* promptInterface = "org.freedesktop.Secret.Prompt";

// The thread that follows the Secret Service's name, with its main context and its own
// connection to the session bus (never the process's shared one, which it would keep alive),
// while anyone listens: the last listener's going ends it and closes the connection.
struct Watcher {
    GMainContext* context = g_main_context_new();
    std::atomic<bool> stopping{false};
    std::thread thread;

    Watcher() = default;
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;
    ~Watcher() { g_main_context_unref(context); }
};

// Who follows the Secret Service's name on the session bus. Never destroyed: a listener may
// go while the process exits.
struct Presence {
    std::mutex mutex;
    // Held while listeners are told: a listener that goes waits for a call to it under way.
    std::recursive_mutex telling;
    std::map<std::uint64_t, std::function<void(bool)>> listeners;
    std::uint64_t next = 0;
    std::shared_ptr<Watcher> watcher;
};

Presence& presence() {
    static auto* const instance = new Presence;
    return *instance;
}

// Set on every watcher's thread: a watcher stopped there (by a listener) is not waited for, as
// it may itself wait for this thread's call to end.
thread_local bool onWatcherThread = false;

void ownerChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                  GVariant* parameters, gpointer) {
    const gchar* name = nullptr;
    const gchar* before = nullptr;
    const gchar* after = nullptr;
    g_variant_get(parameters, "(&s&s&s)", &name, &before, &after);
    const bool went = before != nullptr && *before != '\0';
    const bool came = after != nullptr && *after != '\0';
    // The connection libsecret keeps has a session with the daemon that went: the next call
    // opens one with whichever answers now.
    secret_service_disconnect();
    logger().info(std::string("secret_service_owner_changed") + (went ? " went=" : "") +
                  (went ? before : "") + (came ? " came=" : "") + (came ? after : ""));
    auto& shared = presence();
    std::lock_guard telling(shared.telling);
    std::vector<std::function<void(bool)>> listeners;
    {
        std::lock_guard lock(shared.mutex);
        for (const auto& [id, listener] : shared.listeners) {
            listeners.push_back(listener);
        }
    }
    for (const auto& listener : listeners) {
        listener(came);
    }
}

// The session bus's address, connected to privately; null (logged) when there is none.
GDBusConnection* privateSessionBus() {
    GError* raw = nullptr;
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &raw);
    GDBusConnection* bus = nullptr;
    if (address != nullptr) {
        bus = g_dbus_connection_new_for_address_sync(
            address,
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &raw);
        g_free(address);
    }
    if (bus == nullptr) {
        logger().error(std::string("secret_service_not_watched error=") +
                       (raw != nullptr ? raw->message : "no session bus"));
        g_clear_error(&raw);
    }
    return bus;
}

// Starts following the name on a thread of its own, and returns once it is subscribed (or has
// failed to be): a daemon that takes the name from then on is heard.
std::shared_ptr<Watcher> startWatching() {
    auto watcher = std::make_shared<Watcher>();
    auto subscribed = std::make_shared<std::promise<void>>();
    auto ready = subscribed->get_future();
    // The thread keeps its watcher: one stopped from its own thread is left to end by itself.
    watcher->thread = std::thread([watcher, subscribed] {
        onWatcherThread = true;
        g_main_context_push_thread_default(watcher->context);
        GDBusConnection* bus = privateSessionBus();
        guint subscription = 0;
        if (bus != nullptr) {
            subscription = g_dbus_connection_signal_subscribe(
                bus, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                "/org/freedesktop/DBus", secretsName, G_DBUS_SIGNAL_FLAGS_NONE, ownerChanged,
                nullptr, nullptr);
            // The subscription is the bus daemon's once a call made after it is answered.
            GVariant* reply = g_dbus_connection_call_sync(
                bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "GetId", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
            if (reply != nullptr) {
                g_variant_unref(reply);
            }
        }
        subscribed->set_value();
        while (bus != nullptr && !watcher->stopping.load()) {
            g_main_context_iteration(watcher->context, TRUE);
        }
        if (bus != nullptr) {
            g_dbus_connection_signal_unsubscribe(bus, subscription);
            g_dbus_connection_close_sync(bus, nullptr, nullptr);
            g_object_unref(bus);
        }
        // Whatever the connection left queued for this context goes with it.
        while (g_main_context_iteration(watcher->context, FALSE)) {
        }
        g_main_context_pop_thread_default(watcher->context);
    });
    ready.wait();
    return watcher;
}

// Ends the watcher's thread and waits for it (unless called on a watcher's thread, from a
// listener).
void stopWatching(const std::shared_ptr<Watcher>& watcher) {
    watcher->stopping.store(true);
    g_main_context_wakeup(watcher->context);
    if (onWatcherThread) {
        // The thread ends once its call returns; the watcher goes with the last reference.
        watcher->thread.detach();
        return;
    }
    watcher->thread.join();
}

// Runs `work` on a thread of its own with a cancellable the quit (and the time limit) cancels,
// and waits for its answer for at most `limit` (no limit when nothing): given up, the caller
// gets `cancelled` at once and the thread is left to end whenever the service answers.
SecretBackend::ReadResult runCall(std::string_view operation,
                                  std::optional<std::chrono::milliseconds> limit,
                                  std::function<SecretBackend::ReadResult(GCancellable*)> work) {
    struct State {
        std::optional<SecretBackend::ReadResult> result;
    };
    auto state = std::make_shared<State>();
    auto& shared = calls();
    std::shared_ptr<GCancellable> cancellable(g_cancellable_new(), ObjectUnref());
    {
        std::lock_guard lock(shared.mutex);
        if (shared.abandoned) {
            return {SecretBackend::cancelled, std::nullopt, "Vask is quitting"};
        }
        shared.running.insert(cancellable.get());
    }
    std::thread([state, cancellable, work = std::move(work)] {
        auto result = work(cancellable.get());
        auto& waiting = calls();
        std::lock_guard lock(waiting.mutex);
        waiting.running.erase(cancellable.get());
        state->result = std::move(result);
        waiting.answered.notify_all();
    }).detach();

    std::unique_lock lock(shared.mutex);
    const auto answered = [&] { return state->result.has_value() || shared.abandoned; };
    bool inTime = true;
    if (limit) {
        inTime = shared.answered.wait_for(lock, *limit, answered);
    } else {
        shared.answered.wait(lock, answered);
    }
    if (state->result) {
        return std::move(*state->result);
    }
    // The thread's own answer, whenever it comes, goes nowhere.
    g_cancellable_cancel(cancellable.get());
    logger().error("secret_service_call_given_up operation=" + std::string(operation) +
                   (inTime ? " why=quit" : " why=time_limit"));
    return {SecretBackend::cancelled, std::nullopt,
            inTime ? "Vask is quitting" : "the Secret Service did not answer in time"};
}

SecretBackend::Outcome runChange(std::string_view operation,
                                 std::optional<std::chrono::milliseconds> limit,
                                 std::function<SecretBackend::Outcome(GCancellable*)> work) {
    const auto read =
        runCall(operation, limit, [work = std::move(work)](GCancellable* cancellable) {
            auto outcome = work(cancellable);
            return SecretBackend::ReadResult{outcome.status, std::nullopt,
                                             std::move(outcome.reason)};
        });
    return {read.status, read.reason};
}

// The process's connection to the service (libsecret keeps one), with a session for secrets.
ServicePtr openService(GCancellable* cancellable, ErrorPtr& error) {
    GError* raw = nullptr;
    ServicePtr service(secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, cancellable, &raw));
    error.reset(raw);
    return service;
}

// The collection behind the "default" alias, looked up without creating it; null when the
// alias names none (error empty) or the service failed (error set).
CollectionPtr defaultCollection(SecretService* service, GCancellable* cancellable,
                                ErrorPtr& error) {
    GError* raw = nullptr;
    CollectionPtr collection(secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, cancellable, &raw));
    error.reset(raw);
    return collection;
}

// Vask's items for `service` (and `account` when given), locked ones included, never
// unlocking; their secrets loaded when `secrets` says so.
ItemsPtr search(SecretService* connection, const std::string& service,
                const std::optional<std::string>& account, bool secrets, GCancellable* cancellable,
                ErrorPtr& error) {
    AttributesPtr attributes(
        account ? secret_attributes_build(schema(), "service", service.c_str(), "account",
                                          account->c_str(), nullptr)
                : secret_attributes_build(schema(), "service", service.c_str(), nullptr));
    const int flags = SECRET_SEARCH_ALL | (secrets ? SECRET_SEARCH_LOAD_SECRETS : 0);
    GError* raw = nullptr;
    ItemsPtr items(secret_service_search_sync(connection, schema(), attributes.get(),
                                              static_cast<SecretSearchFlags>(flags), cancellable,
                                              &raw));
    error.reset(raw);
    return items;
}

// What a search that found nothing says: no item when the default keyring is unlocked (or there
// is none), else `interactionNotAllowed`: a locked keyring need not show its items at all
// (gnome-keyring's login keyring at start), so what it holds is unknown, not absent. Reads and
// removals alike answer so: a removal that saw nothing there has removed nothing.
SecretBackend::Outcome nothingFound(SecretService* connection, std::string_view operation,
                                    const std::string& account, GCancellable* cancellable) {
    ErrorPtr error;
    const auto collection = defaultCollection(connection, cancellable, error);
    if (error) {
        return failureOf(error.get(), operation, account);
    }
    if (collection && secret_collection_get_locked(collection.get())) {
        return lockedKeyring();
    }
    return SecretBackend::itemNotFound;
}

SecretBackend::ReadResult lookUp(const std::string& service, const std::string& account,
                                 GCancellable* cancellable) {
    ErrorPtr error;
    const auto connection = openService(cancellable, error);
    if (!connection) {
        const auto failure = error ? failureOf(error.get(), "read", account)
                                   : SecretBackend::Outcome(SecretBackend::notAvailable);
        return {failure.status, std::nullopt, failure.reason};
    }
    const auto items = search(connection.get(), service, account, true, cancellable, error);
    if (error) {
        auto failure = failureOf(error.get(), "read", account);
        return {failure.status, std::nullopt, std::move(failure.reason)};
    }
    if (!items) {
        auto nothing = nothingFound(connection.get(), "read", account, cancellable);
        return {nothing.status, std::nullopt, std::move(nothing.reason)};
    }
    // An unlocked copy wins over a locked one of the same account.
    bool locked = false;
    for (GList* node = items.get(); node != nullptr; node = node->next) {
        auto* item = static_cast<SecretItem*>(node->data);
        SecretValue* value = secret_item_get_secret(item);
        if (secret_item_get_locked(item) || value == nullptr) {
            locked = true;
            if (value != nullptr) {
                secret_value_unref(value);
            }
            continue;
        }
        auto data = base64Decode(secret_value_get_text(value));
        secret_value_unref(value);
        if (!data) {
            logger().error("secret_service_value_undecodable key=" + account);
            return {SecretBackend::decodeFailed, std::nullopt};
        }
        return {SecretBackend::success, std::move(data)};
    }
    return {lockedKeyring().status, std::nullopt, locked ? lockedKeyring().reason : ""};
}

SecretBackend::Outcome store(const std::string& service, const std::string& account,
                             const std::string& encoded, GCancellable* cancellable) {
    ErrorPtr error;
    const auto connection = openService(cancellable, error);
    if (!connection) {
        return error ? failureOf(error.get(), "write", account)
                     : SecretBackend::Outcome(SecretBackend::notAvailable);
    }
    const auto collection = defaultCollection(connection.get(), cancellable, error);
    if (error) {
        return failureOf(error.get(), "write", account);
    }
    if (!collection) {
        return {SecretBackend::interactionNotAllowed, "there is no default keyring"};
    }
    if (secret_collection_get_locked(collection.get())) {
        return lockedKeyring();
    }
    AttributesPtr attributes(secret_attributes_build(schema(), "service", service.c_str(),
                                                     "account", account.c_str(), nullptr));
    SecretValue* value = secret_value_new(encoded.c_str(), -1, "text/plain");
    const std::string label = service + " " + account;
    GError* raw = nullptr;
    // Replacing an item with the same attributes, so an update keeps one item.
    SecretItem* item =
        secret_item_create_sync(collection.get(), schema(), attributes.get(), label.c_str(), value,
                                SECRET_ITEM_CREATE_REPLACE, cancellable, &raw);
    secret_value_unref(value);
    error.reset(raw);
    if (item != nullptr) {
        g_object_unref(item);
    }
    if (error) {
        return failureOf(error.get(), "write", account);
    }
    return SecretBackend::success;
}

// Writes when the item exists (`existing` true) or does not (false), as update and add ask.
SecretBackend::Outcome storeIf(bool existing, const std::string& service,
                               const std::string& account, const std::string& encoded,
                               GCancellable* cancellable) {
    const auto found = lookUp(service, account, cancellable);
    if (found.status == SecretBackend::success || found.status == SecretBackend::itemNotFound) {
        if ((found.status == SecretBackend::success) != existing) {
            return existing ? SecretBackend::itemNotFound : SecretBackend::duplicateItem;
        }
        return store(service, account, encoded, cancellable);
    }
    return {found.status, found.reason};
}

// Removes every item of `account`; leaves them all when one is locked (its removal would need
// the keyring's prompt), and says so when the keyring is locked and shows none.
SecretBackend::Outcome deleteItems(SecretService* connection, const std::string& service,
                                   const std::optional<std::string>& account,
                                   GCancellable* cancellable) {
    ErrorPtr error;
    const auto items = search(connection, service, account, false, cancellable, error);
    if (error) {
        return failureOf(error.get(), "delete", account.value_or(""));
    }
    if (!items) {
        return nothingFound(connection, "delete", account.value_or(""), cancellable);
    }
    for (GList* node = items.get(); node != nullptr; node = node->next) {
        if (secret_item_get_locked(static_cast<SecretItem*>(node->data))) {
            return lockedKeyring();
        }
    }
    for (GList* node = items.get(); node != nullptr; node = node->next) {
        GError* raw = nullptr;
        secret_item_delete_sync(static_cast<SecretItem*>(node->data), cancellable, &raw);
        error.reset(raw);
        if (error) {
            return failureOf(error.get(), "delete", account.value_or(""));
        }
    }
    return SecretBackend::success;
}

// Whether the Secret Service on `bus` is gnome-keyring-daemon, by its process's name: its
// Prompt.Dismiss of an open unlock prompt takes the daemon down (SIGABRT, seen with 42.1), and
// with it every keyring of the session, so its prompt is left to the user rather than dismissed.
bool dismissAborts(GDBusConnection* bus) {
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetConnectionUnixProcessID", g_variant_new("(s)", secretsName), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr);
    if (reply == nullptr) {
        return false;
    }
    guint32 pid = 0;
    g_variant_get(reply, "(u)", &pid);
    g_variant_unref(reply);
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.starts_with("gnome-keyring-d");
}

// Dismisses an open prompt of Vask's, within a short limit; what fails is only logged.
void dismiss(GDBusConnection* bus, const std::string& path) {
    if (dismissAborts(bus)) {
        logger().info("secret_service_prompt_left reason=dismissal_aborts_gnome_keyring");
        return;
    }
    GError* raw = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, secretsName, path.c_str(), promptInterface, "Dismiss", nullptr, nullptr,
        G_DBUS_CALL_FLAGS_NO_AUTO_START, 1000, nullptr, &raw);
    if (reply != nullptr) {
        g_variant_unref(reply);
        logger().info("secret_service_prompt_dismissed");
    } else {
        logger().error(std::string("secret_service_prompt_not_dismissed error=") +
                       (raw != nullptr ? raw->message : ""));
        g_clear_error(&raw);
    }
}

// What waiting for a prompt found.
struct PromptWait {
    bool completed = false;
    bool dismissed = false;
    // The daemon whose prompt it is went (or another took its name).
    bool gone = false;
    bool cancelled = false;
    // The keyring was unlocked by other means (another client, another prompt) while Vask's
    // prompt was open: its collections' Locked turned false.
    bool unlockedElsewhere = false;
    GVariant* result = nullptr;

    bool over() const { return completed || gone || cancelled || unlockedElsewhere; }
};

// How long an unlock seen by the keyring's Locked property waits for its prompt's Completed
// signal, which follows it when the prompt itself unlocked it.
constexpr guint promptCompletionGrace = 200;

// What the wait for a prompt follows of the keyring besides the prompt: the collections whose
// Locked property ends it once false.
struct LockFollow {
    PromptWait* wait;
    GDBusConnection* bus;
    const std::vector<std::string>* collections;
    GCancellable* cancellable;
};

// Whether every collection followed is unlocked now, as the service says within a short limit.
bool collectionsUnlocked(const LockFollow& follow) {
    for (const auto& path : *follow.collections) {
        GVariant* reply = g_dbus_connection_call_sync(
            follow.bus, secretsName, path.c_str(), "org.freedesktop.DBus.Properties", "Get",
            g_variant_new("(ss)", "org.freedesktop.Secret.Collection", "Locked"),
            G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, 1000, follow.cancellable,
            nullptr);
        if (reply == nullptr) {
            return false;
        }
        GVariant* value = nullptr;
        g_variant_get(reply, "(v)", &value);
        const bool locked =
            !g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) || g_variant_get_boolean(value);
        g_variant_unref(value);
        g_variant_unref(reply);
        if (locked) {
            return false;
        }
    }
    return !follow.collections->empty();
}

// A collection's properties changed, or the service says a collection changed: the keyring may
// have been unlocked elsewhere.
void lockMayHaveChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                        GVariant*, gpointer data) {
    const auto* follow = static_cast<const LockFollow*>(data);
    if (!follow->wait->over() && collectionsUnlocked(*follow)) {
        follow->wait->unlockedElsewhere = true;
    }
}

// The collection that holds the object at `path` (an item's, or the collection itself).
std::string collectionOf(const std::string& path) {
    constexpr std::string_view prefix = "/org/freedesktop/secrets/collection/";
    if (!path.starts_with(prefix)) {
        return path;
    }
    const auto end = path.find('/', prefix.size());
    return end == std::string::npos ? path : path.substr(0, end);
}

void promptCompleted(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                     GVariant* parameters, gpointer data) {
    auto* wait = static_cast<PromptWait*>(data);
    gboolean dismissed = FALSE;
    GVariant* result = nullptr;
    g_variant_get(parameters, "(bv)", &dismissed, &result);
    wait->completed = true;
    wait->dismissed = dismissed != FALSE;
    if (wait->result != nullptr) {
        g_variant_unref(wait->result);
    }
    wait->result = result;
}

void promptOwnerChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                        GVariant*, gpointer data) {
    static_cast<PromptWait*>(data)->gone = true;
}

gboolean promptCancelled(GCancellable*, gpointer data) {
    static_cast<PromptWait*>(data)->cancelled = true;
    return G_SOURCE_REMOVE;
}

// Shows the prompt at `path` and waits, on a main context of this thread's own, for its
// Completed signal, the daemon's going, the quit, or `collections` unlocked by other means
// (their Locked property, followed by its own signals: the prompt is then dismissed where the
// service allows it). Unlocked items in `result` when it completed.
PromptWait performPrompt(GDBusConnection* bus, const std::string& path,
                         const std::vector<std::string>& collections, GCancellable* cancellable) {
    PromptWait wait;
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    LockFollow follow{&wait, bus, &collections, cancellable};
    const guint properties = g_dbus_connection_signal_subscribe(
        bus, nullptr, "org.freedesktop.DBus.Properties", "PropertiesChanged", nullptr,
        "org.freedesktop.Secret.Collection", G_DBUS_SIGNAL_FLAGS_NONE, lockMayHaveChanged, &follow,
        nullptr);
    const guint collectionChanged = g_dbus_connection_signal_subscribe(
        bus, nullptr, "org.freedesktop.Secret.Service", "CollectionChanged",
        "/org/freedesktop/secrets", nullptr, G_DBUS_SIGNAL_FLAGS_NONE, lockMayHaveChanged, &follow,
        nullptr);
    const guint completed = g_dbus_connection_signal_subscribe(
        bus, nullptr, promptInterface, "Completed", path.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        promptCompleted, &wait, nullptr);
    const guint owner = g_dbus_connection_signal_subscribe(
        bus, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
        "/org/freedesktop/DBus", secretsName, G_DBUS_SIGNAL_FLAGS_NONE, promptOwnerChanged, &wait,
        nullptr);
    GSource* quit = g_cancellable_source_new(cancellable);
    g_source_set_callback(quit, G_SOURCE_FUNC(promptCancelled), &wait, nullptr);
    g_source_attach(quit, context);
    auto& shared = calls();
    bool open = false;
    {
        std::lock_guard lock(shared.mutex);
        if (!shared.abandoned) {
            shared.prompts.emplace(path, G_DBUS_CONNECTION(g_object_ref(bus)));
            open = true;
        }
    }
    if (open) {
        GError* raw = nullptr;
        GVariant* shown = g_dbus_connection_call_sync(
            bus, secretsName, path.c_str(), promptInterface, "Prompt", g_variant_new("(s)", ""),
            nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, cancellable, &raw);
        if (shown == nullptr) {
            // Gone already, or refused: nothing is shown.
            logger().error(std::string("secret_service_prompt_failed error=") +
                           (raw != nullptr ? raw->message : ""));
            g_clear_error(&raw);
            wait.gone = !g_cancellable_is_cancelled(cancellable);
            wait.cancelled = !wait.gone;
        } else {
            g_variant_unref(shown);
            // Unlocked between the question and the prompt's showing: no signal is to come.
            if (collectionsUnlocked(follow)) {
                wait.unlockedElsewhere = true;
            }
        }
        while (!wait.over()) {
            g_main_context_iteration(context, TRUE);
        }
        if (wait.unlockedElsewhere && !wait.completed) {
            // The keyring tells of its unlock before the prompt that made it says it completed:
            // a moment's grace tells Vask's own prompt answered from one answered elsewhere.
            bool graceOver = false;
            GSource* grace = g_timeout_source_new(promptCompletionGrace);
            g_source_set_callback(
                grace,
                [](gpointer over) {
                    *static_cast<bool*>(over) = true;
                    return G_SOURCE_REMOVE;
                },
                &graceOver, nullptr);
            g_source_attach(grace, context);
            while (!graceOver && !wait.completed && !wait.gone && !wait.cancelled) {
                g_main_context_iteration(context, TRUE);
            }
            g_source_destroy(grace);
            g_source_unref(grace);
        }
        bool mine = false;
        {
            std::lock_guard lock(shared.mutex);
            if (const auto it = shared.prompts.find(path); it != shared.prompts.end()) {
                g_object_unref(it->second);
                shared.prompts.erase(it);
                mine = true;
            }
        }
        if (mine && wait.unlockedElsewhere && !wait.completed && !wait.cancelled) {
            // Nothing is left to type into it.
            logger().info("secret_service_unlocked_elsewhere");
            dismiss(bus, path);
        }
    } else {
        wait.cancelled = true;
    }
    g_source_destroy(quit);
    g_source_unref(quit);
    g_dbus_connection_signal_unsubscribe(bus, completed);
    g_dbus_connection_signal_unsubscribe(bus, owner);
    g_dbus_connection_signal_unsubscribe(bus, properties);
    g_dbus_connection_signal_unsubscribe(bus, collectionChanged);
    // Whatever a signal left queued for this context goes with it.
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    return wait;
}

}  // namespace

void LibsecretBackend::abandonCalls() {
    auto& shared = calls();
    std::map<std::string, GDBusConnection*> prompts;
    {
        std::lock_guard lock(shared.mutex);
        if (shared.abandoned) {
            // Taken once: the first call gives everything up and dismisses the prompts.
            return;
        }
        logger().info("secret_service_calls_abandoned");
        shared.abandoned = true;
        prompts = std::exchange(shared.prompts, {});
        for (GCancellable* cancellable : shared.running) {
            g_cancellable_cancel(cancellable);
        }
        shared.answered.notify_all();
    }
    if (prompts.empty()) {
        return;
    }
    // Vask's own prompt goes with it rather than stay on the screen. A service that stopped
    // answering would hold each dismissal for its own limit: they are sent from a thread of
    // their own, waited for within the quit's budget, and left to end by themselves after it.
    auto sent = std::make_shared<std::promise<void>>();
    auto dismissed = sent->get_future();
    std::thread([prompts = std::move(prompts), sent] {
        for (const auto& [path, bus] : prompts) {
            dismiss(bus, path);
            g_object_unref(bus);
        }
        sent->set_value();
    }).detach();
    if (dismissed.wait_for(dismissalLimit) != std::future_status::ready) {
        logger().error("secret_service_prompt_dismissal_given_up");
    }
}

Subscription LibsecretBackend::watchService(std::function<void(bool present)> changed) {
    auto& shared = presence();
    std::lock_guard lock(shared.mutex);
    if (!shared.watcher) {
        shared.watcher = startWatching();
    }
    const auto id = shared.next++;
    shared.listeners.emplace(id, std::move(changed));
    return Subscription([id] {
        auto& watched = presence();
        std::shared_ptr<Watcher> last;
        {
            std::lock_guard held(watched.mutex);
            watched.listeners.erase(id);
            if (watched.listeners.empty()) {
                last = std::move(watched.watcher);
            }
        }
        if (last) {
            stopWatching(last);
        }
        // A call to it under way ends before its owner goes on, on whichever watcher's thread:
        // one stopped by an earlier last cancel may still be ending, its calls not over.
        std::lock_guard telling(watched.telling);
    });
}

std::shared_ptr<LibsecretBackend> LibsecretBackend::connect(Outcome& whyNot, Duration changeLimit) {
    const auto connected =
        runChange("connect", changeLimit, [](GCancellable* cancellable) -> Outcome {
            ErrorPtr error;
            if (openService(cancellable, error)) {
                return success;
            }
            if (!error) {
                return {notAvailable, "no Secret Service"};
            }
            // A service that owns its name and did not answer (yet) is not one that is absent.
            const bool noAnswer =
                g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED) ||
                g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_TIMED_OUT) ||
                g_error_matches(error.get(), G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY) ||
                g_error_matches(error.get(), G_DBUS_ERROR, G_DBUS_ERROR_TIMEOUT) ||
                g_error_matches(error.get(), G_DBUS_ERROR, G_DBUS_ERROR_TIMED_OUT);
            return {noAnswer ? cancelled : notAvailable, error->message};
        });
    if (connected.status != success) {
        whyNot = {connected.status,
                  connected.reason.empty() ? "no Secret Service" : connected.reason};
        return nullptr;
    }
    return std::shared_ptr<LibsecretBackend>(new LibsecretBackend(changeLimit));
}

std::optional<LibsecretBackend::DefaultKeyring> LibsecretBackend::defaultKeyring(
    std::string& whyNot) {
    // The state rides in the status: success unlocked, itemNotFound missing, refusal locked.
    const auto answer = runChange("state", defaultChangeLimit, [](GCancellable* cancellable) {
        ErrorPtr error;
        const auto service = openService(cancellable, error);
        if (!service) {
            return Outcome{notAvailable, error ? error->message : "no Secret Service"};
        }
        const auto collection = defaultCollection(service.get(), cancellable, error);
        if (error) {
            return Outcome{internalError, error->message};
        }
        if (!collection) {
            return Outcome{itemNotFound};
        }
        return secret_collection_get_locked(collection.get()) ? lockedKeyring() : Outcome{};
    });
    switch (answer.status) {
        case success:
            return DefaultKeyring::unlocked;
        case itemNotFound:
            return DefaultKeyring::missing;
        case interactionNotAllowed:
            return DefaultKeyring::locked;
        default:
            whyNot = answer.reason;
            return std::nullopt;
    }
}

SecretBackend::ReadResult LibsecretBackend::copyMatching(std::string_view service,
                                                         std::string_view account) {
    // Within the same limit as a change: a keyring that stopped answering is said to, rather
    // than wait out D-Bus's own time limit.
    return runCall(
        "read", changeLimit_,
        [service = std::string(service), account = std::string(account)](
            GCancellable* cancellable) { return lookUp(service, account, cancellable); });
}

SecretBackend::Outcome LibsecretBackend::update(std::string_view service, std::string_view account,
                                                std::string_view data) {
    return runChange("update", changeLimit_,
                     [service = std::string(service), account = std::string(account),
                      encoded = base64Encode(data)](GCancellable* cancellable) {
                         return storeIf(true, service, account, encoded, cancellable);
                     });
}

SecretBackend::Outcome LibsecretBackend::add(std::string_view service, std::string_view account,
                                             std::string_view data) {
    return runChange("add", changeLimit_,
                     [service = std::string(service), account = std::string(account),
                      encoded = base64Encode(data)](GCancellable* cancellable) {
                         return storeIf(false, service, account, encoded, cancellable);
                     });
}

SecretBackend::Outcome LibsecretBackend::remove(std::string_view service,
                                                std::string_view account) {
    return removeAll(service, {std::string(account)});
}

SecretBackend::Outcome LibsecretBackend::removeAll(std::string_view service,
                                                   const std::vector<std::string>& accounts) {
    // One call for all of them: a keyring that stopped answering holds a sign-out up for one
    // (short) limit, not one per item.
    return runChange(
        "delete", std::min(changeLimit_, removalLimit),
        [service = std::string(service), accounts](GCancellable* cancellable) -> Outcome {
            ErrorPtr error;
            const auto connection = openService(cancellable, error);
            if (!connection) {
                return error ? failureOf(error.get(), "delete", "") : Outcome(notAvailable);
            }
            Outcome result(itemNotFound);
            for (const auto& account : accounts) {
                addRemoval(result, deleteItems(connection.get(), service, account, cancellable));
            }
            return result;
        });
}

SecretBackend::Outcome LibsecretBackend::removeService(std::string_view service) {
    return runChange("delete", std::min(changeLimit_, removalLimit),
                     [service = std::string(service)](GCancellable* cancellable) -> Outcome {
                         ErrorPtr error;
                         const auto connection = openService(cancellable, error);
                         if (!connection) {
                             return error ? failureOf(error.get(), "delete", "")
                                          : Outcome(notAvailable);
                         }
                         return deleteItems(connection.get(), service, std::nullopt, cancellable);
                     });
}

SecretBackend::Outcome LibsecretBackend::unlock(std::string_view service) {
    logger().info("secret_service_unlock_asked");
    // No time limit: the user answers the prompt when they do. The quit dismisses it, and a
    // daemon that goes ends it unanswered.
    return runChange(
        "unlock", std::nullopt,
        [service = std::string(service)](GCancellable* cancellable) -> Outcome {
            ErrorPtr error;
            const auto connection = openService(cancellable, error);
            if (!connection) {
                return error ? failureOf(error.get(), "unlock", "") : Outcome(notAvailable);
            }
            const auto items =
                search(connection.get(), service, std::nullopt, false, cancellable, error);
            if (error) {
                return failureOf(error.get(), "unlock", "");
            }
            GVariantBuilder objects;
            g_variant_builder_init(&objects, G_VARIANT_TYPE("ao"));
            bool any = false;
            std::vector<std::string> collections;
            const auto follow = [&](const std::string& object) {
                const auto collection = collectionOf(object);
                if (std::ranges::find(collections, collection) == collections.end()) {
                    collections.push_back(collection);
                }
            };
            for (GList* node = items.get(); node != nullptr; node = node->next) {
                if (secret_item_get_locked(static_cast<SecretItem*>(node->data))) {
                    const gchar* object = g_dbus_proxy_get_object_path(G_DBUS_PROXY(node->data));
                    g_variant_builder_add(&objects, "o", object);
                    follow(object);
                    any = true;
                }
            }
            if (!any) {
                // Nothing of Vask's is locked: the default keyring is what later writes need.
                const auto collection = defaultCollection(connection.get(), cancellable, error);
                if (error) {
                    g_variant_builder_clear(&objects);
                    return failureOf(error.get(), "unlock", "");
                }
                if (!collection || !secret_collection_get_locked(collection.get())) {
                    g_variant_builder_clear(&objects);
                    return success;
                }
                const gchar* object = g_dbus_proxy_get_object_path(G_DBUS_PROXY(collection.get()));
                g_variant_builder_add(&objects, "o", object);
                follow(object);
            }
            GDBusConnection* bus = g_dbus_proxy_get_connection(G_DBUS_PROXY(connection.get()));
            GError* raw = nullptr;
            GVariant* reply = g_dbus_connection_call_sync(
                bus, secretsName, "/org/freedesktop/secrets", "org.freedesktop.Secret.Service",
                "Unlock", g_variant_new("(ao)", &objects), G_VARIANT_TYPE("(aoo)"),
                G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, cancellable, &raw);
            error.reset(raw);
            if (error) {
                return failureOf(error.get(), "unlock", "");
            }
            GVariant* unlocked = nullptr;
            const gchar* promptPath = nullptr;
            g_variant_get(reply, "(@ao&o)", &unlocked, &promptPath);
            const std::string prompt = promptPath;
            const bool unlockedAny = g_variant_n_children(unlocked) > 0;
            g_variant_unref(unlocked);
            g_variant_unref(reply);
            if (prompt == "/") {
                return unlockedAny ? Outcome{}
                                   : Outcome{interactionNotAllowed, "the keyring stayed locked"};
            }
            auto wait = performPrompt(bus, prompt, collections, cancellable);
            const bool unlockedInPrompt = wait.result != nullptr &&
                                          g_variant_is_of_type(wait.result, G_VARIANT_TYPE("ao")) &&
                                          g_variant_n_children(wait.result) > 0;
            if (wait.result != nullptr) {
                g_variant_unref(wait.result);
            }
            if (wait.unlockedElsewhere) {
                return success;
            }
            if (wait.gone) {
                logger().error("secret_service_prompt_gone");
                return {cancelled, "the keyring went away with its prompt open"};
            }
            if (wait.cancelled) {
                return {cancelled, "Vask is quitting"};
            }
            if (wait.dismissed || !unlockedInPrompt) {
                return {interactionNotAllowed, "the keyring stayed locked"};
            }
            return success;
        });
}

}  // namespace vask
