#include "app_composition.h"

#include <QApplication>
#include <QPointer>
#include <QProcess>

#include <chrono>
#include <utility>

#include "foundation/structured_logger.h"
#include "platform/http_client.h"
#include "platform/uuid.h"
#include "shell/app_dependencies.h"
#include "shell/popover_model.h"
#include "shell/relauncher.h"
#include "shell/test_query_router.h"
#include "shell/update_checker.h"
#include "shell/window_coordinator.h"
#include "sources/contacts_trace.h"
#include "ui/chat/chat_view.h"
#include "ui/main_window/main_window_factory.h"
#include "ui/onboarding/onboarding_view.h"
#include "ui/popover/vask_menu.h"
#include "ui/qt_platform.h"
#include "ui/window_registry.h"
#include "window_sources.h"

namespace vask {

namespace {

// The windows the registry makes, by identifier.
constexpr const char* mainWindow = "main";
constexpr const char* onboardingWindow = "onboarding";
constexpr const char* settingsWindow = "settings";

const StructuredLogger& launchLogger() {
    static const StructuredLogger logger("launch");
    return logger;
}

// The process's context, with the desktop's activation, on the application's own worker pool:
// main() joins it before anything static goes, so no late task meets a destroyed service.
AppDependencies::Context applicationContext(
    MainExecutor& main, Executor& workers,
    std::shared_ptr<ui::QtApplicationActivation> activation) {
    auto context = AppDependencies::Context::forProcess(main, workers);
    context.application = std::move(activation);
    return context;
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

// The new instance waits for this one's lock (--relaunch) and tells it that it runs; only then
// does this one quit (Relauncher).
std::optional<std::int64_t> spawnRelaunchedInstance() {
    qint64 pid = 0;
    if (!QProcess::startDetached(QCoreApplication::applicationFilePath(), {"--relaunch"}, QString(),
                                 &pid)) {
        return std::nullopt;
    }
    return pid;
}

}  // namespace

AppComposition::AppComposition(Host host)
    : host_(std::move(host)),
      activation_(std::make_shared<ui::QtApplicationActivation>()),
      clipboard_(std::make_unique<ui::QtClipboard>()),
      urlOpener_(std::make_unique<ui::QtUrlOpener>()),
      root_(std::make_unique<AppDependencies>(
          applicationContext(host_.main, host_.workers, activation_))) {
    auto& deps = *root_;
    updateChecker_ = UpdateChecker::make({
        .versionURL = std::string(UpdateChecker::defaultVersionURL),
        .downloadURL = std::string(UpdateChecker::defaultDownloadURL),
        .currentVersion = VASK_VERSION,
        .http = root_->httpClient(),
        .alerts = host_.alerts,
        .urlOpener = *urlOpener_,
        .main = host_.main,
        .worker = host_.workers,
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
    // Credentials read on the worker reach the popover (and through it the chats) on arrival.
    subscriptions_.push_back(
        deps.observeAuthModeArrivals([this] { popoverModel_->credentialsArrived(); }));

    windows_ = std::make_unique<ui::WindowRegistry>();
    windows_->registerWindow(mainWindow, [this] { return watched(makeMainWindow()); });
    windows_->registerWindow(onboardingWindow, [this] { return watched(makeOnboardingWindow()); });
    windows_->registerWindow(settingsWindow, [this] { return watched(makeSettingsWindow()); });
    auto& coordinator = deps.windowCoordinator();
    coordinator.openMain = [this] {
        windows_->open(mainWindow);
        activation_->activateIgnoringOtherApps();
    };
    coordinator.openOnboarding = [this] {
        windows_->open(onboardingWindow);
        activation_->activateIgnoringOtherApps();
    };
    coordinator.closeMain = [this] { windows_->close(mainWindow); };

    const auto environment = processEnvironment();
    testRouter_ = TestQueryRouter::make({
        .main = host_.main,
        .scheduler = deps.context().scheduler,
        .clock = Clock::system(),
        .logPath = TestQueryRouter::logPathFrom(environment),
        .services = TestQueryRouter::servicesOf(deps),
    });
    // Registered at start, whether or not the hooks are on: a driver must be able to ask before
    // anyone opened the popover, which without a tray nobody ever does.
    testRouter_->chatViewModel = deps.popoverChatViewModel();
    testRouter_->openMainWindow = [this] { openMain(); };
    testRouter_->openOnboarding = [this] { openOnboarding(); };
    testRouter_->openSettings = [this] { openSettings(); };

    popover_ = makePopover();
}

UrlOpener& AppComposition::urlOpener() {
    return *urlOpener_;
}

AppComposition::~AppComposition() = default;

void AppComposition::openMain() {
    WindowCoordinator::run(root_->windowCoordinator().openMain);
}

void AppComposition::openOnboarding() {
    WindowCoordinator::run(root_->windowCoordinator().openOnboarding);
}

void AppComposition::openSettings() {
    if (windows_) {
        windows_->open(settingsWindow);
    }
}

void AppComposition::openMemoryManager() {
    root_->memorySettingsNavigation().managerRequestID.set(Uuid::random());
    openSettings();
}

void AppComposition::handleURL(const QString& url) {
    const auto parsed = Url::parse(url.toStdString());
    if (parsed && parsed->scheme() == "vask") {
        root_->webAuthenticationSession().deliverCallback(*parsed);
        return;
    }
    if (deliverToTestHooks(url)) {
        return;
    }
    launchLogger().info("url_ignored", {{"scheme", parsed ? parsed->scheme() : "none"}});
}

void AppComposition::relaunchedInstanceStarted(std::int64_t pid) {
    if (relauncher_) {
        relauncher_->instanceStarted(pid);
    }
}

void AppComposition::closeInterface() {
    // Nothing opens a window from here on.
    auto& coordinator = root_->windowCoordinator();
    coordinator.openMain = {};
    coordinator.openOnboarding = {};
    coordinator.closeMain = {};
    testRouter_->openMainWindow = {};
    testRouter_->openOnboarding = {};
    testRouter_->openSettings = {};
    subscriptions_.clear();
    popover_.reset();
    if (windows_) {
        for (const char* id : {mainWindow, onboardingWindow, settingsWindow}) {
            delete windows_->window(id);
        }
    }
    windows_.reset();
    popoverModel_.reset();
}

QWidget* AppComposition::watched(QWidget* window) {
    return host_.watchWindow ? host_.watchWindow(window) : window;
}

// --- The popover and its chat ----------------------------------------------------------------

// The popover's chat can send once the Messages history has been copied and no copy is running.
QWidget* AppComposition::makePopoverChatView() {
    auto& deps = *root_;
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

std::unique_ptr<ui::VaskMenu> AppComposition::makePopover() {
    return std::make_unique<ui::VaskMenu>(*popoverModel_, makePopoverChatView(), *clipboard_,
                                          ui::VaskMenu::Actions{
                                              .openMain = [this] { openMain(); },
                                              .openOnboarding = [this] { openOnboarding(); },
                                          });
}

// --- Test hooks ------------------------------------------------------------------------------

// Every URL the application receives reaches the router while the hooks are on (as the
// popover's scene would hand it on); the router acts on "vasktest:" alone.
bool AppComposition::deliverToTestHooks(const QString& url) {
    if (!TestQueryRouter::hooksEnabled(processEnvironment())) {
        return false;
    }
    const std::string text = url.toStdString();
    testRouter_->handle(text);
    const auto parts = TestQueryRouter::split(text);
    return parts && parts->scheme == TestQueryRouter::scheme;
}

// --- The windows -----------------------------------------------------------------------------

QWidget* AppComposition::makeOnboardingWindow() {
    auto& deps = *root_;
    if (!relauncher_) {
        relauncher_ = Relauncher::make({
            .spawn = [] { return spawnRelaunchedInstance(); },
            .quit = [this] { host_.quit(); },
            .failed =
                [this](const std::string& text) {
                    host_.alerts.runModal({.style = Alert::Style::warning,
                                           .messageText = text,
                                           .informativeText = {},
                                           .buttons = {"OK"}});
                },
            .main = host_.main,
            .scheduler = deps.context().scheduler,
        });
    }
    auto model = deps.makeOnboardingStepsModel({
        .openMain = [this] { openMain(); },
        .activate = [this] { activation_->activateIgnoringOtherApps(); },
        .closeWindow = [this] { windows_->close(onboardingWindow); },
        .relaunch = [this] { relauncher_->relaunch(); },
    });
    return new ui::OnboardingView(std::move(model));
}

QWidget* AppComposition::makeMainWindow() {
    // The window shows the chat only once messages are synchronised, so it is always ready.
    return ui::makeMainWindow(
        mainWindowSources(*root_, *clipboard_, *urlOpener_, [this]() -> QWidget* {
            return new ui::ChatView(root_->chatViewModel(),
                                    {.isReady = true,
                                     .showsSessionControls = false,
                                     .showsSources = true,
                                     .focusesInputOnAppear = false,
                                     .openSettings = [this] { openMemoryManager(); },
                                     .urlOpener = urlOpener_.get()});
        }));
}

QWidget* AppComposition::makeSettingsWindow() {
    auto& deps = *root_;
    SettingsWindowHooks hooks;
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
    return new ui::SettingsWindow(settingsWindowDependencies(deps, std::move(hooks)));
}

}  // namespace vask
