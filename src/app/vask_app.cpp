#include "vask_app.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>

#include <chrono>
#include <memory>
#include <utility>

#include "app_composition.h"
#include "engine/rlm_sandbox_staging.h"
#include "foundation/app_environment.h"
#include "foundation/app_installation_gate.h"
#include "foundation/structured_logger.h"
#include "platform/clock.h"
#include "platform/file_problem.h"
#include "platform/http_client.h"
#include "proactive/persona_drafts.h"
#include "proactive/proactive_surfaces.h"
#include "quit_signals.h"
#include "shell/app_dependencies.h"
#include "shell/shadow_sync_view_model.h"
#include "shell/update_checker.h"
#include "shell/window_coordinator.h"
#include "ui/brand_marks.h"
#include "ui/keyboard.h"
#include "ui/popover/vask_menu.h"
#include "ui/qt_platform.h"
#include "ui/single_instance.h"
#include "ui/theme.h"
#include "ui/tray_controller.h"
#include "ui/window_registry.h"

namespace vask {

namespace {

const StructuredLogger& launchLogger() {
    static const StructuredLogger logger("launch");
    return logger;
}

}  // namespace

std::optional<VaskApplication::Arguments> VaskApplication::parseArguments(
    const QStringList& arguments) {
    Arguments parsed;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == "--relaunch") {
            parsed.relaunch = true;
        } else if (!argument.startsWith("-") && !parsed.url) {
            parsed.url = argument;
        } else {
            return std::nullopt;
        }
    }
    return parsed;
}

VaskApplication::VaskApplication(QApplication& app, ui::QtMainExecutor& main, Executor& workers)
    : app_(app),
      main_(main),
      workers_(workers),
      alerts_(std::make_unique<ui::QtAlertPresenter>()) {}

VaskApplication::~VaskApplication() = default;

// The data folder the single-instance lock protects; empty when it cannot be had (the services
// say why where it matters, and the lock is then kept beside the socket).
QString VaskApplication::instanceDataFolder() {
    try {
        return QString::fromStdString(AppEnvironment::supportDirectoryURL().string());
    } catch (const std::exception& error) {
        launchLogger().error("instance_data_folder_unavailable", {{"error", error.what()}});
        return {};
    }
}

std::optional<int> VaskApplication::launch(const Arguments& arguments) {
    AppInstallationGate::requireCanonicalInstall(*alerts_, [] { std::exit(EXIT_FAILURE); });

    singleInstance_ = std::make_unique<ui::SingleInstance>(
        QString::fromStdString(AppEnvironment::supportDirectoryName()), instanceDataFolder());
    singleInstance_->setStartupId(arguments.startupId);
    switch (singleInstance_->claimOrForward(arguments.url, arguments.relaunch)) {
        case ui::SingleInstance::Role::forwarded:
            launchLogger().info("launch_forwarded", {{"url", arguments.url ? "true" : "false"}});
            return EXIT_SUCCESS;
        case ui::SingleInstance::Role::failed:
            launchLogger().error("launch_single_instance_failed",
                                 {{"reason", singleInstance_->failureReason().toStdString()}});
            alerts_->runModal(ui::SingleInstance::failureAlert(singleInstance_->failureReason()));
            return EXIT_FAILURE;
        case ui::SingleInstance::Role::primary:
            break;
    }
    // The launch's token goes with its URL: the window the URL brings forward (the sign-in's
    // end) comes with it.
    connect(singleInstance_.get(), &ui::SingleInstance::urlReceived, this,
            [this](const QString& url, const QByteArray& startupId) {
                ui::offerActivationToken(startupId, ui::OfferedToken::launch);
                composition_->handleURL(url);
            });
    connect(singleInstance_.get(), &ui::SingleInstance::reopenRequested, this,
            &VaskApplication::reopen);
    connect(singleInstance_.get(), &ui::SingleInstance::relaunchedInstanceStarted, this,
            [this](qint64 pid) { composition_->relaunchedInstanceStarted(pid); });

    // The first window this launch opens comes with the launch's token.
    ui::offerLaunchToken(arguments.startupId);
    ui::Theme::apply(app_, ui::Theme::desktopAppearance(app_));
    ui::installKeyboardHandling(app_);
    QApplication::setWindowIcon(ui::appIcon());
    // Every view takes its colours from the palette when it paints: a new appearance is a
    // repaint, and nothing is made again.
    ui::Theme::followDesktop(app_, {});

    composition_ = std::make_unique<AppComposition>(AppComposition::Host{
        .main = main_,
        .workers = workers_,
        .alerts = *alerts_,
        .watchWindow = [this](QWidget* window) { return watched(window); },
        .quit = [] { requestQuit(); },
    });
    auto& deps = composition_->root();
    launchLogger().info("app_started", {{"instance", AppEnvironment::supportDirectoryName()},
                                        {"version", VASK_VERSION}});
    // Settings, credentials or memory Vask could not keep: the user hears of each file once.
    deps.fileProblems().setListener(
        [&main = main_, self = QPointer<VaskApplication>(this)](const FileProblem& problem) {
            main.post([self, problem] {
                if (self) {
                    self->alerts_->runModal(fileProblemAlert(problem));
                }
            });
        });

    // A run that was killed (its helper with it) may have left its sandbox folder behind.
    workers_.post([&deps] {
        try {
            RLMSandboxStaging::sweepLeftovers(deps.shadowDBPath().string());
        } catch (const std::exception& error) {
            // No support directory: the chat reports that where it matters.
            launchLogger().warning("sandbox_sweep_skipped", {{"error", error.what()}});
        }
    });
    // The updater framework does not exist here; creating the service records that.
    UpdaterService::shared();
    deps.presetCatalogService()->refreshInBackground();
    // Before any window: the awaiting list needs the contacts' names, whatever opens first.
    deps.startContactsSync();
    launchProactiveAssistance();

    buildInterface();
    subscriptions_.push_back(
        composition_->activation().observeDidBecomeActive([this] { becameActive(); }));
    // Where the panel has no tray, routing still runs once after start-up.
    main_.post([this] {
        routeLaunch();
        composition_->activation().announceLaunchActivation();
        if (launchURL_) {
            composition_->handleURL(*std::exchange(launchURL_, std::nullopt));
        }
    });
    launchURL_ = arguments.url;
    return std::nullopt;
}

