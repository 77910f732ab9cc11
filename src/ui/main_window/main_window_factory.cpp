#include "ui/main_window/main_window_factory.h"

#include <chrono>

#include "shell/observe_all.h"
#include "ui/awaiting/awaiting_replies_detail_view.h"

namespace vask::ui {

MainWindow* makeMainWindow(MainWindowSources sources) {
    auto sync = sources.sync;
    auto awaiting = sources.awaiting;
    auto& defaults = sources.defaults;
    const auto showProactive = [&defaults, key = sources.proactiveKey] {
        return defaults.boolValue(key).valueOr(false);
    };
    return new MainWindow({
        .chat = mainWindowChat(sources.chat),
        .sync = {.hasSynced = [sync] { return sync->hasSynced.get(); },
                 .isSyncing = [sync] { return sync->isSyncing.get(); },
                 .lastError = [sync] { return sync->lastError.get(); },
                 .syncIfPossible = [sync] { sync->syncIfPossible(); }},
        .awaiting = {.pendingFocus = [awaiting] { return awaiting->pendingFocus().get(); },
                     .setPendingFocus = [awaiting](bool on) { awaiting->pendingFocus().set(on); },
                     .refreshNow = [awaiting] { awaiting->refresh(false); }},
        .showProactiveSurfaces = showProactive,
        .activate = std::move(sources.activate),
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
        .makeAwaitingView = [awaitingScreen = std::move(sources.awaitingScreen)](
                                MainWindow::CatchUp catchUp,
                                std::function<bool()> canCatchUp) -> QWidget* {
            auto* view = new AwaitingRepliesDetailView(awaitingScreen(std::move(catchUp)));
            view->setCatchUpAvailability(std::move(canCatchUp));
            return view;
        },
        .makeChatView = std::move(sources.makeChatView),
        .hasTray = std::move(sources.hasTray),
        .signIn = std::move(sources.signIn),
    });
}

}  // namespace vask::ui
