#include "vask_app.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QPointer>
#include <QProcess>
#include <QVBoxLayout>

#include <memory>
#include <utility>

#include "engine/rlm_sandbox_staging.h"
#include "foundation/app_environment.h"
#include "foundation/app_installation_gate.h"
#include "foundation/structured_logger.h"
#include "platform/file_problem.h"
#include "platform/http_client.h"
#include "platform/worker_pool.h"
#include "proactive/persona_drafts.h"
#include "proactive/proactive_surfaces.h"
#include "shell/app_dependencies.h"
#include "shell/popover_model.h"
#include "shell/relauncher.h"
#include "shell/test_query_router.h"
#include "shell/update_checker.h"
#include "shell/window_coordinator.h"
#include "sources/contacts_trace.h"
#include "ui/brand_marks.h"
#include "ui/chat/chat_view.h"
#include "ui/main_window/main_window_factory.h"
#include "ui/onboarding/onboarding_view.h"
#include "ui/popover/vask_menu.h"
#include "ui/qt_platform.h"
#include "ui/settings/settings_window_factory.h"
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

// The popover's chat and its hand-off to the main window's chat.
PopoverModel::Chat popoverChat(AppDependencies& deps) {
    return {
        .startNewSession = [&deps] { deps.popoverChatViewModel()->startNewSession(); },
        .handOffToMain =
            [&deps] { deps.popoverChatViewModel()->handOffCurrentSession(deps.chatViewModel()); },
        .refreshCredentials =
            [&deps] {
                deps.chatViewModel()->refreshCredentials();
                deps.popoverChatViewModel()->refreshCredentials();
            },
        .hasContent =
            [&deps] {
                const auto chat = deps.popoverChatViewModel();
                return !chat->transcript().empty() || chat->state.get().hasAnyMessages();
            },
        .lastError = [&deps] { return deps.popoverChatViewModel()->lastError.get(); },
        .observe =
            [&deps](std::function<void()> changed) {
                return deps.popoverChatViewModel()->observeOutline(std::move(changed));
            },
    };
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
      activation_(std::make_shared<ui::QtApplicationActivation>()),
      alerts_(std::make_unique<ui::QtAlertPresenter>()),
      clipboard_(std::make_unique<ui::QtClipboard>()),
      urlOpener_(std::make_unique<ui::QtUrlOpener>()) {}

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
    connect(singleInstance_.get(), &ui::SingleInstance::urlReceived, this,
            &VaskApplication::handleURL);
    connect(singleInstance_.get(), &ui::SingleInstance::reopenRequested, this,
            &VaskApplication::reopen);
    connect(singleInstance_.get(), &ui::SingleInstance::relaunchedInstanceStarted, this,
            [this](qint64 pid) {
                if (relauncher_) {
                    relauncher_->instanceStarted(pid);
                }
            });

    // The process's context on the application's own worker pool: main() joins it before
    // anything static goes, so no late task meets a destroyed service.
    auto context = AppDependencies::Context::forProcess(main_, workers_);
    context.application = activation_;
    dependencies_ = &AppDependencies::install(std::move(context));
    launchLogger().info("app_started", {{"instance", AppEnvironment::supportDirectoryName()},
                                        {"version", VASK_VERSION}});
    // Settings, credentials or memory Vask could not keep: the user hears of each file once.
    FileProblems::shared().setListener(
        [&main = main_, self = QPointer<VaskApplication>(this)](const FileProblem& problem) {
            main.post([self, problem] {
                if (self) {
                    self->alerts_->runModal(fileProblemAlert(problem));
                }
            });
        });

    ui::Theme::apply(app_, ui::Theme::desktopAppearance(app_));
    QApplication::setWindowIcon(ui::appIcon());
    // Every view takes its colours from the palette when it paints: a new appearance is a
    // repaint, and nothing is made again.
    ui::Theme::followDesktop(app_, {});
    // A run that was killed (its helper with it) may have left its sandbox folder behind.
    workers_.post([&deps = *dependencies_] {
        try {
            RLMSandboxStaging::sweepLeftovers(deps.shadowDBPath().string());
        } catch (const std::exception& error) {
            // No support directory: the chat reports that where it matters.
            launchLogger().warning("sandbox_sweep_skipped", {{"error", error.what()}});
        }
    });
    // The updater framework does not exist here; creating the service records that.
    UpdaterService::shared();
    dependencies_->presetCatalogService()->refreshInBackground();
    launchProactiveAssistance();

    buildInterface();
    installTestHooks();
    subscriptions_.push_back(activation_->observeDidBecomeActive([this] { becameActive(); }));
    // Where the panel has no tray, routing still runs once after start-up.
    main_.post([this] {
        routeLaunch();
        activation_->announceLaunchActivation();
        if (launchURL_) {
            handleURL(*std::exchange(launchURL_, std::nullopt));
        }
    });
    launchURL_ = arguments.url;
    return std::nullopt;
}

