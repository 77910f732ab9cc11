#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/structured_logger.h"
#include "platform/clock.h"
#include "platform/executor.h"
#include "platform/published.h"
#include "platform/scheduler.h"
#include "platform/subscription.h"
#include "shell/application_activation.h"
#include "shell/contacts_sync_controlling.h"
#include "shell/system_settings_opener.h"

namespace vask {

enum class ContactsAuthorizationState { notDetermined, restricted, denied, authorized };

// 0 to 3 as the platform numbers them; anything else (limited access included) is restricted.
ContactsAuthorizationState contactsAuthorizationState(int platformStatus);

// Contacts permission and the copy of the address book into the contacts database, as every view
// shows them. Main executor.
class ContactsSyncViewModel : public std::enable_shared_from_this<ContactsSyncViewModel> {
  public:
    static constexpr const char* engineUnavailableText = "Contacts sync engine unavailable";
    static constexpr const char* openSettingsFailedText = "Could not open Contacts settings.";
    // Refused access is Vask's own setting here, not a switch of the desktop: the way back is
    // to remove it.
    static constexpr const char* deniedText =
        "Contacts access is off for Vask. To turn it on, remove “contactsAccessGrant” from "
        "Vask's settings file (in ~/.config/vask) and reopen Vask.";
    // What the last synchronisation found of the address book's folder, with the way on.
    static std::string folderProblemText(ContactsFolderProblem problem);
    static constexpr auto activationWait = std::chrono::milliseconds(2000);
    static constexpr auto activationPoll = std::chrono::milliseconds(50);

    struct Dependencies {
        // Empty when the support directory could not be had.
        std::string contactsDBPath;
        // Absent when no engine could be built.
        std::shared_ptr<ContactsSyncControlling> controller;
        std::optional<std::string> initialError;
        bool observesApplicationActivation = true;
        bool activatesApplicationBeforeRequest = true;
        // True when the Contacts pane of the settings was opened.
        std::function<bool()> contactsSettingsOpener;
        ApplicationActivation& application;
        MainExecutor& main;
        // The time of the last synchronisation and the wait for the application to come forward.
        Scheduler& scheduler;
        // The contacts permission trace (written only under the test hooks).
        std::function<void(std::string_view)> trace = {};
    };

    static std::shared_ptr<ContactsSyncViewModel> make(Dependencies dependencies);

    ContactsSyncViewModel(const ContactsSyncViewModel&) = delete;
    ContactsSyncViewModel& operator=(const ContactsSyncViewModel&) = delete;

    Published<ContactsAuthorizationState> authorizationState{
        ContactsAuthorizationState::notDetermined};
    Published<bool> isBusy{false};
    Published<std::optional<std::string>> lastError;
    Published<std::optional<Clock::WallTime>> lastSyncedAt;
    // Set when the last synchronisation could not read the address book's folder; cleared by
    // the next one that completes.
    Published<std::optional<ContactsFolderProblem>> folderProblem;

    bool isSyncing() const;
    bool isRequestingAccess() const;
    // Access is granted, nothing runs, and the address book's folder was not found wanting: the
    // contacts are in hand.
    bool hasContacts() const;
    const std::string& contactsDBPath() const { return deps_.contactsDBPath; }

    void refreshAuthorization();
    // The action of "Enable Contacts": asks for access (bringing the application forward first),
    // tries the desktop's settings when access was denied (no window offers that on Linux,
    // where the refusal is Vask's own setting), or synchronises when it is granted. Returns at
    // once; `done` runs when the request has been handled.
    void requestAccessAndSync(std::function<void()> done = {});
    // Starts the engine or asks it for one more run, when access is granted and nothing runs.
    void syncNow();

    static std::vector<std::string> settingsLinks();
    static bool openContactsSettings(SystemSettingsOpener& opener);

  private:
    explicit ContactsSyncViewModel(Dependencies dependencies);

    void install();
    void applicationDidBecomeActive();
    void activateAndWait(std::function<void()> then);
    void waitForActivation(Clock::MonotonicTime deadline, std::function<void()> then);
    void startEngineForRequest(std::function<void()> done);
    void trace(const std::string& line) const;
    std::string statusText() const;

    Dependencies deps_;
    StructuredLogger logger_{"contacts-sync"};
    bool didStart_ = false;
    Subscription activationObserver_;
};

}  // namespace vask
