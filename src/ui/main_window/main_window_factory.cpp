#include "ui/main_window/main_window_factory.h"

#include <chrono>

#include "proactive/awaiting_read_state.h"
#include "proactive/awaiting_screen_presenter.h"
#include "proactive/proactive_surfaces.h"
#include "shell/observe_all.h"
#include "shell/window_coordinator.h"
#include "ui/awaiting/awaiting_replies_detail_view.h"

namespace vask::ui {

MainWindow* makeMainWindow(AppDependencies& root, Clipboard& clipboard, UrlOpener& urlOpener,
                           std::function<QWidget*()> makeChatView) {
    auto sync = root.shadowSyncViewModel();
    auto awaiting = root.awaitingReplyViewModel();
    auto& defaults = root.context().defaults;
    const std::string proactiveKey = root.instanceScopedKey(ProactiveSurfaces::enabledKeyBase);
    const auto showProactive = [&defaults, proactiveKey] {
        return defaults.boolValue(proactiveKey).valueOr(false);
    };
    return new MainWindow({
        .chat = mainWindowChat(root.chatViewModel()),
        .sync = {.hasSynced = [sync] { return sync->hasSynced.get(); },
                 .isSyncing = [sync] { return sync->isSyncing.get(); },
                 .lastError = [sync] { return sync->lastError.get(); },
                 .syncIfPossible = [sync] { sync->syncIfPossible(); }},
        .awaiting = {.pendingFocus = [awaiting] { return awaiting->pendingFocus().get(); },
                     .setPendingFocus = [awaiting](bool on) { awaiting->pendingFocus().set(on); },
                     .refreshNow = [awaiting] { awaiting->refresh(false); }},
        .showProactiveSurfaces = showProactive,
        .activate = [&root] { root.application().activateIgnoringOtherApps(); },
        .observeSync =
            [sync](std::function<void()> changed) {
                return observeAll(std::move(changed), sync->isSyncing, sync->hasSynced,
                                  sync->lastError);
            },
        .observeAwaiting =
            [awaiting](std::function<void()> changed) {
                return observeAll(std::move(changed), awaiting->replies(),
                                  awaiting->pendingFocus());
            },
        .sidebar =
            {
                .awaitingReplies = [awaiting] { return awaiting->replies().get(); },
                // The day window as the awaiting screen reads it, so the badge counts the list
                // that screen shows.
                .displayDays = AwaitingScreenPresenter::storedDisplayDays(defaults),
                .showsProactive = showProactive,
                .now =
                    [] {
                        return std::chrono::duration_cast<std::chrono::seconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                            .count();
                    },
                .confirm = standardConfirm(),
                .prompt = SessionSidebar::standardPrompt(),
            },
        .makeAwaitingView = [&root, &clipboard, &urlOpener](
                                MainWindow::CatchUp catchUp,
                                std::function<bool()> canCatchUp) -> QWidget* {
            auto* view =
                new AwaitingRepliesDetailView(root, clipboard, urlOpener, std::move(catchUp));
            view->setCatchUpAvailability(std::move(canCatchUp));
            return view;
        },
        .makeChatView = std::move(makeChatView),
        .hasTray = [&root] { return root.trayShown().get(); },
        .signIn = [&root] { WindowCoordinator::run(root.windowCoordinator().openOnboarding); },
    });
}

}  // namespace vask::ui
