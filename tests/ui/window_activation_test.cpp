#include <QAction>
#include <QApplication>
#include <QExposeEvent>
#include <QWidget>
#include <QWindow>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <utility>
#include <vector>

#include "support/temp_dir.h"
#include "ui/single_instance.h"
#include "ui/tray_controller.h"
#include "ui/window_registry.h"

namespace vask::ui {
namespace {

// What bringToFront asked of the window system, with a desktop that activates by token
// (Wayland) unless told otherwise.
struct RecordingPlatform final : WindowActivationPlatform {
    bool activatesByToken() const override { return byToken; }
    bool isExposed(QWindow* /*window*/) const override { return exposed; }
    bool keyboardInVask() const override { return keyboard; }
    bool canAskForToken() const override { return canAsk; }
    void askForToken(std::function<void(const QByteArray&)> done) override {
        asks.push_back(std::move(done));
    }
    void activate(QWidget* target, const QByteArray& token) override {
        activations.emplace_back(target, token);
    }

    bool byToken = true;
    bool exposed = true;
    bool keyboard = false;
    bool canAsk = true;
    std::vector<std::function<void(const QByteArray&)>> asks;
    std::vector<std::pair<QWidget*, QByteArray>> activations;
};

struct ActivationFixture {
    ActivationFixture() {
        setWindowActivationPlatform(&platform);
        window.resize(200, 100);
    }
    ~ActivationFixture() {
        setWindowActivationPlatform(nullptr);
        qunsetenv("XDG_ACTIVATION_TOKEN");
    }
    // The compositor shows the window (its first frame) or, exposed false, stops showing it.
    void expose(bool exposed) {
        platform.exposed = exposed;
        QExposeEvent event(exposed ? QRegion(0, 0, 200, 100) : QRegion());
        QCoreApplication::sendEvent(window.windowHandle(), &event);
        nextTurn();
    }
    static void nextTurn() {
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }
    std::vector<QByteArray> tokensSent() const {
        std::vector<QByteArray> tokens;
        for (const auto& [target, token] : platform.activations) {
            EXPECT_EQ(target, &window);
            tokens.push_back(token);
        }
        return tokens;
    }

