#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/auth_mode.h"
#include "platform/published.h"
#include "shell/contacts_sync_view_model.h"
#include "shell/full_disk_access_view_model.h"
#include "shell/popover_presenter.h"
#include "shell/shadow_sync_view_model.h"

namespace vask {

// The menu-bar popover's behaviour: whether the user is set up, what errors it lists, and what
// each appearance starts (credentials, the update check, access, synchronisation, contacts).
// Main executor.
class PopoverModel {
  public:
    // The popover's own chat, kept in memory only, and its hand-off to the main window's chat.
    struct Chat {
        std::function<void()> startNewSession;
        std::function<void()> handOffToMain;
        // Both chat view models re-read their credentials.
        std::function<void()> refreshCredentials;
        // A transcript or a question in flight: "New" has something to clear.
        std::function<bool()> hasContent;
        std::function<std::optional<std::string>()> lastError;
        // Calls back after each change of the chat (its state, sessions, error); may be empty.
        std::function<Subscription(std::function<void()>)> observe;
    };

    struct Dependencies {
        std::function<AuthMode()> authMode;
        std::shared_ptr<FullDiskAccessViewModel> access;
        std::shared_ptr<ShadowSyncViewModel> sync;
        std::shared_ptr<ContactsSyncViewModel> contacts;
        std::function<bool()> hasUpdaterController;
        std::function<void()> checkForUpdates;
        std::function<std::optional<std::string>()> configLoadError;
        std::function<void(const std::string&)> contactsTrace;
        Chat chat;
    };

    explicit PopoverModel(Dependencies dependencies);

    Published<bool> hasCredentials{false};

    bool isSetUp() const;
    bool canStartNewSession() const;
    std::vector<popover::ErrorEntry> activeErrors() const;
    // The status bar's count, nothing below one message.
    std::optional<std::string> messageCountText() const;

    // Each time the popover is shown.
    void onAppear();
    // Credentials read in the background have arrived: hasCredentials follows them.
    void credentialsArrived();

    const Dependencies& dependencies() const { return deps_; }

  private:
    void credentialsChanged(bool signedIn);

    Dependencies deps_;
    Subscription credentialsSubscription_;
};

}  // namespace vask
