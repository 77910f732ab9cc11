#pragma once

#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

#include "platform/url_opener.h"
#include "proactive/awaiting_screen_presenter.h"
#include "shell/settings_presenter.h"
#include "ui/main_window/main_window_factory.h"
#include "ui/settings/settings_window.h"

namespace vask {

class AppDependencies;

// What each window takes, as the application's root hands it out. The views and their factories
// take only these narrow sets, never the root; the composition, and the tools that show the
// windows as the application makes them, fill them in here.

// The awaiting screen over the root's shared awaiting list and needs-reply service, the
// day-window setting in its defaults and drafts through its relay client.
AwaitingScreenPresenter::Dependencies awaitingScreenDependencies(
    AppDependencies& root, Clipboard& clipboard, UrlOpener& urlOpener,
    std::function<void(const AwaitingReply&)> catchUp);

// The main window over the root's chat, synchronisation and awaiting list.
ui::MainWindowSources mainWindowSources(AppDependencies& root, Clipboard& clipboard,
                                        UrlOpener& urlOpener,
                                        std::function<QWidget*()> makeChatView);

// What the Settings window needs besides the root's services.
struct SettingsWindowHooks {
    // Each chat view model re-reads its credentials after a sign-out.
    std::vector<std::function<void()>> refreshChatCredentials;
    // Empty members: the master switch is only stored.
    settings::ProactiveSwitchReaction::Seams proactiveReaction;
    // Opens the account page; none: "Manage Subscription" does nothing.
    UrlOpener* urlOpener = nullptr;
    // Empty: the root's.
    std::function<std::shared_ptr<BillingViewModel>()> makeBillingViewModel;
    ui::Confirm confirm = ui::standardConfirm();
};

// The Settings window over the root's shared view models, with a plan and a memory view model
// of its own.
ui::SettingsWindow::Dependencies settingsWindowDependencies(AppDependencies& root,
                                                            SettingsWindowHooks hooks);

}  // namespace vask
