// Runs against a notification server on the session bus: scripts/notification-server-test.sh
// starts python3-dbusmock's notification template on a private bus and sets
// VASK_REQUIRE_NOTIFICATION_SERVER=1, under which a missing server fails instead of skipping.
// It then runs the activation case on a second private bus where the template is only
// activatable (a .service file in the bus's service folder), under
// VASK_REQUIRE_ACTIVATABLE_NOTIFICATION_SERVER=1.
#include <gtest/gtest.h>

#include <gio/gio.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

#include "platform/manual_executor.h"
#include "proactive/freedesktop_notification_center.h"
#include "proactive/notification_service.h"
#include "support/log_capture.h"
#include "support/silent_dbus_service.h"

// GLib's type macros are C and cast the old way.
#pragma GCC diagnostic ignored "-Wold-style-cast"

namespace vask {
namespace {

using namespace std::chrono_literals;

constexpr const char* mockInterface = "org.freedesktop.DBus.Mock";
constexpr const char* path = "/org/freedesktop/Notifications";

// The test's own connection to the mock server's control interface.
class MockServer {
  public:
    MockServer() : connection_(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {}
    ~MockServer() {
        if (connection_) {
            g_object_unref(connection_);
        }
    }

    bool available() const {
        if (!connection_) {
            return false;
        }
        GVariant* reply = g_dbus_connection_call_sync(
            connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "NameHasOwner", g_variant_new("(s)", FreedesktopNotificationCenter::serverName),
            G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
        if (!reply) {
            return false;
        }
        gboolean owned = FALSE;
        g_variant_get(reply, "(b)", &owned);
        g_variant_unref(reply);
        return owned;
    }

    // The bus would start the server on demand.
    bool activatable() const {
        if (!connection_) {
            return false;
        }
        GVariant* reply = g_dbus_connection_call_sync(
            connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "ListActivatableNames", nullptr, G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, 2000,
            nullptr, nullptr);
        if (!reply) {
            return false;
        }
        GVariantIter* names = nullptr;
        g_variant_get(reply, "(as)", &names);
        bool found = false;
        const gchar* name = nullptr;
        while (g_variant_iter_next(names, "&s", &name)) {
            found = found || std::string_view(name) == FreedesktopNotificationCenter::serverName;
        }
        g_variant_iter_free(names);
        g_variant_unref(reply);
        return found;
    }

    // The names of the methods called so far; the string and string-array arguments of the last
    // call of `method`.
    std::vector<std::string> calls(const char* method = nullptr,
                                   std::vector<std::string>* stringArgs = nullptr,
                                   std::vector<std::string>* actions = nullptr,
                                   std::vector<guint32>* numbers = nullptr) const {
        std::vector<std::string> names;
        GVariant* reply = mock("GetCalls", nullptr);
        if (!reply) {
            return names;
        }
        GVariantIter* iter = nullptr;
        g_variant_get(reply, "(a(tsav))", &iter);
        guint64 when = 0;
        const gchar* name = nullptr;
        GVariantIter* args = nullptr;
        while (g_variant_iter_loop(iter, "(t&sav)", &when, &name, &args)) {
            names.emplace_back(name);
            if (method && names.back() == method && stringArgs) {
                stringArgs->clear();
                if (actions) {
                    actions->clear();
                }
                if (numbers) {
                    numbers->clear();
                }
                GVariant* arg = nullptr;
                while (g_variant_iter_next(args, "v", &arg)) {
                    if (numbers && g_variant_is_of_type(arg, G_VARIANT_TYPE_UINT32)) {
                        numbers->push_back(g_variant_get_uint32(arg));
                    } else if (g_variant_is_of_type(arg, G_VARIANT_TYPE_STRING)) {
                        stringArgs->emplace_back(g_variant_get_string(arg, nullptr));
                    } else if (actions && g_variant_is_of_type(arg, G_VARIANT_TYPE("as"))) {
                        for (gsize i = 0; i < g_variant_n_children(arg); ++i) {
                            GVariant* item = g_variant_get_child_value(arg, i);
                            actions->emplace_back(g_variant_get_string(item, nullptr));
                            g_variant_unref(item);
                        }
                    }
                    g_variant_unref(arg);
                }
            }
        }
        g_variant_iter_free(iter);
        g_variant_unref(reply);
        return names;
    }

    void clearCalls() const {
        if (GVariant* reply = mock("ClearCalls", nullptr)) {
            g_variant_unref(reply);
        }
    }

    void emitActionInvoked(guint32 id, const char* action) const {
        GVariantBuilder args;
        g_variant_builder_init(&args, G_VARIANT_TYPE("av"));
        g_variant_builder_add(&args, "v", g_variant_new_uint32(id));
        g_variant_builder_add(&args, "v", g_variant_new_string(action));
        GVariant* reply =
            mock("EmitSignal", g_variant_new("(sssav)", "org.freedesktop.Notifications",
                                             "ActionInvoked", "us", &args));
        if (reply) {
            g_variant_unref(reply);
        }
    }

  private:
    GVariant* mock(const char* method, GVariant* parameters) const {
        return g_dbus_connection_call_sync(connection_, FreedesktopNotificationCenter::serverName,
                                           path, mockInterface, method, parameters, nullptr,
                                           G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    }

    GDBusConnection* connection_;
};

// Waits for what the notification server does, for up to a minute: the server is a Python
// process that a loaded machine may take seconds to answer from.
template <typename Predicate>
bool eventually(Predicate done) {
    const auto giveUp = std::chrono::steady_clock::now() + 1min;
    while (!done()) {
        if (std::chrono::steady_clock::now() > giveUp) {
            return done();
        }
        std::this_thread::sleep_for(25ms);
    }
    return true;
}

class FreedesktopNotificationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!server.available()) {
            if (std::getenv("VASK_REQUIRE_NOTIFICATION_SERVER")) {
                FAIL() << "no notification server on the session bus";
            }
            GTEST_SKIP() << "no notification server on the session bus";
        }
        server.clearCalls();
    }

