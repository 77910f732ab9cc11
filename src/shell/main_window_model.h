#pragma once

#include <functional>
#include <optional>
#include <string>

#include "shell/main_window_chat.h"
#include "shell/sidebar_selection.h"
#include "store/awaiting_reply.h"

namespace vask {

// The main window without the toolkit: which detail shows, and the selection kept in step with
// the chat's current session and with focus requests left by the popover and by notifications.
// Main executor.
class MainWindowModel {
  public:
    enum class Detail { awaitingReplies, signedOut, syncing, chat };

    struct Sync {
        std::function<bool()> hasSynced;
        std::function<bool()> isSyncing;
        std::function<std::optional<std::string>()> lastError;
        std::function<void()> syncIfPossible;
    };
    struct Awaiting {
        std::function<bool()> pendingFocus;
        std::function<void(bool)> setPendingFocus;
        // Reloads the list and classifies it without the debounce delay.
        std::function<void()> refreshNow;
    };
    struct Dependencies {
        MainWindowChat& chat;
        Sync sync;
        Awaiting awaiting;
        // The "showProactiveSurfaces" setting, read afresh each time.
        std::function<bool()> showProactiveSurfaces;
        // Brings the application to the front, taking focus from other applications.
        std::function<void()> activate;
    };

    static constexpr const char* signedOutTitle = "Signed Out";
    static constexpr const char* signInTitle = "Sign In\u2026";
    // The signed-out notice: the tray's icon is named only where it is shown; the window's own
    // "Sign In…" is there either way.
    static std::string signedOutDescription(bool hasTray);
    static constexpr const char* syncingText = "Syncing your messages\u2026";

    explicit MainWindowModel(Dependencies dependencies) : deps_(std::move(dependencies)) {}

    const std::optional<SidebarSelection>& selection() const { return selection_; }
    // The sidebar picked a row (or cleared the selection): switches the chat to a picked session
    // that is not already current.
    void select(std::optional<SidebarSelection> selection);

    Detail detail() const;

    // Each time the window's content comes on screen.
    void appear();
    // The watched values changed (never called for their values at appearance).
    void pendingSessionFocusChanged();
    void awaitingPendingFocusChanged();
    void currentSessionChanged();

    // "Catch me up" asks in a chat of its own, leaving what the user typed in the chat it was
    // typed in. Not while a question is being sent: the new session would be started and the
    // question silently dropped.
    bool canCatchUp() const;
    // Returns whether the question was asked.
    bool catchUp(const AwaitingReply& reply);
    static std::string catchUpQuestion(const std::string& contactName);

  private:
    bool takePendingSessionFocus();
    bool takeAwaitingFocus();

    Dependencies deps_;
    std::optional<SidebarSelection> selection_;
};

}  // namespace vask
