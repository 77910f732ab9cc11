#include "shell/main_window_model.h"

namespace vask {

std::string MainWindowModel::signedOutDescription(bool hasTray) {
    return hasTray ? "Sign in from the Vask icon in the system tray to start chatting."
                   : "Sign in to start chatting.";
}

void MainWindowModel::select(std::optional<SidebarSelection> selection) {
    selection_ = std::move(selection);
    if (selection_ && selection_->isChat() &&
        selection_->sessionID() != deps_.chat.currentSessionID()) {
        deps_.chat.switchSession(selection_->sessionID());
    }
}

MainWindowModel::Detail MainWindowModel::detail() const {
    if (selection_ && selection_->kind() == SidebarSelection::Kind::awaitingReplies &&
        deps_.showProactiveSurfaces()) {
        return Detail::awaitingReplies;
    }
    if (!deps_.chat.hasCredentials()) {
        return Detail::signedOut;
    }
    if (!deps_.sync.hasSynced() || deps_.sync.isSyncing()) {
        return Detail::syncing;
    }
    return Detail::chat;
}

void MainWindowModel::appear() {
    if (deps_.activate) {
        deps_.activate();
    }
    deps_.chat.refreshCredentials();
    if (!deps_.sync.hasSynced() && !deps_.sync.isSyncing()) {
        deps_.sync.syncIfPossible();
    }
    deps_.awaiting.refreshNow();
    if (!selection_) {
        selection_ = SidebarSelection::chat(deps_.chat.currentSessionID());
    }
    // A session handed over from the popover wins; a notification's request waits for the next
    // appearance.
    if (!takePendingSessionFocus()) {
        takeAwaitingFocus();
    }
}

void MainWindowModel::pendingSessionFocusChanged() {
    takePendingSessionFocus();
}

void MainWindowModel::awaitingPendingFocusChanged() {
    takeAwaitingFocus();
}

void MainWindowModel::currentSessionChanged() {
    if (selection_ && selection_->isChat()) {
        selection_ = SidebarSelection::chat(deps_.chat.currentSessionID());
    }
}

bool MainWindowModel::canCatchUp() const {
    return !deps_.chat.isSending();
}

bool MainWindowModel::catchUp(const AwaitingReply& reply) {
    if (!canCatchUp()) {
        return false;
    }
    // Never through the composer: a question the user is typing stays where it was typed.
    if (!deps_.chat.askInNewSession(catchUpQuestion(reply.contactName))) {
        return false;
    }
    selection_ = SidebarSelection::chat(deps_.chat.currentSessionID());
    return true;
}

std::string MainWindowModel::catchUpQuestion(const std::string& contactName) {
    return "Catch me up on my recent conversation with " + contactName +
           " \u2014 what are they waiting on me to reply to?";
}

bool MainWindowModel::takePendingSessionFocus() {
    auto id = deps_.chat.pendingSessionFocus();
    if (!id) {
        return false;
    }
    select(SidebarSelection::chat(*id));
    deps_.chat.clearPendingSessionFocus();
    return true;
}

bool MainWindowModel::takeAwaitingFocus() {
    if (!deps_.awaiting.pendingFocus() || !deps_.showProactiveSurfaces()) {
        return false;
    }
    selection_ = SidebarSelection::awaitingReplies();
    deps_.awaiting.setPendingFocus(false);
    return true;
}

}  // namespace vask
