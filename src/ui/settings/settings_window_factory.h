#pragma once

#include <functional>
#include <vector>

#include "platform/url_opener.h"
#include "shell/app_dependencies.h"
#include "shell/settings_presenter.h"
#include "ui/settings/settings_window.h"

namespace vask::ui {

// What the Settings window needs from outside the composition root.
struct SettingsWindowHooks {
    // Each chat view model re-reads its credentials after a sign-out.
    std::vector<std::function<void()>> refreshChatCredentials;
    // Empty members: the master switch is only stored.
    settings::ProactiveSwitchReaction::Seams proactiveReaction;
    UrlOpener* urlOpener = nullptr;
    // Empty: the root's.
    std::function<std::shared_ptr<BillingViewModel>()> makeBillingViewModel;
    Confirm confirm = standardConfirm();
};

// The Settings window over the root's shared view models, with a plan and a memory view model
// of its own.
SettingsWindow* makeSettingsWindow(AppDependencies& root, SettingsWindowHooks hooks);

}  // namespace vask::ui
