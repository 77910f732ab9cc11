#include <QAction>
#include <QApplication>
#include <QPushButton>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/app_composition.h"
#include "platform/alert_presenter.h"
#include "platform/manual_executor.h"
#include "shell/app_dependencies.h"
#include "shell/shadow_sync_view_model.h"
#include "support/log_capture.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"
#include "ui/chat/chat_view.h"
#include "ui/main_window/main_window.h"
#include "ui/onboarding/onboarding_view.h"
#include "ui/popover/vask_menu.h"
#include "ui/settings/settings_window.h"
#include "ui/tray_controller.h"
#include "ui/window_registry.h"

namespace vask {
namespace {

class RecordingAlerts final : public AlertPresenter {
  public:
    int runModal(const Alert& alert) override {
        shown.push_back(alert.messageText);
        return 0;
    }
    std::vector<std::string> shown;
};

// The application's composition, made as VaskApplication makes it, in a home of its own: a
// desktop whose xdg-open starts and then fails, credentials in a file, the test hooks on.
struct CompositionFixture {
    CompositionFixture() {
        std::filesystem::create_directories(dir / "bin");
        {
            std::ofstream script(dir / "bin" / "xdg-open");
            script << "#!/bin/sh\nexit 3\n";
        }
        std::filesystem::permissions(dir / "bin" / "xdg-open", std::filesystem::perms::owner_all);
        environment.set("PATH", (dir / "bin").string() + ":" + std::getenv("PATH"));
        environment.set("HOME", (dir / "home").string());
        environment.set("XDG_DATA_HOME", (dir / "data").string());
        environment.set("XDG_CONFIG_HOME", (dir / "config").string());
        environment.set("VASK_SUPPORT_DIR", "VaskCompositionTest");
        environment.set("CHAT_DB_PATH", chatDB.string());
        environment.set("VASK_CREDENTIAL_STORE", "file");
        environment.set("VASK_TEST_HOOKS", "1");
        environment.set("VASK_TESTHOOK_LOG", (dir / "testhook.log").string());
        composition = std::make_unique<AppComposition>(AppComposition::Host{
            .main = main,
            .workers = worker,
            .alerts = alerts,
            .watchWindow =
                [this](QWidget* window) {
                    watched.push_back(window);
                    return window;
                },
            .quit = [this] { ++quits; },
        });
    }

    // As the application quits: the services stop, the interface goes, the workers finish,
    // then the composition goes.
    ~CompositionFixture() {
        composition->root().shutDown();
        composition->closeInterface();
        while (main.runUntilIdle() + worker.runUntilIdle() > 0) {
        }
        composition.reset();
    }

    CompositionFixture(const CompositionFixture&) = delete;
    CompositionFixture& operator=(const CompositionFixture&) = delete;