    RecordingPlatform platform;
    QWidget window;
};

// A window just shown waits for the compositor to show it; once mapped it is asked for at once,
// out of sight too (behind another window: not exposed), with the token of each request. Hidden
// and shown again it waits again.
TEST(WindowActivationTest, AMappedWindowIsAskedForAtOnceExposedOrNot) {
    ActivationFixture f;
    f.platform.exposed = false;
    f.window.show();
    bringToFront(&f.window, "launch-1");
    f.nextTurn();
    EXPECT_TRUE(f.platform.activations.empty()) << "not yet mapped";
    f.expose(true);
    EXPECT_EQ(f.tokensSent(), std::vector<QByteArray>{"launch-1"});

    f.expose(false);
    bringToFront(&f.window, "launch-2");
    EXPECT_EQ(f.tokensSent(), (std::vector<QByteArray>{"launch-1", "launch-2"}));

    f.window.hide();
    f.window.show();
    bringToFront(&f.window, "launch-3");
    f.nextTurn();
    EXPECT_EQ(f.platform.activations.size(), 2U) << "shown again, not yet mapped";
    f.expose(true);
    EXPECT_EQ(f.tokensSent().back(), "launch-3");
}

// Without a token of its own a window takes the one offered (a URL's launch, the panel's); else
// the toolkit asks with its input serial while Vask holds the keyboard; else Vask asks for one
// without a serial. A second request in the same turn asks nothing more.
TEST(WindowActivationTest, TheBestTokenThereIsBringsTheWindowForward) {
    ActivationFixture f;
    f.window.show();
    bringToFront(&f.window);
    ASSERT_EQ(f.platform.asks.size(), 1U) << "no token, no keyboard: one is asked for";
    bringToFront(&f.window);
    EXPECT_EQ(f.platform.asks.size(), 1U) << "asked once in a turn";
    f.platform.asks.front()("asked");
    EXPECT_EQ(f.tokensSent(), std::vector<QByteArray>{"asked"});

    struct Case {
        const char* name;
        QByteArray offered;
        OfferedToken kind;
        bool keyboard;
        std::optional<QByteArray> askedAnswer;  // what the compositor answers, when asked
        QByteArray sent;
    };
    const std::vector<Case> cases = {
        {"a URL's launch token", "url-token", OfferedToken::launch, true, std::nullopt,
         "url-token"},
        {"the panel's token", "panel-token", OfferedToken::panel, false, std::nullopt,
         "panel-token"},
        {"the toolkit's input serial", {}, OfferedToken::panel, true, std::nullopt, {}},
        {"one asked without a serial", {}, OfferedToken::panel, false, "fresh", "fresh"},
        {"none given: the bare request", {}, OfferedToken::panel, false, "", ""},
        {"not a token: passed over", "a b", OfferedToken::launch, true, std::nullopt, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        f.nextTurn();
        f.platform.asks.clear();
        f.platform.activations.clear();
        f.platform.keyboard = c.keyboard;
        offerActivationToken(c.offered, c.kind);
        bringToFront(&f.window);
        ASSERT_EQ(f.platform.asks.size(), c.askedAnswer ? 1U : 0U);
        if (c.askedAnswer) {
            f.platform.asks.front()(*c.askedAnswer);
        }
        EXPECT_EQ(f.tokensSent(), std::vector<QByteArray>{c.sent});
    }

    // A window hidden before its token came is not brought back.
    f.nextTurn();
    f.platform.asks.clear();
    f.platform.activations.clear();
    f.platform.keyboard = false;
    bringToFront(&f.window);
    ASSERT_EQ(f.platform.asks.size(), 1U);
    f.window.hide();
    f.platform.asks.front()("late");
    EXPECT_TRUE(f.platform.activations.empty());
}

// The tray's items take the token the panel offered for the click (the toolkit puts it where a
// launch's goes), once: it is gone from the environment, where no child would inherit it.
TEST(WindowActivationTest, TrayItemsBringTheirWindowWithThePanelsToken) {
    ActivationFixture f;
    f.window.show();
    f.nextTurn();
    TrayController tray(nullptr, {.openVask = [&f] { bringToFront(&f.window); },
                                  .openSettings = [&f] { bringToFront(&f.window); },
                                  .showAbout = [] {},
                                  .checkForUpdates = {},
                                  .quit = [] {}});
    const auto actions = tray.menu()->actions();
    ASSERT_EQ(actions.value(0)->text(), "Open Vask");
    ASSERT_EQ(actions.value(1)->text(), "Settings…");
    qputenv("XDG_ACTIVATION_TOKEN", "from-the-panel");
    actions.value(0)->trigger();
    EXPECT_EQ(f.tokensSent(), std::vector<QByteArray>{"from-the-panel"});
    EXPECT_TRUE(qgetenv("XDG_ACTIVATION_TOKEN").isEmpty());

    f.nextTurn();
    actions.value(1)->trigger();
    ASSERT_EQ(f.platform.asks.size(), 1U) << "no token the second time: one is asked for";
}

// A later `vask URL` hands its launch's token on with the URL, so that what the URL brings
// forward comes with it; a URL without one, spaces and all, goes as it is.
TEST(WindowActivationTest, AURLGoesToTheRunningVaskWithItsLaunchsToken) {
    test::TempDir runtime;
    test::TempDir dataFolder;
    qputenv("XDG_RUNTIME_DIR", runtime.path().c_str());
    const QString instance = "activation-" + QString::number(QCoreApplication::applicationPid());
    const QString data = QString::fromStdString(dataFolder.path().string());
    SingleInstance primary(instance, data);
    ASSERT_EQ(primary.claimOrForward(std::nullopt, false), SingleInstance::Role::primary);
    std::vector<std::pair<QString, QByteArray>> heard;
    QObject::connect(&primary, &SingleInstance::urlReceived,
                     [&](const QString& url, const QByteArray& id) { heard.emplace_back(url, id); });

    const auto launch = [&](const QString& url, const QByteArray& token) {
        auto role = std::async(std::launch::async, [&instance, &data, url, token] {
            SingleInstance later(instance, data);
            later.setStartupId(token);
            return later.claimOrForward(url, false);
        });
        while (role.wait_for(std::chrono::milliseconds(2)) != std::future_status::ready) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        return role.get();
    };
    EXPECT_EQ(launch("vask://auth?code=1", "token-1"), SingleInstance::Role::forwarded);
    EXPECT_EQ(launch("vasktest://query?text=two words", {}), SingleInstance::Role::forwarded);
    EXPECT_EQ(launch("vasktest://query?text=two words", "token-2"),
              SingleInstance::Role::forwarded);
    for (int i = 0; i < 200 && heard.size() < 3; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_EQ(heard, (std::vector<std::pair<QString, QByteArray>>{
                         {"vask://auth?code=1", "token-1"},
                         {"vasktest://query?text=two words", ""},
                         {"vasktest://query?text=two words", "token-2"}}));
}

}  // namespace
}  // namespace vask::ui