// --- The popover's chat ---------------------------------------------------------------------

// The popover's chat can send once the Messages history has been copied and no copy is running.
QWidget* VaskApplication::makePopoverChatView() {
    auto& deps = *dependencies_;
    auto* view = new ui::ChatView(deps.popoverChatViewModel(),
                                  {.isReady = false,
                                   .showsSessionControls = false,
                                   .showsSources = false,
                                   .focusesInputOnAppear = true,
                                   .keepsMessagesWhileHidden = false,
                                   .openSettings = [this] { openMemoryManager(); },
                                   .urlOpener = urlOpener_.get()});
    const auto sync = deps.shadowSyncViewModel();
    const auto update = [sync, view = QPointer<ui::ChatView>(view)](const auto&) {
        if (view) {
            view->setReady(sync->hasSynced.get() && !sync->isSyncing.get());
        }
    };
    subscriptions_.push_back(sync->hasSynced.subscribe(update));
    subscriptions_.push_back(sync->isSyncing.subscribe(update));
    return view;
}

// --- end of the popover's chat ---------------------------------------------------------------

void VaskApplication::buildInterface() {
    auto& deps = *dependencies_;
    updateChecker_ = UpdateChecker::make({
        .versionURL = std::string(UpdateChecker::defaultVersionURL),
        .downloadURL = std::string(UpdateChecker::defaultDownloadURL),
        .currentVersion = VASK_VERSION,
        .http = HttpClient::shared(),
        .alerts = *alerts_,
        .urlOpener = *urlOpener_,
        .main = main_,
        .worker = workers_,
    });
    popoverModel_ = std::make_unique<PopoverModel>(PopoverModel::Dependencies{
        .authMode = [&deps] { return deps.authMode(); },
        .access = deps.makeFullDiskAccessViewModel(),
        .sync = deps.shadowSyncViewModel(),
        .contacts = deps.contactsSyncViewModel(),
        .hasUpdaterController = [] { return UpdaterService::shared().hasController(); },
        .checkForUpdates = [this] { updateChecker_->checkForUpdates(); },
        .configLoadError = [&deps]() -> std::optional<std::string> {
            if (const auto error = deps.configManager().loadError()) {
                return std::string(error->what());
            }
            return std::nullopt;
        },
        .contactsTrace = [](const std::string& line) { ContactsTrace::log(line); },
        .chat = popoverChat(deps),
    });

    windows_ = std::make_unique<ui::WindowRegistry>();
    windows_->registerWindow("main", [this] { return watched(makeMainWindow()); });
    windows_->registerWindow("onboarding", [this] { return watched(makeOnboardingWindow()); });
    windows_->registerWindow("settings", [this] { return watched(makeSettingsWindow()); });

    popover_ = makePopover();

    tray_ = std::make_unique<ui::TrayController>(
        popover_.get(), ui::TrayController::Actions{
                            .openVask = [this] { openMain(); },
                            .openSettings = [this] { windows_->open("settings"); },
                            .showAbout = [this] { showAbout(); },
                            .checkForUpdates = {},
                            .quit = [] { QApplication::quit(); },
                        });
    // Owned by the tray controller, so the keys go with the windows they open.
    new ui::StandardKeys({.quit = [] { QApplication::quit(); },
                          .openSettings = [this] { windows_->open("settings"); }},
                         tray_.get());
    const bool hasTray = tray_->install();
    launchLogger().info("tray_installed", {{"available", hasTray ? "true" : "false"}});
    deps.trayShown().set(hasTray);
    connect(tray_.get(), &ui::TrayController::trayAppeared, this, [this] {
        launchLogger().info("tray_appeared", {});
        dependencies_->trayShown().set(true);
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
                    QApplication::quit();
                },
        });
    lastWindow_ = new ui::LastWindowWatcher(
        [this] {
            if (lastWindowPolicy_) {
                lastWindowPolicy_->lastWindowClosed();
            }
        },
        tray_.get());
    // Credentials read on the worker reach the popover (and through it the chats) on arrival.
    subscriptions_.push_back(deps.observeAuthModeArrivals([this] {
        if (popoverModel_) {
            popoverModel_->credentialsArrived();
        }
    }));
}

// --- Proactive assistance -------------------------------------------------------------------

