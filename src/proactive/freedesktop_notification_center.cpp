#include "proactive/freedesktop_notification_center.h"

#include <gio/gio.h>

#include <algorithm>
#include <condition_variable>

#include "platform/text.h"

// GLib's type macros are C and cast the old way.
#pragma GCC diagnostic ignored "-Wold-style-cast"

namespace vask {
namespace {

constexpr const char* objectPath = "/org/freedesktop/Notifications";
constexpr const char* interfaceName = "org.freedesktop.Notifications";
constexpr gint callTimeoutMs = 5000;
constexpr const char* defaultActionKey = "default";
constexpr const char* bodyMarkupCapability = "body-markup";
// Quitting waits this long at most for the withdrawals to reach the bus.
constexpr gint withdrawFlushMs = 1000;

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;

struct VariantUnref {
    void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

// Whether a reply of one string array holds `wanted`.
bool holds(GVariant* reply, std::string_view wanted) {
    GVariantIter* items = nullptr;
    g_variant_get(reply, "(as)", &items);
    bool found = false;
    const gchar* item = nullptr;
    while (!found && g_variant_iter_next(items, "&s", &item)) {
        found = wanted == item;
    }
    g_variant_iter_free(items);
    return found;
}

}  // namespace

// The connection, a thread running its own main context for the server's signals, and the map
// from our identifiers to the server's numbers.
struct FreedesktopNotificationCenter::Bus {
    struct Shown {
        guint32 serverID = 0;
        NotificationUserInfo userInfo;
    };

    std::string busName;
    GMainContext* context = g_main_context_new();
    GMainLoop* loop = g_main_loop_new(context, FALSE);
    // Cancelled when the application quits: a call waiting on a server that stopped answering
    // returns at once, and so does every call still queued behind it.
    GCancellable* quitting = g_cancellable_new();
    GDBusConnection* connection = nullptr;
    std::string connectionError;
    std::thread thread;

    std::mutex mutex;
    std::condition_variable ready;
    bool started = false;
    std::map<std::string, Shown> shown;  // by our identifier
    TapReceiver tapReceiver;
    // Asked once, on the calls queue, from the first server that answers.
    std::optional<bool> readsMarkup;

    explicit Bus(std::string name) : busName(std::move(name)) {
        thread = std::thread([this] { run(); });
        std::unique_lock lock(mutex);
        ready.wait(lock, [this] { return started; });
    }

    ~Bus() {
        // Quitting from inside the loop: a quit that arrived before the loop started running
        // would be forgotten, and the join would wait forever.
        g_main_context_invoke(
            context,
            [](gpointer data) -> gboolean {
                g_main_loop_quit(static_cast<GMainLoop*>(data));
                return G_SOURCE_REMOVE;
            },
            loop);
        thread.join();
        if (connection) {
            g_object_unref(connection);
        }
        g_main_loop_unref(loop);
        g_main_context_unref(context);
        g_object_unref(quitting);
    }

    void run() {
        g_main_context_push_thread_default(context);
        GError* raw = nullptr;
        connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw);
        const ErrorPtr error(raw);
        guint actionSubscription = 0;
        guint closedSubscription = 0;
        if (connection) {
            // Subscribed from this thread, so the signals are delivered on its context.
            actionSubscription = g_dbus_connection_signal_subscribe(
                connection, nullptr, interfaceName, "ActionInvoked", objectPath, nullptr,
                G_DBUS_SIGNAL_FLAGS_NONE, &Bus::onActionInvoked, this, nullptr);
            closedSubscription = g_dbus_connection_signal_subscribe(
                connection, nullptr, interfaceName, "NotificationClosed", objectPath, nullptr,
                G_DBUS_SIGNAL_FLAGS_NONE, &Bus::onClosed, this, nullptr);
        } else {
            connectionError = error ? error->message : "no session bus";
        }
        {
            std::lock_guard lock(mutex);
            started = true;
        }
        ready.notify_all();
        g_main_loop_run(loop);
        if (connection) {
            g_dbus_connection_signal_unsubscribe(connection, actionSubscription);
            g_dbus_connection_signal_unsubscribe(connection, closedSubscription);
        }
        g_main_context_pop_thread_default(context);
    }

    std::optional<std::string> ourIdentifier(guint32 serverID) {
        for (const auto& [identifier, entry] : shown) {
            if (entry.serverID == serverID) {
                return identifier;
            }
        }
        return std::nullopt;
    }

    static void onActionInvoked(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                const gchar*, GVariant* parameters, gpointer data) {
        auto* bus = static_cast<Bus*>(data);
        if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
            return;
        }
        guint32 serverID = 0;
        const gchar* actionKey = nullptr;
        g_variant_get(parameters, "(u&s)", &serverID, &actionKey);
        TapReceiver receiver;
        NotificationUserInfo userInfo;
        {
            std::lock_guard lock(bus->mutex);
            const auto identifier = bus->ourIdentifier(serverID);
            if (!identifier) {
                return;  // another application's notification
            }
            userInfo = bus->shown[*identifier].userInfo;
            const auto action = userInfo.find("action");
            const bool ours = std::string_view(actionKey) == defaultActionKey ||
                              (action != userInfo.end() && action->second == actionKey);
            if (!ours) {
                return;
            }
            receiver = bus->tapReceiver;
        }
        if (receiver) {
            receiver(userInfo);
        }
    }

