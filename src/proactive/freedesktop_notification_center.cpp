#include "proactive/freedesktop_notification_center.h"

#include <gio/gio.h>

#include <condition_variable>

// GLib's type macros are C and cast the old way.
#pragma GCC diagnostic ignored "-Wold-style-cast"

namespace vask {
namespace {

constexpr const char* objectPath = "/org/freedesktop/Notifications";
constexpr const char* interfaceName = "org.freedesktop.Notifications";
constexpr gint callTimeoutMs = 5000;
constexpr const char* defaultActionKey = "default";

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;

struct VariantUnref {
    void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

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
    GDBusConnection* connection = nullptr;
    std::string connectionError;
    std::thread thread;

    std::mutex mutex;
    std::condition_variable ready;
    bool started = false;
    std::map<std::string, Shown> shown;  // by our identifier
    TapReceiver tapReceiver;

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

    // Blocking; on the calls queue.
    VariantPtr call(const char* method, GVariant* parameters, const GVariantType* replyType,
                    std::string& failure) const {
        GError* raw = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(
            connection, busName.c_str(), objectPath, interfaceName, method, parameters, replyType,
            G_DBUS_CALL_FLAGS_NO_AUTO_START, callTimeoutMs, nullptr, &raw);
        const ErrorPtr error(raw);
        if (!reply) {
            failure = error ? error->message : "no reply";
        }
        return VariantPtr(reply);
    }

    // Why nothing can be shown, or nothing when a server is there.
    std::optional<std::string> unavailability() const {
        if (!connection) {
            return "No session bus: " + connectionError;
        }
        GError* raw = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(
            connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "NameHasOwner", g_variant_new("(s)", busName.c_str()), G_VARIANT_TYPE("(b)"),
            G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, nullptr, &raw);
        const ErrorPtr error(raw);
        if (!reply) {
            return std::string("Session bus did not answer: ") +
                   (error ? error->message : "no reply");
        }
        gboolean owned = FALSE;
        g_variant_get(reply, "(b)", &owned);
        g_variant_unref(reply);
        if (!owned) {
            return "No notification server on the session bus";
        }
        return std::nullopt;
    }
};

FreedesktopNotificationCenter::FreedesktopNotificationCenter(std::string busName)
    : bus_(std::make_unique<Bus>(std::move(busName))) {
    if (!bus_->connection) {
        logger_.error("notifications_bus_unavailable", {{"error", bus_->connectionError}});
    }
}

FreedesktopNotificationCenter::~FreedesktopNotificationCenter() = default;

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
        std::string failure;
        const auto reply = bus_->call(
            "Notify",
            g_variant_new("(susssasa{sv}i)", "Vask", replaces, "vask", request.title.c_str(),
                          request.body.c_str(), &actions, &hints, -1),
            G_VARIANT_TYPE("(u)"), failure);
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

void FreedesktopNotificationCenter::setTapReceiver(TapReceiver receiver) {
    std::lock_guard lock(bus_->mutex);
    bus_->tapReceiver = std::move(receiver);
}

}  // namespace vask
