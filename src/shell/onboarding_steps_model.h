#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/auth_mode.h"
#include "foundation/google_sign_in_view_model.h"
#include "platform/executor.h"
#include "platform/published.h"
#include "platform/scheduler.h"
#include "platform/subscription.h"
#include "shell/contacts_sync_view_model.h"
#include "shell/full_disk_access_view_model.h"
#include "shell/onboarding_flow.h"
#include "shell/onboarding_state.h"
#include "shell/shadow_sync_view_model.h"
#include "store/message_retention_assessment.h"

namespace vask {

// What the onboarding window shows and does: the current step, moving forward by itself as soon
// as a step's requirement is met, polling for access to the Messages database, counting indexing
// time, and each step's texts, status lines and footer buttons. The window only lays it out.
// Main executor.
class OnboardingStepsModel : public std::enable_shared_from_this<OnboardingStepsModel> {
  public:
    static constexpr auto accessPollInterval = std::chrono::milliseconds(1500);
    static constexpr auto indexingTickInterval = std::chrono::milliseconds(1000);
    // Indexing that has run this many ticks without result or error counts as stalled.
    static constexpr int stalledAfterTicks = 90;
    static constexpr int stepCount = 6;
    static constexpr const char* sampleContactName = "Maya";
    // The access step's button: the folder chat.db is read from, in the file manager. Nothing
    // opens by itself: a file manager appearing unasked would hide the explanation.
    static constexpr const char* openFolderLabel = "Open Folder";
    static constexpr const char* relaunchToolTip =
        "Copied chat.db already? Relaunch Vask to read it.";

    struct Actions {
        std::function<void()> openMain;
        std::function<void()> activate;
        std::function<void()> closeWindow;
        // Starts a new instance and quits once it runs; the saved step is written before.
        std::function<void()> relaunch;
    };

    struct Dependencies {
        std::shared_ptr<GoogleSignInViewModel> signIn;
        std::shared_ptr<FullDiskAccessViewModel> access;
        std::shared_ptr<ContactsSyncViewModel> contacts;
        std::shared_ptr<ShadowSyncViewModel> sync;
        OnboardingState& state;
        std::function<AuthMode()> authMode;
        // Read when the window comes on screen.
        std::function<bool()> shouldPresentAtLaunch;
        // Whether Vask's icon is in a tray, read when the last step is shown; empty: none.
        std::function<bool()> hasTray = {};
        // The Messages database Vask reads, for the access step's explanation.
        std::filesystem::path chatDBPath;
        MainExecutor& main;
        Scheduler& scheduler;
        Actions actions;
        // The ICU locale counts are grouped in; empty for the process's own.
        std::string locale = {};
    };

    // One step's page.
    struct Page {
        std::string icon;
        std::string title;
        std::string subtitle;
        bool useAppIcon = false;
    };

    // A status area: an optional spinner, then lines of text.
    struct StatusLine {
        std::string text;
        bool isError = false;
        bool operator==(const StatusLine&) const = default;
    };
    struct Status {
        bool showsSpinner = false;
        std::vector<StatusLine> lines;
        bool operator==(const Status&) const = default;
    };

    struct SignInStatus {
        Status status;
        bool offersDifferentAccount = false;
        // The sign-in page, shown with a button that copies it, for a user whose browser did
        // not open (or who has none set): opened by hand, it finishes the sign-in all the same.
        std::optional<std::string> link;
    };

    // The access step's picture: the folder chat.db is read from, to copy or go to, and what
    // is there now.
    struct AccessFolder {
        std::string folder;
        std::string fileState;
        bool fileReadable = false;
        bool operator==(const AccessFolder&) const = default;
    };

    struct IndexingStatus {
        // A determinate bar when set (0 to 1); otherwise, unless failed, a busy indicator.
        std::optional<double> fraction;
        bool failed = false;
        std::vector<StatusLine> lines;
    };

    static std::shared_ptr<OnboardingStepsModel> make(Dependencies dependencies);
    ~OnboardingStepsModel();
    OnboardingStepsModel(const OnboardingStepsModel&) = delete;
    OnboardingStepsModel& operator=(const OnboardingStepsModel&) = delete;

    Published<OnboardingStep> step{OnboardingStep::welcome};
    // Raised on every change of anything shown, so the window re-renders from one place.
    Published<std::uint64_t> revision{0};

    // When the window comes on screen. False when onboarding is not wanted now: the window
    // closes itself.
    bool appear();

    // The next step by raw value; nothing after the last.
    void advance();
    void primaryAction();
    void relaunch();
    void useDifferentAccount();

    Page page() const;
    std::string doneSubtitle() const;
    SignInStatus signInStatus() const;
    Status contactsStatus() const;
    IndexingStatus indexingStatus() const;
    // The access step's status under the hint: waiting, and a folder that did not open.
    Status accessStatus() const;
    AccessFolder accessFolder() const;
    std::optional<MessageRetentionAssessment> retention() const;

    bool indexingStalled() const;
    bool indexingFailed() const;
    // Nothing: no primary button.
    std::optional<std::string> primaryLabel() const;
    bool primaryDisabled() const;
    bool showsSkip() const;
    bool showsRelaunch() const;
    int indexingSeconds() const { return indexingSeconds_; }
    const Dependencies& dependencies() const { return deps_; }

    static std::string retentionMessage(const MessageRetentionAssessment& assessment);
    static bool retentionShowsKeepTip(const MessageRetentionAssessment& assessment);

  private:
    explicit OnboardingStepsModel(Dependencies dependencies);

    void install();
    void changed();
    void setStep(OnboardingStep next);
    void stepDidChange();
    void autoAdvanceIfSatisfied();
    void requirementChanged(bool value, bool& last, OnboardingStep owner);
    void pollTick();
    void indexingTick();

    Dependencies deps_;
    int indexingSeconds_ = 0;
    bool lastAccess_ = false;
    bool lastContactsAuthorized_ = false;
    bool lastSynced_ = false;
    std::vector<Subscription> subscriptions_;
    ScheduledTask accessPoll_;
    ScheduledTask indexingTimer_;
};

}  // namespace vask
