#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/subscription.h"

class QApplication;
class QWidget;

namespace vask {

class AppDependencies;
class LastWindowPolicy;
class PopoverModel;
class Relauncher;
class TestQueryRouter;
class UpdateChecker;
class Executor;

namespace ui {
class QtApplicationActivation;
class QtAlertPresenter;
class QtClipboard;
class QtMainExecutor;
class QtUrlOpener;
class LastWindowWatcher;
class SingleInstance;
class TrayController;
class VaskMenu;
class WindowRegistry;
}  // namespace ui

// The running application: the services, the tray icon and popover, the windows, and the steps
// of launch, activation, reopening and quitting.
class VaskApplication : public QObject {
    Q_OBJECT
  public:
    struct Arguments {
        std::optional<QString> url;
        bool relaunch = false;
    };
    static std::optional<Arguments> parseArguments(const QStringList& arguments);

    VaskApplication(QApplication& app, ui::QtMainExecutor& main, Executor& workers);
    ~VaskApplication() override;

    // The launch steps, in order. Returns the exit status when the process should end at once
    // (its URL went to the running instance, or no instance could be had).
    std::optional<int> launch(const Arguments& arguments);
    // Stops what runs in the background before the process leaves.
    void shutDown();
    // Once the workers have been joined: every service goes, and with them every database
    // connection, so that a clean quit leaves checkpointed databases.
    void closeDatabases();
    // Gives up the single-instance lock and socket: right after shutDown(), before the quit waits
    // for anything, so that a launch is never refused by a Vask that is leaving.
    void releaseInstance();

  private:
    static QString instanceDataFolder();
    void buildInterface();
    QWidget* makePopoverChatView();
    std::unique_ptr<ui::VaskMenu> makePopover();
    // Notifications, the digest sweep, the awaiting-reply notifier and the persona-drafts
    // migration.
    void launchProactiveAssistance();
    void routeLaunch();
    void openLaunchWindow();
    void openMain();
    // A window made for the registry, watched for the last one closing.
    QWidget* watched(QWidget* window);
    // Without a tray, once the last window closed: how to bring Vask back, as a notification.
    void tellStillRunning(std::function<void(bool shown)> shown);
    // Settings, on the memory manager (an answer's "View in Settings").
    void openMemoryManager();
    void becameActive();
    void reopen();
    void handleURL(const QString& url);
    // Test hooks: the router of "vasktest:" URLs, its launch step and the popover's hooks.
    void installTestHooks();
    bool deliverToTestHooks(const QString& url);
    void showAbout();

    // Onboarding: its window, and quit-and-reopen.
    QWidget* makeOnboardingWindow();
    // The main and settings windows.
    QWidget* makeMainWindow();
    QWidget* makeSettingsWindow();
    std::optional<std::int64_t> spawnRelaunchedInstance();

    QApplication& app_;
    ui::QtMainExecutor& main_;
    Executor& workers_;
    std::shared_ptr<ui::QtApplicationActivation> activation_;
    std::unique_ptr<ui::QtAlertPresenter> alerts_;
    std::unique_ptr<ui::QtClipboard> clipboard_;
    std::unique_ptr<ui::QtUrlOpener> urlOpener_;
    std::unique_ptr<ui::SingleInstance> singleInstance_;
    AppDependencies* dependencies_ = nullptr;
    std::shared_ptr<UpdateChecker> updateChecker_;
    std::unique_ptr<PopoverModel> popoverModel_;
    std::unique_ptr<ui::VaskMenu> popover_;
    std::unique_ptr<ui::WindowRegistry> windows_;
    std::unique_ptr<ui::TrayController> tray_;
    QPointer<ui::LastWindowWatcher> lastWindow_;
    std::unique_ptr<LastWindowPolicy> lastWindowPolicy_;
    bool didCoordinateLaunch_ = false;
    std::optional<QString> launchURL_;
    std::vector<Subscription> subscriptions_;
    std::shared_ptr<Relauncher> relauncher_;
    std::shared_ptr<TestQueryRouter> testRouter_;
};

}  // namespace vask
