#pragma once

#include <functional>
#include <memory>
#include <string>

#include "chat/chat_view_model.h"
#include "platform/user_defaults.h"
#include "proactive/awaiting_reply_view_model.h"
#include "proactive/awaiting_screen_presenter.h"
#include "shell/shadow_sync_view_model.h"
#include "ui/main_window/main_window.h"

namespace vask::ui {

// What the main window is made from: the chat, synchronisation and awaiting list it shows, the
// settings it reads, and how it makes the views it shows beside its sidebar.
struct MainWindowSources {
    std::shared_ptr<ChatViewModel> chat;
    std::shared_ptr<ShadowSyncViewModel> sync;
    std::shared_ptr<AwaitingReplyViewModel> awaiting;
    // Holds the proactive switch (under `proactiveKey`) and the awaiting screen's day window.
    UserDefaults& defaults;
    std::string proactiveKey;
    // Brings the application to the front.
    std::function<void()> activate;
    // The awaiting screen's presenter, whose "Catch me up" asks through `catchUp`.
    std::function<AwaitingScreenPresenter::Dependencies(MainWindow::CatchUp catchUp)>
        awaitingScreen;
    // The chat shown for the current session.
    std::function<QWidget*()> makeChatView;
    // Whether Vask's icon is in a tray, and how a signed-out user signs in from the window.
    std::function<bool()> hasTray;
    std::function<void()> signIn;
};

MainWindow* makeMainWindow(MainWindowSources sources);

}  // namespace vask::ui
