#include "vask_app.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QMessageBox>
#include <QVBoxLayout>

#include "foundation/app_environment.h"
#include "foundation/app_installation_gate.h"
#include "foundation/structured_logger.h"
#include "platform/worker_pool.h"
#include "proactive/persona_drafts.h"
#include "proactive/proactive_surfaces.h"
#include "shell/app_dependencies.h"
#include "shell/popover_model.h"
#include "shell/test_query_router.h"
#include "shell/update_checker.h"
#include "shell/window_coordinator.h"
#include "sources/contacts_trace.h"
#include "ui/brand_marks.h"
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

// The main, onboarding and settings windows until their screens are built: the mark and the
// window's purpose, so that opening them is visible.
QWidget* makeWindowShell(const QString& title, QSize size) {
    auto* window = new QWidget;
    window->setWindowTitle(title);
    window->resize(size);
    auto* column = new QVBoxLayout(window);
    column->addStretch();
    auto* mark = new ui::CurlMark(false);
    mark->setFixedSize(64, 64);
    column->addWidget(mark, 0, Qt::AlignHCenter);
    auto* label = new QLabel(title);
    label->setFont(ui::Theme::font(ui::FontRole::headline));
    label->setAlignment(Qt::AlignCenter);
    column->addWidget(label);
    column->addStretch();
    return window;
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

VaskApplication::VaskApplication(QApplication& app, ui::QtMainExecutor& main, WorkerPool& workers)
    : app_(app),
      main_(main),
      workers_(workers),
      activation_(std::make_shared<ui::QtApplicationActivation>()),
      alerts_(std::make_unique<ui::QtAlertPresenter>()),
      clipboard_(std::make_unique<ui::QtClipboard>()),
      urlOpener_(std::make_unique<ui::QtUrlOpener>()) {}

VaskApplication::~VaskApplication() = default;

std::optional<int> VaskApplication::launch(const Arguments& arguments) {
    AppInstallationGate::requireCanonicalInstall(*alerts_, [] { std::exit(EXIT_FAILURE); });

    singleInstance_ = std::make_unique<ui::SingleInstance>(
        QString::fromStdString(AppEnvironment::supportDirectoryName()));
    switch (singleInstance_->claimOrForward(arguments.url, arguments.relaunch)) {
        case ui::SingleInstance::Role::forwarded:
            launchLogger().info("launch_forwarded", {{"url", arguments.url ? "true" : "false"}});
            return EXIT_SUCCESS;
        case ui::SingleInstance::Role::failed:
            launchLogger().error("launch_single_instance_failed", {});
            return EXIT_FAILURE;
        case ui::SingleInstance::Role::primary:
            break;
    }
    connect(singleInstance_.get(), &ui::SingleInstance::urlReceived, this,
            &VaskApplication::handleURL);
    connect(singleInstance_.get(), &ui::SingleInstance::reopenRequested, this,
            &VaskApplication::reopen);

    auto context = AppDependencies::Context::forProcess(main_);
    context.worker = workers_;
    context.application = activation_;
    dependencies_ = &AppDependencies::install(std::move(context));
    launchLogger().info("app_started", {{"instance", AppEnvironment::supportDirectoryName()},
                                        {"version", VASK_VERSION}});

    ui::Theme::apply(app_, ui::Theme::appearanceOf(QApplication::palette()));
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
    windows_->registerWindow("main", [] { return makeWindowShell("Vask", {900, 640}); });
    windows_->registerWindow("onboarding", [] {
        return makeWindowShell("Welcome to Vask", {560, 620});
    });
    windows_->registerWindow("settings", [] {
        return makeWindowShell("Vask Settings", {520, 560});
    });

    popover_ = std::make_unique<ui::VaskMenu>(
        *popoverModel_, new QWidget, *clipboard_,
        ui::VaskMenu::Actions{
            .openMain = [] { WindowCoordinator::run(WindowCoordinator::shared().openMain); },
            .openOnboarding =
                [] { WindowCoordinator::run(WindowCoordinator::shared().openOnboarding); },
        });

    tray_ = std::make_unique<ui::TrayController>(
        popover_.get(),
        ui::TrayController::Actions{
            .openVask = [] { WindowCoordinator::run(WindowCoordinator::shared().openMain); },
            .openSettings = [this] { windows_->open("settings"); },
            .showAbout = [this] { showAbout(); },
            .checkForUpdates = {},
            .quit = [] { QApplication::quit(); },
        });
    const bool hasTray = tray_->install();
    launchLogger().info("tray_installed", {{"available", hasTray ? "true" : "false"}});
}

// --- Proactive assistance -------------------------------------------------------------------

void VaskApplication::launchProactiveAssistance() {
    auto& deps = *dependencies_;
    PersonaDrafts::migrateLegacyOptOut(deps.context().defaults);

    const auto notifications = deps.notificationService();
    StructuredLogger("notifications").info("notifications_bootstrapped", {});
    // Nothing makes digests: any digest notification still on the desktop goes.
    notifications->removeAll("digest-");

    // A notification from an earlier run may be tapped before the notifier starts.
    notifications->tapHandlers[AwaitingReplyNotifier::openAwaitingAction] =
        [awaiting = deps.awaitingReplyViewModel()](const NotificationUserInfo&) {
            WindowCoordinator::run(WindowCoordinator::shared().openMain);
            awaiting->pendingFocus().set(true);
        };

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
    auto& coordinator = WindowCoordinator::shared();
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

void VaskApplication::becameActive() {
    dependencies_->shadowSyncViewModel()->syncIfPossible();
    dependencies_->chatViewModel()->recheckUsageAfterReturn();
}

void VaskApplication::reopen() {
    if (!windows_->hasVisibleWindow()) {
        WindowCoordinator::run(WindowCoordinator::shared().openMain);
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
        .scheduler = Scheduler::system(),
        .clock = Clock::system(),
        .logPath = TestQueryRouter::logPathFrom(environment),
        .services = TestQueryRouter::servicesOf(deps),
    });
    // The popover hands the router its chat and window actions each time it is shown, whether
    // or not the hooks are on.
    popover_->installEventFilter(new ShowWatcher(popover_.get(), [this, &deps] {
        testRouter_->chatViewModel = deps.popoverChatViewModel();
        testRouter_->openMainWindow = [] {
            WindowCoordinator::run(WindowCoordinator::shared().openMain);
        };
        testRouter_->openOnboarding = [] {
            WindowCoordinator::run(WindowCoordinator::shared().openOnboarding);
        };
    }));
    // A driver must be able to ask before anyone opened the popover.
    if (TestQueryRouter::hooksEnabled(environment)) {
        testRouter_->chatViewModel = deps.popoverChatViewModel();
    }
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
    QMessageBox about;
    about.setWindowTitle("About Vask");
    about.setIconPixmap(ui::menubarIcon(ui::Theme::current() == ui::Appearance::dark).pixmap(64));
    about.setTextFormat(Qt::RichText);
    about.setText(QString("<b>Vask</b> %1<br><br>"
                          "<a href=\"https://ternwick.ai\">ternwick.ai</a>")
                      .arg(VASK_VERSION));
    about.exec();
}

void VaskApplication::shutDown() {
    // Nothing runs on the event loop from here; work still on the workers finishes and its
    // results are dropped, and the interface goes before the services it shows.
    if (dependencies_ != nullptr) {
        dependencies_->chatViewModel()->flushPendingSaves();
    }
    main_.stopAccepting();
    subscriptions_.clear();
    tray_.reset();
    popover_.reset();
    windows_.reset();
    popoverModel_.reset();
}

}  // namespace vask
