#include "ui/settings/settings_window_factory.h"

#include "shell/window_coordinator.h"

namespace vask::ui {

SettingsWindow* makeSettingsWindow(AppDependencies& root, SettingsWindowHooks hooks) {
    return new SettingsWindow({
        .signIn = root.sharedGoogleSignInViewModel(),
        .authMode = [&root] { return root.authMode(); },
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
        .proactiveKeys = {root.instanceScopedKey("showProactiveSurfaces"),
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
    });
}

}  // namespace vask::ui
