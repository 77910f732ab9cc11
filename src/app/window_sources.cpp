#include "window_sources.h"

#include <chrono>

#include "proactive/proactive_surfaces.h"
#include "shell/app_dependencies.h"
#include "shell/window_coordinator.h"

namespace vask {

namespace {

std::int64_t unixSecondsNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

AwaitingScreenPresenter::Dependencies awaitingScreenDependencies(
    AppDependencies& root, Clipboard& clipboard, UrlOpener& urlOpener,
    std::function<void(const AwaitingReply&)> catchUp) {
    auto& defaults = root.context().defaults;
    auto credentials = NeedsReplyService::credentialsFrom([&root] { return root.authMode(); });
    return {
        .viewModel = root.awaitingReplyViewModel(),
        .needsReply = root.needsReplyService(),
        .settings = defaults,
        .displayDays = AwaitingScreenPresenter::storedDisplayDays(defaults),
        .setDisplayDays = AwaitingScreenPresenter::storeDisplayDays(defaults),
        .onCatchUp = std::move(catchUp),
        .urlOpener = urlOpener,
        .clipboard = clipboard,
        .draftSeams = ReplyDrafts::standardSeams(
            [credentials] {
                const auto c = credentials();
                return RouteCredentials{c.apiKey, c.customerToken};
            },
            defaults, root.responses()),
        .main = root.mainExecutor(),
        .worker = root.context().worker,
        .now = unixSecondsNow,
    };
}

ui::MainWindowSources mainWindowSources(AppDependencies& root, Clipboard& clipboard,
                                        UrlOpener& urlOpener,
                                        std::function<QWidget*()> makeChatView) {
    return {
        .chat = root.chatViewModel(),
        .sync = root.shadowSyncViewModel(),
        .awaiting = root.awaitingReplyViewModel(),
        .defaults = root.context().defaults,
        .proactiveKey = root.instanceScopedKey(ProactiveSurfaces::enabledKeyBase),
        .activate = [&root] { root.application().activateIgnoringOtherApps(); },
        .awaitingScreen =
            [&root, &clipboard, &urlOpener](ui::MainWindow::CatchUp catchUp) {
                return awaitingScreenDependencies(root, clipboard, urlOpener, std::move(catchUp));
            },
        .makeChatView = std::move(makeChatView),
        .hasTray = [&root] { return root.trayShown().get(); },
        .signIn = [&root] { WindowCoordinator::run(root.windowCoordinator().openOnboarding); },
    };
}

ui::SettingsWindow::Dependencies settingsWindowDependencies(AppDependencies& root,
                                                            SettingsWindowHooks hooks) {
    return {
        .signIn = root.sharedGoogleSignInViewModel(),
        .authMode = [&root] { return root.authMode(); },
        .observeAuthMode =
            [&root](std::function<void()> changed) {
                return root.observeAuthModeArrivals(std::move(changed));
            },
        .unlockKeyring = [&root](auto done) { root.unlockKeyring(std::move(done)); },
        .askKeyringAgain = [&root](auto done) { root.askKeyringAgain(std::move(done)); },
        .hasGoogleAuthService = [&root] { return root.googleAuthService() != nullptr; },
        .makeBillingViewModel = hooks.makeBillingViewModel
                                    ? std::move(hooks.makeBillingViewModel)
                                    : [&root] { return root.makeBillingViewModel(); },
        .catalogService = root.presetCatalogService(),
        .contacts = root.contactsSyncViewModel(),
        .memory = root.makeMemorySettingsViewModel(),
        .navigation = root.memorySettingsNavigation(),
        .memoryPrincipal = [&root] { return root.canonicalMemoryPrincipal(); },
        .defaults = root.context().defaults,
        .proactiveKeys = {root.instanceScopedKey(ProactiveSurfaces::enabledKeyBase),
                          root.instanceScopedKey("personaDrafts")},
        .proactiveReaction = std::move(hooks.proactiveReaction),
        .refreshChatCredentials = std::move(hooks.refreshChatCredentials),
        .resetOnboarding = [&root] { root.onboardingState().reset(); },
        .closeMain = [&root] { WindowCoordinator::run(root.windowCoordinator().closeMain); },
        .openOnboarding =
            [&root] { WindowCoordinator::run(root.windowCoordinator().openOnboarding); },
        .accountPage =
            [&root] {
                return root.cloudConfig().baseURL.appendingPath("account").absoluteString();
            },
        .urlOpener = hooks.urlOpener,
        .confirm = std::move(hooks.confirm),
    };
}

}  // namespace vask