    static void onClosed(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                         GVariant* parameters, gpointer data) {
        auto* bus = static_cast<Bus*>(data);
        if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) {
            return;
        }
        guint32 serverID = 0;
        guint32 reason = 0;
        g_variant_get(parameters, "(uu)", &serverID, &reason);
        std::lock_guard lock(bus->mutex);
        if (const auto identifier = bus->ourIdentifier(serverID)) {
            bus->shown.erase(*identifier);
        }
    }

    // Blocking; on the calls queue. `autoStart`: the bus may start an activatable server for
    // this call (posting), rather than fail while none runs (closing).
    VariantPtr call(const char* method, GVariant* parameters, const GVariantType* replyType,
                    std::string& failure, bool autoStart = false) const {
        GError* raw = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(
            connection, busName.c_str(), objectPath, interfaceName, method, parameters, replyType,
            autoStart ? G_DBUS_CALL_FLAGS_NONE : G_DBUS_CALL_FLAGS_NO_AUTO_START, callTimeoutMs,
            quitting, &raw);
        const ErrorPtr error(raw);
        if (!reply) {
            failure = error ? error->message : "no reply";
        }
        return VariantPtr(reply);
    }

    // A call to the bus itself; the reply, or nothing with `failure` set.
    VariantPtr askBus(const char* method, GVariant* parameters, const GVariantType* replyType,
                      std::string& failure) const {
        GError* raw = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(
            connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            method, parameters, replyType, G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, quitting, &raw);
        const ErrorPtr error(raw);
        if (!reply) {
            failure =
                std::string("Session bus did not answer: ") + (error ? error->message : "no reply");
        }
        return VariantPtr(reply);
    }

    // Why nothing can be shown, or nothing when a server runs or the bus can start one.
    std::optional<std::string> unavailability() const {
        if (g_cancellable_is_cancelled(quitting)) {
            return std::string("Vask is quitting");
        }
        if (!connection) {
            return "No session bus: " + connectionError;
        }
        std::string failure;
        const auto owned = askBus("NameHasOwner", g_variant_new("(s)", busName.c_str()),
                                  G_VARIANT_TYPE("(b)"), failure);
        if (!owned) {
            return failure;
        }
        gboolean hasOwner = FALSE;
        g_variant_get(owned.get(), "(b)", &hasOwner);
        if (hasOwner) {
            return std::nullopt;
        }
        // Many desktops start their notification server on demand: the bus starts it for the
        // first call that allows it.
        const auto activatable =
            askBus("ListActivatableNames", nullptr, G_VARIANT_TYPE("(as)"), failure);
        if (!activatable) {
            return failure;
        }
        if (!holds(activatable.get(), busName)) {
            return "No notification server on the session bus";
        }
        return std::nullopt;
    }

    // Whether the server renders bodies as markup; asked once, starting the server if need be.
    // A server that does not answer is taken to read markup, so nothing goes out unescaped.
    bool serverReadsMarkup() {
        if (readsMarkup) {
            return *readsMarkup;
        }
        std::string failure;
        const auto reply = call("GetCapabilities", nullptr, G_VARIANT_TYPE("(as)"), failure, true);
        if (!reply) {
            return true;
        }
        readsMarkup = holds(reply.get(), bodyMarkupCapability);
        return *readsMarkup;
    }
};

FreedesktopNotificationCenter::FreedesktopNotificationCenter(std::string busName)
    : bus_(std::make_unique<Bus>(std::move(busName))) {
    if (!bus_->connection) {
        logger_.error("notifications_bus_unavailable", {{"error", bus_->connectionError}});
    }
}

FreedesktopNotificationCenter::~FreedesktopNotificationCenter() = default;

std::string FreedesktopNotificationCenter::bodyText(std::string_view body, bool serverReadsMarkup) {
    std::string cut(text::graphemePrefix(body, bodyCharacterCap));
    if (cut.size() < body.size()) {
        cut = std::string(text::trimmed(cut)) + "\xE2\x80\xA6";
    }
    gchar* valid = g_utf8_make_valid(cut.c_str(), static_cast<gssize>(cut.size()));
    std::string result;
    for (const char* c = valid; *c != '\0'; ++c) {
        if (serverReadsMarkup && *c == '&') {
            result += "&amp;";
        } else if (serverReadsMarkup && *c == '<') {
            result += "&lt;";
        } else if (serverReadsMarkup && *c == '>') {
            result += "&gt;";
        } else {
            result += *c;
        }
    }
    g_free(valid);
    return result;
}

void FreedesktopNotificationCenter::authorizationStatus(
    std::function<void(NotificationAuthorizationStatus)> completion) {
    completion(NotificationAuthorizationStatus::authorized);
}