void VaskApplication::buildInterface() {
    tray_ = std::make_unique<ui::TrayController>(
        &composition_->popover(), ui::TrayController::Actions{
                                      .openVask = [this] { composition_->openMain(); },
                                      .openSettings = [this] { composition_->openSettings(); },
                                      .showAbout = [this] { showAbout(); },
                                      .checkForUpdates = {},
                                      .quit = [] { requestQuit(); },
                                  });
    // Owned by the tray controller, so the keys go with the windows they open.
    new ui::StandardKeys(
        {.quit = [] { requestQuit(); }, .openSettings = [this] { composition_->openSettings(); }},
        tray_.get());
    const bool hasTray = tray_->install();
    launchLogger().info("tray_installed", {{"available", hasTray ? "true" : "false"}});
    composition_->root().trayShown().set(hasTray);
    connect(tray_.get(), &ui::TrayController::trayAppeared, this, [this] {
        launchLogger().info("tray_appeared", {});
        composition_->root().trayShown().set(true);
        if (lastWindowPolicy_) {
            lastWindowPolicy_->setHasTray(true);
        }
    });
    lastWindowPolicy_ = std::make_unique<LastWindowPolicy>(
        hasTray,
        LastWindowPolicy::Actions{
            .tell = [this](std::function<void(bool)> shown) { tellStillRunning(std::move(shown)); },
            .quit =
                [] {
                    launchLogger().info("quit_last_window_closed", {{"tray", "false"}});
                    requestQuit();
                },
        });
    lastWindow_ = new ui::LastWindowWatcher(
        [this] {
            if (lastWindowPolicy_) {
                lastWindowPolicy_->lastWindowClosed();
            }
        },
        tray_.get());
}

// --- Proactive assistance -------------------------------------------------------------------

void VaskApplication::launchProactiveAssistance() {
    auto& deps = composition_->root();
    PersonaDrafts::migrateLegacyOptOut(deps.context().defaults);

    const auto notifications = deps.notificationService();
    StructuredLogger("notifications").info("notifications_bootstrapped", {});
    // Nothing makes digests: any digest notification still on the desktop goes.
    notifications->removeAll("digest-");

    // Taps reach only the run that posted (the server sends actions to the posting
    // connection, and the ids are mapped in memory): this run's notifications stay tappable
    // while the notifier is stopped, and are withdrawn at quit.
    deps.awaitingReplyNotifier()->routeTaps();

    const bool surfacesOn =
        deps.context()
            .defaults.boolValue(deps.instanceScopedKey(ProactiveSurfaces::enabledKeyBase))
            .valueOr(false);
    if (surfacesOn) {
        deps.awaitingReplyNotifier()->start(std::nullopt, std::nullopt);
    }
}

// --- end of proactive assistance ----------------------------------------------------------

