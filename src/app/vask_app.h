#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/subscription.h"

class QApplication;
class QMessageBox;
class QWidget;

namespace vask {

class AppComposition;
class LastWindowPolicy;
class Executor;

namespace ui {
class QtAlertPresenter;
class QtMainExecutor;
class LastWindowWatcher;
class SingleInstance;
class TrayController;
}  // namespace ui

// The running application: its composition (AppComposition), the tray icon, and the steps of
// launch, activation, reopening and quitting.
class VaskApplication : public QObject {
    Q_OBJECT
  public:
    struct Arguments {
        std::optional<QString> url;
        bool relaunch = false;
        // What the desktop gave the launch to bring a window forward (`ui::launchStartupId`),
        // read before the toolkit is set up: its X11 platform takes it out of the environment.
        QByteArray startupId;
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
    // Gives up the single-instance lock and socket: right after shutDown(), once the
    // synchronisation has stopped (however long that takes) and before the quit waits for
    // anything else, so that a launch is never refused by a Vask that is leaving, nor writes the
    // shadow database beside its last run.
    void releaseInstance();

  private:
    static QString instanceDataFolder();
    void buildInterface();
    // Notifications, the digest sweep, the awaiting-reply notifier and the persona-drafts
    // migration.
    void launchProactiveAssistance();
    void routeLaunch();
    void openLaunchWindow();
    // A window made for the registry, watched for the last one closing.
    QWidget* watched(QWidget* window);
    // Without a tray, once the last window closed: how to bring Vask back, as a notification.
    void tellStillRunning(std::function<void(bool shown)> shown);
    void becameActive();
    // A second launch: the window in sight comes to the front with the launch's startup id;
    // with none in sight, the main window opens.
    void reopen(const QByteArray& startupId);
    void showAbout();

    QApplication& app_;
    ui::QtMainExecutor& main_;
    Executor& workers_;
    std::unique_ptr<ui::QtAlertPresenter> alerts_;
    std::unique_ptr<ui::SingleInstance> singleInstance_;
    std::unique_ptr<AppComposition> composition_;
    std::unique_ptr<ui::TrayController> tray_;
    QPointer<ui::LastWindowWatcher> lastWindow_;
    QPointer<QMessageBox> about_;
    std::unique_ptr<LastWindowPolicy> lastWindowPolicy_;
    bool didCoordinateLaunch_ = false;
    std::optional<QString> launchURL_;
    std::vector<Subscription> subscriptions_;
};

}  // namespace vask