void FreedesktopNotificationCenter::requestAuthorization(
    std::function<void(bool, const std::optional<std::string>&)> completion) {
    completion(true, std::nullopt);
}

void FreedesktopNotificationCenter::add(const UserNotificationRequest& request,
                                        ErrorCompletion completion) {
    calls_.post([this, request, completion = std::move(completion)] {
        if (const auto reason = bus_->unavailability()) {
            completion(reason);
            return;
        }
        guint32 replaces = 0;
        {
            std::lock_guard lock(bus_->mutex);
            if (const auto it = bus_->shown.find(request.identifier); it != bus_->shown.end()) {
                replaces = it->second.serverID;
            }
        }
        GVariantBuilder actions;
        g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
        // A click on the notification itself invokes "default"; the user-info action gets a
        // button of its own.
        g_variant_builder_add(&actions, "s", defaultActionKey);
        g_variant_builder_add(&actions, "s", "");
        if (const auto action = request.userInfo.find("action"); action != request.userInfo.end()) {
            g_variant_builder_add(&actions, "s", action->second.c_str());
            g_variant_builder_add(&actions, "s", "Open");
        }
        GVariantBuilder hints;
        g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(&hints, "{sv}", "sound-name",
                              g_variant_new_string("message-new-instant"));
        g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string("vask"));
        const std::string body = bodyText(request.body, bus_->serverReadsMarkup());
        std::string failure;
        const auto reply =
            bus_->call("Notify",
                       g_variant_new("(susssasa{sv}i)", "Vask", replaces, "vask",
                                     request.title.c_str(), body.c_str(), &actions, &hints, -1),
                       G_VARIANT_TYPE("(u)"), failure, true);
        if (!reply) {
            completion(failure);
            return;
        }
        guint32 serverID = 0;
        g_variant_get(reply.get(), "(u)", &serverID);
        {
            std::lock_guard lock(bus_->mutex);
            bus_->shown[request.identifier] = {serverID, request.userInfo};
        }
        completion(std::nullopt);
    });
}

void FreedesktopNotificationCenter::deliveredIdentifiers(IdentifiersCompletion completion) {
    calls_.post([this, completion = std::move(completion)] {
        std::vector<std::string> identifiers;
        {
            std::lock_guard lock(bus_->mutex);
            for (const auto& [identifier, entry] : bus_->shown) {
                identifiers.push_back(identifier);
            }
        }
        completion(identifiers);
    });
}

void FreedesktopNotificationCenter::pendingIdentifiers(IdentifiersCompletion completion) {
    calls_.post([completion = std::move(completion)] { completion({}); });
}

void FreedesktopNotificationCenter::removeDelivered(const std::vector<std::string>& identifiers) {
    calls_.post([this, identifiers] {
        for (const auto& identifier : identifiers) {
            guint32 serverID = 0;
            {
                std::lock_guard lock(bus_->mutex);
                const auto it = bus_->shown.find(identifier);
                if (it == bus_->shown.end()) {
                    continue;
                }
                serverID = it->second.serverID;
                bus_->shown.erase(it);
            }
            if (!bus_->connection) {
                continue;
            }
            std::string failure;
            if (!bus_->call("CloseNotification", g_variant_new("(u)", serverID), nullptr,
                            failure)) {
                logger_.error("notification_close_failed", {{"error", failure}});
            }
        }
    });
}

void FreedesktopNotificationCenter::removePending(const std::vector<std::string>&) {}

void FreedesktopNotificationCenter::withdrawAllDelivered() {
    // Quitting must not wait on a server that stopped answering: the call it may be waiting in
    // returns now, and the posts queued behind it fail at once. What was shown is withdrawn
    // without waiting for replies, as best it can be.
    g_cancellable_cancel(bus_->quitting);
    calls_.sync([this] {
        std::map<std::string, Bus::Shown> shown;
        {
            std::lock_guard lock(bus_->mutex);
            shown.swap(bus_->shown);
        }
        if (!bus_->connection || shown.empty()) {
            return;
        }
        // No replies wanted: the process is ending, only the requests must be sent.
        for (const auto& [identifier, entry] : shown) {
            g_dbus_connection_call(
                bus_->connection, bus_->busName.c_str(), objectPath, interfaceName,
                "CloseNotification", g_variant_new("(u)", entry.serverID), nullptr,
                G_DBUS_CALL_FLAGS_NO_AUTO_START, withdrawFlushMs, nullptr, nullptr, nullptr);
        }
        GError* raw = nullptr;
        g_dbus_connection_flush_sync(bus_->connection, nullptr, &raw);
        const ErrorPtr error(raw);
        logger_.info("notifications_withdrawn", {{"count", std::to_string(shown.size())},
                                                 {"flushed", error ? "false" : "true"}});
    });
}

void FreedesktopNotificationCenter::setTapReceiver(TapReceiver receiver) {
    std::lock_guard lock(bus_->mutex);
    bus_->tapReceiver = std::move(receiver);
}

}  // namespace vask