    test::TempDir dir;
    std::filesystem::path chatDB = dir / "home" / "Library" / "Messages" / "chat.db";
    test::ScopedEnvironment environment;
    test::LogCapture log;
    ManualExecutor main;
    ManualExecutor worker;
    RecordingAlerts alerts;
    std::vector<QWidget*> watched;
    int quits = 0;
    std::unique_ptr<AppComposition> composition;
};

// The access step of the onboarding window the application opens: "Open Folder" goes through
// the desktop's xdg-open, whose failure (it started, then exited 3) the step shows in words.
TEST(AppCompositionTest, TheOnboardingWindowsAccessStepShowsAFolderOpenerThatFailed) {
    CompositionFixture fixture;
    fixture.composition->openOnboarding();
    auto* view =
        qobject_cast<ui::OnboardingView*>(fixture.composition->windows().window("onboarding"));
    ASSERT_NE(view, nullptr);
    auto& steps = view->model();
    steps.step.set(OnboardingStep::fullDiskAccess);
    steps.primaryAction();
    // The opener's verdict, either way.
    ASSERT_TRUE(fixture.main.runUntil(
        [&] {
            return fixture.log->contains("fda_open_folder") ||
                   fixture.log->contains("fda_open_folder_failed");
        },
        std::chrono::seconds(60)));
    const auto status = steps.accessStatus();
    ASSERT_EQ(status.lines.size(), 2u);
    EXPECT_EQ(status.lines[1].text,
              "The folder did not open in the file manager (xdg-open exited with status 3). "
              "Copy chat.db into it by hand.");
}

// Each window route makes its own kind of window, once, watched for the last one closing.
TEST(AppCompositionTest, EachWindowRouteOpensItsWindowWatched) {
    struct Case {
        const char* window;
        std::function<void(AppComposition&)> open;
        std::function<bool(QWidget*)> isExpected;
    };
    const std::vector<Case> cases{
        {"main", [](AppComposition& c) { c.openMain(); },
         [](QWidget* w) { return qobject_cast<ui::MainWindow*>(w) != nullptr; }},
        {"onboarding", [](AppComposition& c) { c.openOnboarding(); },
         [](QWidget* w) { return qobject_cast<ui::OnboardingView*>(w) != nullptr; }},
        {"settings", [](AppComposition& c) { c.openSettings(); },
         [](QWidget* w) { return qobject_cast<ui::SettingsWindow*>(w) != nullptr; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.window);
        CompositionFixture fixture;
        c.open(*fixture.composition);
        c.open(*fixture.composition);
        QWidget* window = fixture.composition->windows().window(c.window);
        ASSERT_NE(window, nullptr);
        EXPECT_TRUE(c.isExpected(window));
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(fixture.watched, std::vector<QWidget*>{window});
    }
}

// A window that a button or the tray names comes to the front with the keyboard whatever Vask
// window covers it: Settings' "Sign In…" with the Welcome window open behind Settings, the tray's
// "Open Vask" with Settings over the main window. The activation that follows the opening goes to
// the window named, not back to the one still active while the opening's activation is on its way.
TEST(AppCompositionTest, AWindowNamedFromAnotherVaskWindowComesToTheFrontOverIt) {
    struct Case {
        const char* behind;
        std::function<void(AppComposition&)> openBehind;
        std::function<void(AppComposition&)> name;
    };
    const std::vector<Case> cases{
        {"onboarding", [](AppComposition& c) { c.openOnboarding(); },
         [](AppComposition& c) {
             auto* signIn = c.windows().window("settings")->findChild<QPushButton*>(
                 "sign-in-button");
             ASSERT_NE(signIn, nullptr);
             ASSERT_TRUE(signIn->isVisible());
             signIn->click();
         }},
        {"main", [](AppComposition& c) { c.openMain(); },
         [](AppComposition& c) {
             ui::TrayController tray(nullptr, {.openVask = [&c] { c.openMain(); },
                                               .openSettings = {},
                                               .showAbout = {},
                                               .checkForUpdates = {},
                                               .quit = {}});
             const auto items = tray.menu()->actions();
             const auto open = std::find_if(items.begin(), items.end(), [](QAction* item) {
                 return item->text() == "Open Vask";
             });
             ASSERT_NE(open, items.end());
             (*open)->trigger();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.behind);
        CompositionFixture fixture;
        const auto settle = [&fixture] {
            for (int turn = 0; turn < 5; ++turn) {
                fixture.main.runUntilIdle();
                QApplication::processEvents();
            }
        };
        c.openBehind(*fixture.composition);
        settle();
        fixture.composition->openSettings();
        settle();
        QWidget* behind = fixture.composition->windows().window(c.behind);
        QWidget* settings = fixture.composition->windows().window("settings");
        ASSERT_EQ(QApplication::activeWindow(), settings);
        c.name(*fixture.composition);
        settle();
        EXPECT_EQ(QApplication::activeWindow(), behind);
        EXPECT_TRUE(behind->isVisible());
        settings->close();
        behind->close();
        settle();
    }
}

// Without a tray nobody ever shows the popover: the test driver's window routes work from the
// start all the same.
TEST(AppCompositionTest, TheTestRoutesOpenTheirWindowsBeforeThePopoverWasShown) {
    const std::vector<std::pair<QString, const char*>> cases{
        {"vasktest://window", "main"},
        {"vasktest://onboarding", "onboarding"},
    };
    for (const auto& [url, window] : cases) {
        SCOPED_TRACE(url.toStdString());
        CompositionFixture fixture;
        fixture.composition->handleURL(url);
        fixture.main.runUntilIdle();
        QWidget* opened = fixture.composition->windows().window(window);
        ASSERT_NE(opened, nullptr);
        EXPECT_TRUE(opened->isVisible());
    }
}

// Once the interface has gone at quit, what would open a window does nothing.
TEST(AppCompositionTest, AfterTheInterfaceClosedNoRouteOpensAWindow) {
    CompositionFixture fixture;
    fixture.composition->openMain();
    fixture.composition->closeInterface();
    fixture.composition->openMain();
    fixture.composition->openOnboarding();
    fixture.composition->openSettings();
    fixture.composition->handleURL("vasktest://onboarding");
    fixture.main.runUntilIdle();
    EXPECT_EQ(fixture.watched.size(), 1u);
}

// With the hooks off a "vasktest:" link is only logged, and opens nothing.
TEST(AppCompositionTest, WithoutTheHooksATestLinkOpensNothing) {
    CompositionFixture fixture;
    fixture.environment.set("VASK_TEST_HOOKS", "0");
    fixture.composition->handleURL("vasktest://window");
    fixture.main.runUntilIdle();
    EXPECT_EQ(fixture.composition->windows().window("main"), nullptr);
    EXPECT_TRUE(fixture.log->contains("url_ignored"));
}

// The popover's chat can send only once the messages were copied and no copy runs.
TEST(AppCompositionTest, ThePopoversChatIsReadyOnlyWhileTheMessagesAreSynchronised) {
    CompositionFixture fixture;
    auto* popoverChat = fixture.composition->popover().findChild<ui::ChatView*>();
    ASSERT_NE(popoverChat, nullptr);
    auto sync = fixture.composition->root().shadowSyncViewModel();
    struct Case {
        const char* name;
        bool synced;
        bool syncing;
        bool ready;
    };
    const std::vector<Case> cases{
        {"never synchronised", false, false, false},
        {"first synchronisation running", false, true, false},
        {"synchronised", true, false, true},
        {"synchronising again", true, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sync->hasSynced.set(c.synced);
        sync->isSyncing.set(c.syncing);
        EXPECT_EQ(popoverChat->isReady(), c.ready);
    }
}

// An answer's "View in Settings": the settings window opens with a request for the memory
// manager that it had not seen before.
TEST(AppCompositionTest, TheMemoryManagerRequestOpensSettingsWithANewRequest) {
    CompositionFixture fixture;
    auto& navigation = fixture.composition->root().memorySettingsNavigation();
    const auto before = navigation.managerRequestID.get();
    fixture.composition->openMemoryManager();
    EXPECT_NE(navigation.managerRequestID.get(), before);
    ASSERT_NE(fixture.composition->windows().window("settings"), nullptr);
    EXPECT_TRUE(fixture.composition->windows().window("settings")->isVisible());
}

}  // namespace
}  // namespace vask