    MockServer server;
};

TEST_F(FreedesktopNotificationTest, PostsRoutesTapsAndWithdrawsByPrefix) {
    test::LogCapture logs;
    FreedesktopNotificationCenter center;
    ManualExecutor main;
    NotificationService service(center, main);
    std::vector<NotificationUserInfo> taps;
    service.tapHandlers["open-awaiting"] = [&](const NotificationUserInfo& info) {
        taps.push_back(info);
    };

    service.post("digest-1", "Digest", "today", {});
    service.post("awaiting-chat-1", "Ann is waiting on a reply", "are we on?",
                 {{"action", "open-awaiting"}, {"chatId", "chat-1"}});
    ASSERT_TRUE(eventually([&] { return logs->events("notification_posted").size() == 2; }));
    std::vector<std::string> strings;
    std::vector<std::string> actions;
    EXPECT_EQ(server.calls("Notify", &strings, &actions),
              (std::vector<std::string>{"GetCapabilities", "Notify", "Notify"}));
    EXPECT_EQ(strings, (std::vector<std::string>{"Vask", "vask", "Ann is waiting on a reply",
                                                 "are we on?"}));
    EXPECT_EQ(actions, (std::vector<std::string>{"default", "", "open-awaiting", "Open"}));

    // The mock numbers notifications from 1: the digest is 1, Ann's is 2.
    server.emitActionInvoked(2, "open-awaiting");
    ASSERT_TRUE(eventually([&] {
        main.runUntilIdle();
        return !taps.empty();
    }));
    EXPECT_EQ(taps[0].at("chatId"), "chat-1");
    server.emitActionInvoked(2, "default");
    ASSERT_TRUE(eventually([&] {
        main.runUntilIdle();
        return taps.size() == 2;
    }));
    server.emitActionInvoked(77, "default");  // not ours
    server.emitActionInvoked(1, "default");   // ours, but without an action to route

    service.removeAll("digest-");
    ASSERT_TRUE(eventually([&] {
        const auto all = server.calls(nullptr);
        return std::find(all.begin(), all.end(), "CloseNotification") != all.end();
    }));
    EXPECT_EQ(logs->events("notifications_swept_delivered")[0].metadata.at("count"), "1");

    // Posting again under a shown identifier replaces that notification.
    service.post("awaiting-chat-1", "Ann is waiting on a reply", "still?", {});
    ASSERT_TRUE(eventually([&] { return logs->events("notification_posted").size() == 3; }));
    std::vector<guint32> numbers;
    server.calls("Notify", &strings, &actions, &numbers);
    EXPECT_EQ(strings,
              (std::vector<std::string>{"Vask", "vask", "Ann is waiting on a reply", "still?"}));
    EXPECT_EQ(numbers, (std::vector<guint32>{2}));  // replaces_id
    EXPECT_FALSE(logs->contains("notification_close_failed"));
    main.runUntilIdle();
    EXPECT_EQ(taps.size(), 2u);
}

TEST_F(FreedesktopNotificationTest, EscapesMessageTextForAServerThatReadsMarkup) {
    test::LogCapture logs;
    FreedesktopNotificationCenter center;
    ManualExecutor main;
    NotificationService service(center, main);
    const std::vector<std::pair<std::string, std::string>> posts = {
        {R"(<b>now</b> & <a href="https://evil.example">your bank</a>)",
         R"(&lt;b&gt;now&lt;/b&gt; &amp; &lt;a href="https://evil.example"&gt;your bank&lt;/a&gt;)"},
        {"1 < 2", "1 &lt; 2"},
    };
    std::vector<std::string> calls;
    for (std::size_t i = 0; i < posts.size(); ++i) {
        service.post("awaiting-chat-" + std::to_string(i), "Ann is waiting on a reply",
                     posts[i].first, {});
        ASSERT_TRUE(
            eventually([&] { return logs->events("notification_posted").size() == i + 1; }));
        std::vector<std::string> strings;
        calls = server.calls("Notify", &strings);
        ASSERT_EQ(strings.size(), 4u);
        EXPECT_EQ(strings[3], posts[i].second);
    }
    // The template announces body-markup; the server is asked once.
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "GetCapabilities"), 1);
}

TEST(FreedesktopNotificationBody, CutEscapedWhereMarkupIsReadAndValid) {
    const std::string longText(250, 'a');
    struct Case {
        const char* name;
        std::string body;
        bool markup;
        std::string sent;
    };
    const std::vector<Case> cases = {
        {"markup read", R"(<b>hi</b> & <a href="x">bank</a>)", true,
         R"(&lt;b&gt;hi&lt;/b&gt; &amp; &lt;a href="x"&gt;bank&lt;/a&gt;)"},
        {"plain-text server", "<b>hi</b> & bye", false, "<b>hi</b> & bye"},
        {"an entity stays literal", "&amp;", true, "&amp;amp;"},
        {"cut to the cap with an ellipsis", longText, false,
         std::string(FreedesktopNotificationCenter::bodyCharacterCap, 'a') + "\xE2\x80\xA6"},
        {"cut before escaping", std::string(199, 'a') + "<b>", true,
         std::string(199, 'a') + "&lt;\xE2\x80\xA6"},
        {"invalid UTF-8 repaired", "ok \xFF", false, "ok \xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FreedesktopNotificationCenter::bodyText(c.body, c.markup), c.sent);
    }
}

// A second private bus where the server is not running but can be started by the bus.
TEST(FreedesktopNotificationActivationTest, APostStartsAnActivatableServer) {
    const MockServer server;
    if (server.available() || !server.activatable()) {
        if (std::getenv("VASK_REQUIRE_ACTIVATABLE_NOTIFICATION_SERVER")) {
            FAIL() << "no notification server waiting for activation on the session bus";
        }
        GTEST_SKIP() << "no notification server waiting for activation on the session bus";
    }
    test::LogCapture logs;
    FreedesktopNotificationCenter center;
    ManualExecutor main;
    NotificationService service(center, main);
    service.post("awaiting-chat-1", "Ann is waiting on a reply", "are we on?", {});
    ASSERT_TRUE(eventually([&] {
        return logs->contains("notification_posted") || logs->contains("notification_post_failed");
    }));
    EXPECT_FALSE(logs->contains("notification_post_failed"));
    EXPECT_TRUE(server.available());
    std::vector<std::string> strings;
    const auto calls = server.calls("Notify", &strings);
    EXPECT_EQ(calls, (std::vector<std::string>{"GetCapabilities", "Notify"}));
    EXPECT_EQ(strings, (std::vector<std::string>{"Vask", "vask", "Ann is waiting on a reply",
                                                 "are we on?"}));

    // Quitting withdraws what this run shows.
    center.withdrawAllDelivered();
    ASSERT_TRUE(eventually([&] {
        const auto all = server.calls(nullptr);
        return std::find(all.begin(), all.end(), "CloseNotification") != all.end();
    }));
}

TEST_F(FreedesktopNotificationTest, WithoutAServerPostingOnlyLogs) {
    test::LogCapture logs;
    FreedesktopNotificationCenter center("org.freedesktop.NotificationsNobodyOwns");
    ManualExecutor main;
    NotificationService service(center, main);
    service.post("awaiting-chat-1", "T", "B", {});
    ASSERT_TRUE(eventually([&] { return logs->contains("notification_post_failed"); }));
    EXPECT_EQ(logs->events("notification_post_failed")[0].metadata.at("error"),
              "No notification server on the session bus");
    EXPECT_TRUE(server.calls(nullptr).empty());
}

// A server that stopped answering (a stopped process keeps its name): each call would wait 5 s
// for its reply, one after another. Quitting must not wait behind them.
TEST(FreedesktopNotificationQuitTest, WithdrawingAtQuitDoesNotWaitOnAStoppedServer) {
    test::SilentDBusService server(FreedesktopNotificationCenter::serverName);
    ASSERT_TRUE(server.owned());
    FreedesktopNotificationCenter center;
    std::atomic<int> failed{0};
    for (int i = 0; i < 3; ++i) {
        center.add({"awaiting-" + std::to_string(i), "T", "B", {}},
                   [&failed](const std::optional<std::string>& error) { failed += error ? 1 : 0; });
    }
    ASSERT_TRUE(eventually([&] { return server.calls() >= 1; }));
    auto withdrawing = std::async(std::launch::async, [&] { center.withdrawAllDelivered(); });
    // The first call alone would take 5 s to give up; the queue behind it 15 s more.
    EXPECT_EQ(withdrawing.wait_for(4s), std::future_status::ready);
    withdrawing.wait();
    EXPECT_EQ(failed.load(), 3);
    EXPECT_EQ(server.calls(), 1) << "a post went out after the quit";
}

}  // namespace
}  // namespace vask
