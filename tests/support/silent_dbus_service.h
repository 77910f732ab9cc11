#pragma once

#include <gio/gio.h>

#include <map>
#include <mutex>
#include <string>

// GLib's type macros are C and cast the old way.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"

namespace vask::test {

// A desktop service that stopped answering, on a private session bus of the test's own: the
// bus (a dbus-daemon, which DBUS_SESSION_BUS_ADDRESS then names for the whole process) runs, and
// `name` is owned by a connection that takes every method call sent to it and never replies.
// Create it before anything in the process reaches the session bus.
class SilentDBusService {
  public:
    explicit SilentDBusService(const char* name) : bus_(g_test_dbus_new(G_TEST_DBUS_NONE)) {
        g_test_dbus_up(bus_);
        connection_ = g_dbus_connection_new_for_address_sync(
            g_test_dbus_get_bus_address(bus_),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        if (connection_ == nullptr) {
            return;
        }
        // GDBus runs filters on its own thread, and one may still run after its removal: the
        // filter counts by the service's number into counts kept under a lock of this process
        // (which also orders the count for the thread checks, blind to GLib's own locks), and
        // the number is let go once GDBus says it is done with it.
        const auto number = counts().open();
        filter_ = g_dbus_connection_add_filter(
            connection_, &SilentDBusService::swallow, GUINT_TO_POINTER(number),
            [](gpointer data) { counts().close(GPOINTER_TO_UINT(data)); });
        number_ = number;
        GVariant* reply = g_dbus_connection_call_sync(
            connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "RequestName", g_variant_new("(su)", name, 0u), G_VARIANT_TYPE("(u)"),
            G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr);
        if (reply != nullptr) {
            guint32 result = 0;
            g_variant_get(reply, "(u)", &result);
            owned_ = result == 1;  // DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER
            g_variant_unref(reply);
        }
    }
    ~SilentDBusService() {
        if (connection_ != nullptr) {
            g_dbus_connection_remove_filter(connection_, filter_);
            g_dbus_connection_close_sync(connection_, nullptr, nullptr);
            g_object_unref(connection_);
        }
        // Not g_test_dbus_down(): that waits for the process's session connection to go.
        g_test_dbus_stop(bus_);
        g_object_unref(bus_);
    }
    SilentDBusService(const SilentDBusService&) = delete;
    SilentDBusService& operator=(const SilentDBusService&) = delete;

    bool owned() const { return owned_; }
    // How many method calls reached the service (none answered).
    int calls() const { return counts().calls(number_); }

  private:
    // Method calls swallowed, by service.
    class Counts {
      public:
        guint open() {
            const std::lock_guard lock(mutex_);
            calls_[++last_] = 0;
            return last_;
        }
        void add(guint number) {
            const std::lock_guard lock(mutex_);
            if (const auto found = calls_.find(number); found != calls_.end()) {
                ++found->second;
            }
        }
        int calls(guint number) {
            const std::lock_guard lock(mutex_);
            const auto found = calls_.find(number);
            return found == calls_.end() ? 0 : found->second;
        }
        void close(guint number) {
            const std::lock_guard lock(mutex_);
            calls_.erase(number);
        }

      private:
        std::mutex mutex_;
        std::map<guint, int> calls_;
        guint last_ = 0;
    };
    static Counts& counts() {
        static Counts counts;
        return counts;
    }

    static GDBusMessage* swallow(GDBusConnection*, GDBusMessage* message, gboolean incoming,
                                 gpointer data) {
        if (incoming &&
            g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
            counts().add(GPOINTER_TO_UINT(data));
            g_object_unref(message);
            return nullptr;
        }
        return message;
    }

    GTestDBus* bus_;
    GDBusConnection* connection_ = nullptr;
    guint filter_ = 0;
    bool owned_ = false;
    guint number_ = 0;
};

}  // namespace vask::test

#pragma GCC diagnostic pop
