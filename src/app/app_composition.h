#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/subscription.h"

class QWidget;

namespace vask {

class AlertPresenter;
class AppDependencies;
class Executor;
class MainExecutor;
class PopoverModel;
class Relauncher;
class TestQueryRouter;
class UpdateChecker;
class UrlOpener;

namespace ui {
class QtApplicationActivation;
class QtClipboard;
class QtUrlOpener;
class VaskMenu;
class WindowRegistry;
}  // namespace ui

// What the application is made of, made one way for the application and for its tests: the root
// over the process's context (its desktop openers among it), the openers of the windows, the
// popover and its chat, the windows and the routes that open them, and the test hooks. The
// running application (VaskApplication) adds the launch steps, the tray and the quit.
class AppComposition {
  public:
    // What the running application hands in.
    struct Host {
        MainExecutor& main;
        Executor& workers;
        AlertPresenter& alerts;
        // Every window the registry makes passes through it before it is shown (the last-window
        // watch); empty: none does.
        std::function<QWidget*(QWidget*)> watchWindow;
        // Ends the event loop (after a relaunch).
        std::function<void()> quit;
    };

    // Builds the root over the process's context: its environment, defaults and openers.
    explicit AppComposition(Host host);
    ~AppComposition();
    AppComposition(const AppComposition&) = delete;
    AppComposition& operator=(const AppComposition&) = delete;

    AppDependencies& root() { return *root_; }
    ui::QtApplicationActivation& activation() { return *activation_; }
    UpdateChecker& updateChecker() { return *updateChecker_; }
    PopoverModel& popoverModel() { return *popoverModel_; }
    ui::VaskMenu& popover() { return *popover_; }
    ui::WindowRegistry& windows() { return *windows_; }
    TestQueryRouter& testRouter() { return *testRouter_; }
    // The opener of every link the windows and dialogs show.
    UrlOpener& urlOpener();

    void openMain();
    void openOnboarding();
    void openSettings();
    // Settings, on the memory manager (an answer's "View in Settings").
    void openMemoryManager();
    // "vask:" URLs end the pending sign-in; while the test hooks are on, "vasktest:" URLs
    // steer the application. Anything else is logged and dropped.
    void handleURL(const QString& url);
    // The instance a relaunch started runs.
    void relaunchedInstanceStarted(std::int64_t pid);
    // At quit: the popover and every window made go, before the services they show.
    void closeInterface();

  private:
    QWidget* makePopoverChatView();
    std::unique_ptr<ui::VaskMenu> makePopover();
    QWidget* makeMainWindow();
    QWidget* makeOnboardingWindow();
    QWidget* makeSettingsWindow();
    QWidget* watched(QWidget* window);
    bool deliverToTestHooks(const QString& url);

    Host host_;
    std::shared_ptr<ui::QtApplicationActivation> activation_;
    std::unique_ptr<ui::QtClipboard> clipboard_;
    std::unique_ptr<ui::QtUrlOpener> urlOpener_;
    std::unique_ptr<AppDependencies> root_;
    std::shared_ptr<UpdateChecker> updateChecker_;
    std::unique_ptr<PopoverModel> popoverModel_;
    std::unique_ptr<ui::WindowRegistry> windows_;
    std::unique_ptr<ui::VaskMenu> popover_;
    std::shared_ptr<Relauncher> relauncher_;
    std::shared_ptr<TestQueryRouter> testRouter_;
    std::vector<Subscription> subscriptions_;
};

}  // namespace vask