void VaskApplication::launchProactiveAssistance() {
    auto& deps = *dependencies_;
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

void VaskApplication::routeLaunch() {
    auto& coordinator = dependencies_->windowCoordinator();
    coordinator.openMain = [this] {
        windows_->open("main");
        activation_->activateIgnoringOtherApps();
    };
    coordinator.openOnboarding = [this] {
        windows_->open("onboarding");
        activation_->activateIgnoringOtherApps();
    };
    coordinator.closeMain = [this] { windows_->close("main"); };
    if (std::exchange(didCoordinateLaunch_, true)) {
        return;
    }
    // Which window opens depends on the stored credentials, which a slow keyring hands over
    // later: the tray and the launch's URL are served meanwhile.
    dependencies_->whenAuthModeKnown([this] { openLaunchWindow(); });
}

void VaskApplication::openLaunchWindow() {
    auto& coordinator = dependencies_->windowCoordinator();
    if (dependencies_->shouldPresentOnboardingAtLaunch()) {
        launchLogger().info(
            "launch_open_onboarding",
            {{"resume", dependencies_->onboardingState().wasStarted() ? "true" : "false"}});
        WindowCoordinator::run(coordinator.openOnboarding);
    } else {
        launchLogger().info("launch_open_main", {});
        WindowCoordinator::run(coordinator.openMain);
    }
}

void VaskApplication::tellStillRunning(std::function<void(bool)> shown) {
    dependencies_->userNotificationCenter().add(
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

void VaskApplication::openMain() {
    WindowCoordinator::run(dependencies_->windowCoordinator().openMain);
}

void VaskApplication::openMemoryManager() {
    dependencies_->memorySettingsNavigation().managerRequestID.set(Uuid::random());
    windows_->open("settings");
}

void VaskApplication::becameActive() {
    dependencies_->shadowSyncViewModel()->syncIfPossible();
    dependencies_->chatViewModel()->recheckUsageAfterReturn();
}

void VaskApplication::reopen() {
    if (!windows_->hasVisibleWindow()) {
        openMain();
    }
}

void VaskApplication::handleURL(const QString& url) {
    const auto parsed = Url::parse(url.toStdString());
    if (parsed && parsed->scheme() == "vask") {
        dependencies_->webAuthenticationSession().deliverCallback(*parsed);
        return;
    }
    if (deliverToTestHooks(url)) {
        return;
    }
    launchLogger().info("url_ignored", {{"scheme", parsed ? parsed->scheme() : "none"}});
}

// --- Test hooks ----------------------------------------------------------------------------

namespace {

// Runs `action` when the watched widget is about to be shown, before its own show handling.
class ShowWatcher : public QObject {
  public:
    ShowWatcher(QObject* parent, std::function<void()> action)
        : QObject(parent), action_(std::move(action)) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            action_();
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    std::function<void()> action_;
};

}  // namespace

void VaskApplication::installTestHooks() {
    auto& deps = *dependencies_;
    const auto environment = processEnvironment();
    testRouter_ = TestQueryRouter::make({
        .main = main_,
        .scheduler = deps.context().scheduler,
        .clock = Clock::system(),
        .logPath = TestQueryRouter::logPathFrom(environment),
        .services = TestQueryRouter::servicesOf(deps),
    });
    // A driver must be able to ask before anyone opened the popover.
    if (TestQueryRouter::hooksEnabled(environment)) {
        testRouter_->chatViewModel = deps.popoverChatViewModel();
    }
}

std::unique_ptr<ui::VaskMenu> VaskApplication::makePopover() {
    auto& deps = *dependencies_;
    auto popover = std::make_unique<ui::VaskMenu>(
        *popoverModel_, makePopoverChatView(), *clipboard_,
        ui::VaskMenu::Actions{
            .openMain = [this] { openMain(); },
            .openOnboarding =
                [this] {
                    WindowCoordinator::run(dependencies_->windowCoordinator().openOnboarding);
                },
        });
    // The popover hands the router its chat and window actions each time it is shown, whether
    // or not the hooks are on.
    popover->installEventFilter(new ShowWatcher(popover.get(), [this, &deps] {
        if (!testRouter_) {
            return;
        }
        testRouter_->chatViewModel = deps.popoverChatViewModel();
        testRouter_->openMainWindow = [this] { openMain(); };
        testRouter_->openOnboarding = [this] {
            WindowCoordinator::run(dependencies_->windowCoordinator().openOnboarding);
        };
    }));
    return popover;
}

// Every URL the application receives reaches the router while the hooks are on (as the
// popover's scene would hand it on); the router acts on "vasktest:" alone.
bool VaskApplication::deliverToTestHooks(const QString& url) {
    if (!testRouter_ || !TestQueryRouter::hooksEnabled(processEnvironment())) {
        return false;
    }
    const std::string text = url.toStdString();
    testRouter_->handle(text);
    const auto parts = TestQueryRouter::split(text);
    return parts && parts->scheme == TestQueryRouter::scheme;
}

// --- end of test hooks ----------------------------------------------------------------------

void VaskApplication::showAbout() {
    ui::showAboutBox("About Vask",
                     QString("<b>Vask</b> %1<br><br>"
                             "<a href=\"https://ternwick.ai\">ternwick.ai</a>")
                         .arg(VASK_VERSION),
                     ui::appIcon().pixmap(64));
}

QWidget* VaskApplication::makeOnboardingWindow() {
    auto& deps = *dependencies_;
    if (!relauncher_) {
        relauncher_ = Relauncher::make({
            .spawn = [this] { return spawnRelaunchedInstance(); },
            .quit = [] { QApplication::quit(); },
            .failed =
                [this](const std::string& text) {
                    alerts_->runModal({.style = Alert::Style::warning,
                                       .messageText = text,
                                       .informativeText = {},
                                       .buttons = {"OK"}});
                },
            .main = main_,
            .scheduler = deps.context().scheduler,
        });
    }
    auto model = deps.makeOnboardingStepsModel({
        .openMain = [this] { openMain(); },
        .activate = [this] { activation_->activateIgnoringOtherApps(); },
        .closeWindow = [this] { windows_->close("onboarding"); },
        .relaunch = [this] { relauncher_->relaunch(); },
    });
    return new ui::OnboardingView(std::move(model));
}

// The new instance waits for this one's lock (--relaunch) and tells it that it runs; only then
// does this one quit (Relauncher).
std::optional<std::int64_t> VaskApplication::spawnRelaunchedInstance() {
    qint64 pid = 0;
    if (!QProcess::startDetached(QCoreApplication::applicationFilePath(), {"--relaunch"}, QString(),
                                 &pid)) {
        return std::nullopt;
    }
    return pid;
}

void VaskApplication::shutDown() {
    // Nothing runs on the event loop from here; work still on the workers finishes and its
    // results are dropped, and the interface goes before the services it shows.
    // A launch from now on waits for the lock rather than handing its URL to a loop that ended.
    if (singleInstance_) {
        singleInstance_->stopListening();
    }
    if (dependencies_ != nullptr) {
        // Nothing on the workers may hold the quit up: a first synchronisation may have minutes
        // to go, a chat turn up to its own limit, a request to a silent server its time limit.
        // Each stops at once, so that the worker pool can be joined at once; a running turn's
        // question is stored first.
        HttpClient::shared().stopAll();
        dependencies_->shutDown();
        dependencies_->notificationService()->withdrawAllDelivered();
    }
    main_.stopAccepting();
    subscriptions_.clear();
    lastWindowPolicy_.reset();
    tray_.reset();
    popover_.reset();
    windows_.reset();
    popoverModel_.reset();
}

void VaskApplication::closeDatabases() {
    if (dependencies_ != nullptr) {
        dependencies_->closeDatabases();
    }
}

void VaskApplication::releaseInstance() {
    singleInstance_.reset();
}

// ---- Main and settings windows ----

QWidget* VaskApplication::makeMainWindow() {
    // The window shows the chat only once messages are synchronised, so it is always ready.
    return ui::makeMainWindow(*dependencies_, *clipboard_, *urlOpener_, [this]() -> QWidget* {
        return new ui::ChatView(dependencies_->chatViewModel(),
                                {.isReady = true,
                                 .showsSessionControls = false,
                                 .showsSources = true,
                                 .focusesInputOnAppear = false,
                                 .openSettings = [this] { openMemoryManager(); },
                                 .urlOpener = urlOpener_.get()});
    });
}

QWidget* VaskApplication::makeSettingsWindow() {
    auto& deps = *dependencies_;
    ui::SettingsWindowHooks hooks;
    hooks.refreshChatCredentials = {[&deps] { deps.chatViewModel()->refreshCredentials(); },
                                    [&deps] { deps.popoverChatViewModel()->refreshCredentials(); }};
    hooks.proactiveReaction = {
        .enableEpoch = [&deps] { return deps.awaitingReplyNotifier()->enableEpoch(); },
        .refresh =
            [&deps](bool debounce,
                    std::function<void(const std::vector<AwaitingReply>&)> completion) {
                deps.awaitingReplyViewModel()->refresh(debounce, std::move(completion));
            },
        .start = [&deps](const std::vector<AwaitingReply>& seed,
                         int epoch) { deps.awaitingReplyNotifier()->start(seed, epoch); },
        .stop = [&deps] { deps.awaitingReplyNotifier()->stop(); },
    };
    hooks.urlOpener = urlOpener_.get();
    return ui::makeSettingsWindow(deps, std::move(hooks));
}

}  // namespace vask