// Where the panel has no tray, this still runs once after start-up.
void VaskApplication::routeLaunch() {
    if (std::exchange(didCoordinateLaunch_, true)) {
        return;
    }
    // Which window opens depends on the stored credentials, which a slow keyring hands over
    // later: the tray and the launch's URL are served meanwhile.
    composition_->root().whenAuthModeKnown([this] { openLaunchWindow(); });
}

void VaskApplication::openLaunchWindow() {
    auto& deps = composition_->root();
    if (deps.shouldPresentOnboardingAtLaunch()) {
        launchLogger().info("launch_open_onboarding",
                            {{"resume", deps.onboardingState().wasStarted() ? "true" : "false"}});
        composition_->openOnboarding();
    } else {
        launchLogger().info("launch_open_main", {});
        composition_->openMain();
    }
}

void VaskApplication::tellStillRunning(std::function<void(bool)> shown) {
    composition_->root().userNotificationCenter().add(
        {.identifier = "vask-still-running",
         .title = LastWindowPolicy::noticeTitle,
         .body = LastWindowPolicy::noticeBody,
         .userInfo = {}},
        [&main = main_, self = QPointer<VaskApplication>(this),
         shown = std::move(shown)](const std::optional<std::string>& error) {
            main.post([self, shown, error] {
                if (self && self->lastWindowPolicy_) {
                    launchLogger().info(
                        "still_running_notice",
                        {{"shown", error ? "false" : "true"}, {"error", error.value_or("")}});
                    shown(!error);
                }
            });
        });
}

QWidget* VaskApplication::watched(QWidget* window) {
    return lastWindow_ ? lastWindow_->watch(window) : window;
}

void VaskApplication::becameActive() {
    composition_->root().shadowSyncViewModel()->syncIfPossible();
    composition_->root().chatViewModel()->recheckUsageAfterReturn();
}

void VaskApplication::reopen(const QByteArray& startupId) {
    launchLogger().info("launch_reopen", {{"startup_id", startupId.toStdString()}});
    auto& windows = composition_->windows();
    windows.setStartupId(startupId);
    if (QWidget* shown = windows.frontWindow()) {
        windows.raise(shown);
    } else {
        composition_->openMain();
    }
    windows.setStartupId({});
}

void VaskApplication::showAbout() {
    about_ = ui::showAboutBox("About Vask",
                              QString("<b>Vask</b> %1<br><br>"
                                      "<a href=\"https://ternwick.ai\">ternwick.ai</a>")
                                  .arg(VASK_VERSION),
                              ui::appIcon().pixmap(64), composition_->urlOpener());
}

void VaskApplication::shutDown() {
    // Nothing runs on the event loop from here; work still on the workers finishes and its
    // results are dropped, and the interface goes before the services it shows.
    // A launch from now on waits for the lock rather than handing its URL to a loop that ended.
    if (singleInstance_) {
        singleInstance_->stopListening();
    }
    if (composition_) {
        // Nothing on the workers may hold the quit up: a first synchronisation may have minutes
        // to go, a chat turn up to its own limit, a request to a silent server its time limit.
        // Each stops at once, so that the worker pool can be joined at once; a running turn's
        // question is stored first.
        composition_->root().httpClient().stopAll();
        composition_->root().shutDown();
        composition_->root().notificationService()->withdrawAllDelivered();
    }
    main_.stopAccepting();
    // Its link opens through the composition's opener, which goes with the interface.
    delete about_;
    subscriptions_.clear();
    lastWindowPolicy_.reset();
    tray_.reset();
    if (composition_) {
        composition_->closeInterface();
    }
}

void VaskApplication::closeDatabases() {
    if (composition_) {
        composition_->root().closeDatabases();
    }
}

void VaskApplication::releaseInstance() {
    // The lock goes only once the synchronisation, the shadow database's writer, has stopped
    // (a stop ends it within a second in every phase): a launch from now on waits for the lock
    // rather than write the shadow database beside this one's last run. A run still going after
    // a second is logged and waited for; the process could not end before it anyway.
    if (composition_) {
        const auto& sync = *composition_->root().shadowSyncViewModel();
        const auto stoppedWithinASecond = [&sync] {
            return sync.waitUntilStopped(Clock::system().monotonicNow() + std::chrono::seconds(1));
        };
        bool stopped = stoppedWithinASecond();
        if (!stopped) {
            StructuredLogger("launch").warning("sync_still_running_at_release", {});
            while (!stopped) {
                stopped = stoppedWithinASecond();
            }
            StructuredLogger("launch").info("sync_stopped_after_release_wait", {});
        }
    }
    singleInstance_.reset();
}

}  // namespace vask
