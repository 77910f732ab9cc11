// Vask's windows brought forward under a real Wayland compositor: a headless sway that
// scripts/wayland-activation-check.sh starts (test ui.activation_wayland), in a tabbed container,
// where a window behind another is mapped but not in sight. What the compositor did is read from
// its own account of its windows (`swaymsg -t get_tree`): which one has the focus, which one is
// marked urgent. The other window is another client's (this program again, with --foreign).

#include <QApplication>
#include <QAction>
#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>
#include <QWidget>
#include <QWindow>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ui/tray_controller.h"
#include "ui/window_registry.h"
#include "ui/xdg_activation_client.h"

namespace vask::ui {
namespace {

constexpr auto vaskTitle = "Vask Main";
constexpr auto foreignTitle = "Foreign";
// A bound for a compositor that never does it, not a measure of speed.
constexpr int patienceMs = 15000;

// The compositor's record of the window titled `title`; nothing when it has none.
std::optional<QJsonObject> swayWindow(const QString& title) {
    QProcess swaymsg;
    swaymsg.start("swaymsg", {"-t", "get_tree", "--raw"});
    if (!swaymsg.waitForFinished(5000) || swaymsg.exitCode() != 0) {
        return std::nullopt;
    }
    const std::function<std::optional<QJsonObject>(const QJsonObject&)> find =
        [&](const QJsonObject& node) -> std::optional<QJsonObject> {
        if (node.value("name").toString() == title && node.contains("pid")) {
            return node;
        }
        for (const char* children : {"nodes", "floating_nodes"}) {
            for (const auto& child : node.value(children).toArray()) {
                if (auto found = find(child.toObject())) {
                    return found;
                }
            }
        }
        return std::nullopt;
    };
    return find(QJsonDocument::fromJson(swaymsg.readAllStandardOutput()).object());
}

bool swayFlag(const QString& title, const char* flag) {
    const auto window = swayWindow(title);
    return window && window->value(flag).toBool();
}

void sway(const QString& command) {
    ASSERT_EQ(QProcess::execute("swaymsg", {command}), 0) << command.toStdString();
}

// A token as a launcher gets one: asked for over a connection of its own.
QByteArray launcherToken() {
    XdgActivationClient launcher;
    QByteArray token;
    bool done = false;
    launcher.requestToken("launcher", [&](const QByteArray& answer) {
        token = answer;
        done = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return done; }, patienceMs));
    return token;
}

struct ActivationFixture {
    ActivationFixture() {
        registry.registerWindow("main", [] {
            auto* window = new QWidget;
            window->setWindowTitle(vaskTitle);
            window->resize(300, 200);
            return window;
        });
        sway("focus_on_window_activation urgent");
    }
    ~ActivationFixture() {
        if (foreign.state() != QProcess::NotRunning) {
            foreign.kill();
            foreign.waitForFinished(5000);
        }
        delete registry.window("main");
    }

    // Vask's window open, then another client's over it in the same tabbed container: Vask's is
    // mapped, out of sight, and no window of Vask's holds the keyboard.
    void hideVaskBehindAnotherWindow() {
        QWidget* main = registry.open("main");
        ASSERT_TRUE(QTest::qWaitFor([] { return swayFlag(vaskTitle, "visible"); }, patienceMs));
        // The toolkit has heard that its window has the keyboard (before it hears that it lost
        // it: its focus follows the compositor's word, which comes late on a busy machine).
        ASSERT_TRUE(QTest::qWaitFor(
            [main] { return QGuiApplication::focusWindow() == main->windowHandle(); },
            patienceMs));
        foreign.start(QCoreApplication::applicationFilePath(), {"--foreign"});
        ASSERT_TRUE(QTest::qWaitFor([] { return swayFlag(foreignTitle, "focused"); }, patienceMs))
            << "the other client's window opens with the focus";
        ASSERT_TRUE(QTest::qWaitFor([] { return QGuiApplication::focusWindow() == nullptr; },
                                    patienceMs));
        ASSERT_FALSE(swayFlag(vaskTitle, "visible")) << "Vask's window is behind it";
        // The toolkit takes the window for one not exposed once it draws and the compositor
        // sends no frame for it (Vask's windows draw while hidden: a sync's progress, an
        // answer coming in).
        unexposed = QTest::qWaitFor(
            [main] {
                main->update();
                return !main->windowHandle()->isExposed();
            },
            patienceMs);
    }

    WindowRegistry registry;
    QProcess foreign;
    // Whether the toolkit took the hidden window for one not exposed (as Qt 6.4 does once its
    // frames stop), the case where an activation used to wait.
    bool unexposed = false;
};

// A second `vask` with its launcher's token (the running Vask's reopen): the window behind the
// other comes forward at once, with that token, though it is not exposed.
TEST(WaylandActivationTest, AHiddenWindowComesForwardWithTheLaunchersToken) {
    ActivationFixture f;
    f.hideVaskBehindAnotherWindow();
    ASSERT_TRUE(f.unexposed) << "the toolkit takes the hidden window for one not exposed";
    sway("focus_on_window_activation focus");
    const QByteArray token = launcherToken();
    ASSERT_FALSE(token.isEmpty()) << "the compositor hands out tokens";

    f.registry.setStartupId(token);
    f.registry.raise(f.registry.window("main"));
    f.registry.setStartupId({});

    EXPECT_TRUE(QTest::qWaitFor([] { return swayFlag(vaskTitle, "focused"); }, patienceMs))
        << "the window came forward";
}

// The tray menu's Open Vask, reached over D-Bus without any input of Vask's and with no token
// from the panel: Vask asks for a token itself, which sway honours by default by marking the
// window urgent, and with focus_on_window_activation focus by focusing it.
TEST(WaylandActivationTest, TheTraysOpenVaskAsksForActivationWithoutAnInputOfVasks) {
    for (const char* reaction : {"urgent", "focused"}) {
        SCOPED_TRACE(reaction);
        ActivationFixture f;
        f.hideVaskBehindAnotherWindow();
        ASSERT_TRUE(f.unexposed);
        if (std::string(reaction) == "focused") {
            sway("focus_on_window_activation focus");
        }
        TrayController tray(nullptr, {.openVask = [&f] { f.registry.open("main"); },
                                      .openSettings = [] {},
                                      .showAbout = [] {},
                                      .checkForUpdates = {},
                                      .quit = [] {}});
        QAction* openVask = tray.menu()->actions().value(0);
        ASSERT_NE(openVask, nullptr);
        ASSERT_EQ(openVask->text(), "Open Vask");
        openVask->trigger();

        EXPECT_TRUE(QTest::qWaitFor([reaction] { return swayFlag(vaskTitle, reaction); },
                                    patienceMs))
            << "the window is " << reaction;
    }
}

}  // namespace
}  // namespace vask::ui

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--foreign") {
        QApplication app(argc, argv);
        QWidget window;
        window.setWindowTitle("Foreign");
        window.resize(300, 200);
        window.show();
        return QApplication::exec();
    }
    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName("vask");
    ::testing::InitGoogleTest(&argc, argv);
    if (!QGuiApplication::platformName().startsWith("wayland")) {
        std::fputs("wayland_activation_check: runs on Qt's Wayland platform only\n", stderr);
        return 1;
    }
    return RUN_ALL_TESTS();
}
