#include "shell/onboarding_steps_model.h"

#include <gtest/gtest.h>

#include "sample-chatdb/sample_chat_db.h"
#include "shell/app_dependencies.h"
#include "shell/main_window_model.h"
#include "shell/settings_presenter.h"
#include "store/shadow_sync.h"
#include "support/app_root_fixture.h"
#include "support/recording_opener.h"
#include "sync_test_support.h"

namespace vask {
namespace {

using Step = OnboardingStep;
using Kind = GoogleSignInState::Kind;
using Auth = ContactsAuthorizationState;

using test::RecordingOpener;

// A model over a root of its own: a private home whose Messages database exists only when asked.
struct StepsFixture : test::AppRootFixture {
    explicit StepsFixture(
        std::shared_ptr<RecordingOpener> recording = std::make_shared<RecordingOpener>())
        : AppRootFixture({.instance = "VaskStepsTest", .folderOpener = recording}),
          opener(std::move(recording)) {
        model = root->makeOnboardingStepsModel({.openMain = [this] { ++mainOpened; },
                                                .activate = {},
                                                .closeWindow = [this] { ++closed; },
                                                .relaunch = [this] { ++relaunches; }},
                                               "en_US");
        access = model->dependencies().access;
    }
    ~StepsFixture() {
        model.reset();
        drain();
    }

    void writeMessages() {
        sample::buildSampleChatDB(chatDB, {.messages = 12, .chats = 2, .seed = 1});
    }
    void tick(std::chrono::milliseconds by) {
        clock.advance(by);
        drain();
    }
    ShadowSyncViewModel& sync() { return *root->shadowSyncViewModel(); }
    ContactsSyncViewModel& contacts() { return *root->contactsSyncViewModel(); }
    GoogleSignInViewModel& signInVM() { return *root->sharedGoogleSignInViewModel(); }
    std::optional<std::int64_t> savedStep() {
        return defaults.integerValue(root->onboardingState().stepKey()).optional();
    }

    std::shared_ptr<RecordingOpener> opener;
    std::shared_ptr<FullDiskAccessViewModel> access;
    std::shared_ptr<OnboardingStepsModel> model;
    int mainOpened = 0, closed = 0, relaunches = 0;
};

TEST(OnboardingStepsModelTest, FooterFollowsStepAndViewModelState) {
    struct Case {
        const char* name;
        Step step;
        std::function<void(StepsFixture&)> arrange;
        std::optional<std::string> label;
        bool disabled;
        bool skip;
        bool relaunch;
    };
    const auto signInState = [](GoogleSignInState state) {
        return [state](StepsFixture& f) { f.signInVM().state.set(state); };
    };
    const auto contactsState = [](Auth auth, bool busy) {
        return [auth, busy](StepsFixture& f) {
            f.contacts().authorizationState.set(auth);
            f.contacts().isBusy.set(busy);
        };
    };
    const std::vector<Case> cases{
        {"welcome", Step::welcome, {}, "Get Started", false, false, false},
        {"sign-in idle", Step::signIn, signInState(GoogleSignInState::idle()),
         "Sign in with Google", false, false, false},
        {"sign-in running", Step::signIn, signInState(GoogleSignInState::signingIn()),
         "Sign in with Google", true, false, false},
        {"sign-in done", Step::signIn, signInState(GoogleSignInState::success()), "Continue", false,
         false, false},
        {"sign-in failed", Step::signIn, signInState(GoogleSignInState::error("x")), "Try Again",
         false, false, false},
        {"access", Step::fullDiskAccess, {}, "Open Folder", false, false, true},
        {"contacts unknown", Step::contacts, contactsState(Auth::notDetermined, false),
         "Enable Contacts", false, true, false},
        {"contacts asking", Step::contacts, contactsState(Auth::notDetermined, true),
         "Enable Contacts", true, true, false},
        {"contacts granted", Step::contacts, contactsState(Auth::authorized, false),
         "Enable Contacts", false, true, false},
        // Nothing of the desktop grants it again: no button that could only fail.
        {"contacts denied", Step::contacts, contactsState(Auth::denied, false), std::nullopt, false,
         true, false},
        {"contacts restricted", Step::contacts, contactsState(Auth::restricted, false),
         std::nullopt, true, true, false},
        {"indexing running", Step::indexing, {}, std::nullopt, false, false, false},
        {"indexing failed", Step::indexing,
         [](StepsFixture& f) { f.sync().lastError.set("Sync failed: boom"); }, "Try Again", false,
         false, true},
        {"indexing error while still running", Step::indexing,
         [](StepsFixture& f) {
             f.sync().lastError.set("Sync failed: boom");
             f.sync().isSyncing.set(true);
         },
         std::nullopt, false, false, false},
        {"done", Step::done, {}, "Start Chatting", false, false, false},
    };
    for (const auto& c : cases) {
        StepsFixture f;
        if (c.arrange) {
            c.arrange(f);
        }
        f.model->step.set(c.step);
        EXPECT_EQ(f.model->primaryLabel(), c.label) << c.name;
        EXPECT_EQ(f.model->primaryDisabled(), c.disabled) << c.name;
        EXPECT_EQ(f.model->showsSkip(), c.skip) << c.name;
        EXPECT_EQ(f.model->showsRelaunch(), c.relaunch) << c.name;
    }
}

TEST(OnboardingStepsModelTest, StatusTexts) {
    StepsFixture f;
    using Status = OnboardingStepsModel::Status;

    f.signInVM().state.set(GoogleSignInState::success());
    f.signInVM().userEmail.set(std::nullopt);
    EXPECT_EQ(f.model->signInStatus().status, (Status{false, {{"Signed in.", false}}}));
    f.signInVM().userEmail.set("ada@example.com");
    EXPECT_EQ(f.model->signInStatus().status,
              (Status{false, {{"Continuing as ada@example.com", false}}}));
    EXPECT_TRUE(f.model->signInStatus().offersDifferentAccount);
    f.signInVM().state.set(GoogleSignInState::error("Denied by Google"));
    EXPECT_EQ(f.model->signInStatus().status, (Status{false, {{"Denied by Google", true}}}));
    EXPECT_EQ(f.model->signInStatus().link, std::nullopt);
    // No browser: the plain error, the link to open by hand (also while waiting on a browser
    // that may never have come up).
    const std::string link = "https://cloud.example.com/auth/google/start?native=1";
    f.signInVM().state.set(
        GoogleSignInState::browserUnavailable("No web browser could be opened.", link));
    const auto unavailable = f.model->signInStatus();
    EXPECT_EQ(unavailable.link, link);
    ASSERT_EQ(unavailable.status.lines.size(), 2u);
    EXPECT_EQ(unavailable.status.lines[0],
              (OnboardingStepsModel::StatusLine{"No web browser could be opened.", true}));
    EXPECT_FALSE(unavailable.offersDifferentAccount);
    f.signInVM().state.set(GoogleSignInState::signingIn());
    EXPECT_EQ(f.model->signInStatus().link, f.signInVM().signInLink());

    // The first rule that holds decides.
    f.contacts().authorizationState.set(Auth::denied);
    f.contacts().lastError.set("Could not open Contacts settings.");
    EXPECT_EQ(f.model->contactsStatus(),
              (Status{false, {{"Could not open Contacts settings.", true}}}));
    f.contacts().isBusy.set(true);
    EXPECT_EQ(f.model->contactsStatus(),
              (Status{true, {{"Waiting for Contacts permission…", false}}}));
    f.contacts().authorizationState.set(Auth::authorized);
    EXPECT_EQ(f.model->contactsStatus(), (Status{true, {{"Syncing contacts…", false}}}));

    // The last step names the tray only while Vask's icon is in one.
    struct Case {
        bool tray;
        std::int64_t count;
        std::string subtitle;
    };
    const std::string tray =
        "Vask lives in your system tray — click the icon any time to ask about your messages.";
    const std::string noTray =
        "Vask keeps running in the background — open Vask again from your applications, or run "
        "vask, any time to ask about your messages.";
    for (const auto& c :
         {Case{true, 0, tray}, Case{true, 12345, "Indexed 12,345 messages. " + tray},
          Case{false, 0, noTray}, Case{false, 12345, "Indexed 12,345 messages. " + noTray}}) {
        SCOPED_TRACE(c.subtitle);
        f.root->trayShown().set(c.tray);
        f.sync().messageCount.set(c.count);
        EXPECT_EQ(f.model->doneSubtitle(), c.subtitle);
    }
}

// The signed-out notice names the tray only where Vask's icon is in one; its own "Sign In…" is
// there either way.
TEST(OnboardingStepsModelTest, SignedOutWordsWithAndWithoutATray) {
    EXPECT_EQ(MainWindowModel::signedOutDescription(true),
              "Sign in from the Vask icon in the system tray to start chatting.");
    EXPECT_EQ(MainWindowModel::signedOutDescription(false), "Sign in to start chatting.");
    EXPECT_EQ(std::string(MainWindowModel::signInTitle), "Sign In\u2026");
}

// Nothing on Linux is called System Settings, Full Disk Access or a menu bar: every text the
// windows show says what Vask does here instead.
TEST(OnboardingStepsModelTest, NoShownTextNamesAFacilityLinuxLacks) {
    StepsFixture f;
    std::vector<std::string> shown{OnboardingStepsModel::relaunchToolTip,
                                   MainWindowModel::signedOutDescription(false),
                                   ShadowSyncError(ShadowSyncError::Case::chatDBNotFound).what()};
    const auto collect = [&shown](const OnboardingStepsModel::Status& status) {
        for (const auto& line : status.lines) {
            shown.push_back(line.text);
        }
    };
    for (int raw = 0; raw < OnboardingStepsModel::stepCount; ++raw) {
        for (const auto auth : {Auth::notDetermined, Auth::denied, Auth::restricted}) {
            f.contacts().authorizationState.set(auth);
            f.model->step.set(*onboardingStepFromRaw(raw));
            const auto page = f.model->page();
            shown.insert(shown.end(), {page.title, page.subtitle});
            shown.push_back(f.model->primaryLabel().value_or(""));
            collect(f.model->contactsStatus());
            collect(f.model->accessStatus());
            const auto panel = settings::contacts::present(auth, false, std::nullopt, std::nullopt);
            shown.insert(shown.end(), {panel.message, panel.actionLabel});
        }
    }
    for (const auto& text : shown) {
        for (const char* lacking : {"System Settings", "Full Disk Access", "menubar", "menu bar"}) {
            EXPECT_EQ(text.find(lacking), std::string::npos) << text;
        }
    }

    // The access step says where chat.db goes and how to name another file.
    f.model->step.set(Step::fullDiskAccess);
    const auto subtitle = f.model->page().subtitle;
    for (const std::string& needed :
         {f.chatDB.string(), std::string("Copy chat.db from a Mac"), std::string("CHAT_DB_PATH")}) {
        EXPECT_NE(subtitle.find(needed), std::string::npos) << needed;
    }
}

TEST(OnboardingStepsModelTest, IndexingProgressNeverDividesByZeroAndCapsAtFull) {
    struct Case {
        std::optional<ShadowSyncViewModel::SyncProgress> progress;
        std::optional<double> fraction;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases{
        {std::nullopt, std::nullopt, {}},
        {ShadowSyncViewModel::SyncProgress{0, 0}, std::nullopt, {}},
        {ShadowSyncViewModel::SyncProgress{5000, 20000},
         0.25,
         {"Indexed 5,000 of 20,000 messages"}},
        {ShadowSyncViewModel::SyncProgress{30, 20}, 1.0, {"Indexed 30 of 20 messages"}},
    };
    for (const auto& c : cases) {
        StepsFixture f;
        f.model->step.set(Step::indexing);
        f.sync().syncProgress.set(c.progress);
        const auto status = f.model->indexingStatus();
        EXPECT_EQ(status.fraction, c.fraction);
        EXPECT_FALSE(status.failed);
        std::vector<std::string> lines;
        for (const auto& line : status.lines) {
            lines.push_back(line.text);
        }
        EXPECT_EQ(lines, c.lines);
    }
}

TEST(OnboardingStepsModelTest, RetentionNotices) {
    using A = MessageRetentionAssessment;
    struct Case {
        A assessment;
        std::string message;
        bool tip;
    };
    const std::vector<Case> cases{
        {{A::Policy::oneYear, A::Evidence::preference},
         "Messages is set to auto-delete after 1 year. Vask will preserve everything from today "
         "forward.",
         true},
        {{A::Policy::thirtyDays, A::Evidence::preference},
         "Messages is set to auto-delete after 30 days. Vask will preserve everything from today "
         "forward.",
         true},
        {{A::Policy::oneYear, A::Evidence::oldestMessage},
         "Your available Messages history starts about 1 year ago. Vask will preserve everything "
         "from today forward.",
         false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OnboardingStepsModel::retentionMessage(c.assessment), c.message);
        EXPECT_EQ(OnboardingStepsModel::retentionShowsKeepTip(c.assessment), c.tip);
    }
}

TEST(OnboardingStepsModelTest, ResumingSkipsMetStepsAndNeverOpensSettingsWhenAccessIsThere) {
    StepsFixture f;
    f.writeMessages();
    f.signIn();
    f.contacts().authorizationState.set(Auth::authorized);
    f.root->onboardingState().save(Step::signIn);
    // Left half-way before: onboarding shows again.
    f.root->onboardingState().markStarted();

    ASSERT_TRUE(f.model->appear());
    f.drain();
    EXPECT_EQ(f.model->step.get(), Step::done);
    EXPECT_TRUE(f.sync().hasSynced.get());
    EXPECT_EQ(f.savedStep(), 5);
    EXPECT_TRUE(f.opener->urls.empty());
}

TEST(OnboardingStepsModelTest,
     AccessStepOpensTheDatabaseFolderOnlyWhenAskedAndMovesOnWithinOnePoll) {
    StepsFixture f;
    f.signIn();
    std::filesystem::remove_all(f.chatDB.parent_path());
    ASSERT_TRUE(f.model->appear());
    EXPECT_EQ(f.model->step.get(), Step::welcome);
    f.model->primaryAction();
    f.drain();
    EXPECT_EQ(f.model->step.get(), Step::fullDiskAccess);
    EXPECT_TRUE(f.opener->urls.empty()) << "no file manager opens unasked";

    f.model->primaryAction();
    EXPECT_TRUE(std::filesystem::is_directory(f.chatDB.parent_path())) << "made when missing";
    EXPECT_EQ(f.opener->urls,
              std::vector<std::string>{FullDiskAccessViewModel::fileURL(f.chatDB.parent_path())});
    EXPECT_EQ(f.access->lastError.get(), "chat.db not found") << "opened: no failure of its own";

    f.tick(OnboardingStepsModel::accessPollInterval);
    f.tick(OnboardingStepsModel::accessPollInterval);
    EXPECT_EQ(f.access->lastError.get(), "chat.db not found");

    f.writeMessages();
    f.tick(OnboardingStepsModel::accessPollInterval);
    EXPECT_EQ(f.model->step.get(), Step::contacts);
    EXPECT_EQ(f.savedStep(), 3);
}

// "Enable Contacts" with no contacts folder (the data folder's "contacts" here) keeps the step
// and says so, with the way on: try again, or Skip. With the folder there, the step moves on.
TEST(OnboardingStepsModelTest, AContactsFolderThatCannotBeReadKeepsTheStepAndSaysSo) {
    StepsFixture f;
    // The activation wait runs on the fake clock, the engine on its own thread.
    const auto settle = [&f](const std::function<bool()>& done) {
        for (int i = 0; i < 400; ++i) {
            f.tick(std::chrono::milliseconds(50));
            if (done() || f.main.runUntil(done, std::chrono::milliseconds(25))) {
                return true;
            }
        }
        return false;
    };
    const auto folder = f.dir / "data" / "contacts";
    f.model->step.set(Step::contacts);
    f.model->primaryAction();
    ASSERT_TRUE(settle([&f] { return f.contacts().folderProblem.get().has_value(); }));
    f.drain();
    EXPECT_EQ(f.model->step.get(), Step::contacts);
    ASSERT_EQ(f.contacts().folderProblem.get(), ContactsFolderProblem::missing);
    const auto status = f.model->contactsStatus();
    ASSERT_EQ(status.lines.size(), 2u);
    EXPECT_TRUE(status.lines[0].isError);
    EXPECT_NE(status.lines[0].text.find(folder.string()), std::string::npos);
    EXPECT_EQ(status.lines[1].text,
              ContactsSyncViewModel::folderProblemText(ContactsFolderProblem::missing) +
                  " Or Skip: you can turn on Contacts later in Settings.");
    EXPECT_EQ(f.model->primaryLabel(), "Try Again");
    EXPECT_FALSE(f.model->primaryDisabled());
    EXPECT_TRUE(f.model->showsSkip());

    std::filesystem::create_directories(folder);
    f.model->primaryAction();
    ASSERT_TRUE(settle([&f] { return f.contacts().hasContacts(); }));
    EXPECT_NE(f.model->step.get(), Step::contacts);
}

TEST(OnboardingStepsModelTest, SuccessfulSignInWaitsForContinue) {
    StepsFixture f;
    ASSERT_TRUE(f.model->appear());
    f.model->advance();
    ASSERT_EQ(f.model->step.get(), Step::signIn);
    f.signIn();
    f.signInVM().state.set(GoogleSignInState::success());
    f.drain();
    EXPECT_EQ(f.model->step.get(), Step::signIn);
    EXPECT_EQ(f.model->primaryLabel(), "Continue");
    f.model->primaryAction();
    f.drain();
    EXPECT_EQ(f.model->step.get(), Step::fullDiskAccess);
}

TEST(OnboardingStepsModelTest, StallCountsUninterruptedSecondsOnly) {
    StepsFixture f;
    f.model->step.set(Step::indexing);
    for (int i = 0; i < 89; ++i) {
        f.tick(OnboardingStepsModel::indexingTickInterval);
    }
    EXPECT_FALSE(f.model->indexingStalled());
    f.tick(OnboardingStepsModel::indexingTickInterval);
    EXPECT_TRUE(f.model->indexingStalled());
    EXPECT_TRUE(f.model->showsRelaunch());
    EXPECT_EQ(f.model->indexingStatus().lines.back().text,
              "This is taking longer than usual. You can keep waiting, or relaunch Vask.");

    f.sync().lastError.set("Sync failed: boom");
    f.tick(OnboardingStepsModel::indexingTickInterval);
    f.sync().lastError.set(std::nullopt);
    EXPECT_EQ(f.model->indexingSeconds(), 0);
    EXPECT_FALSE(f.model->indexingStalled());
}

TEST(OnboardingStepsModelTest, AppearAndEdges) {
    {
        // Signed in with access and never started: onboarding is not wanted, nothing is marked.
        StepsFixture f;
        f.writeMessages();
        f.signIn();
        EXPECT_FALSE(f.model->appear());
        EXPECT_FALSE(f.root->onboardingState().wasStarted());
    }
    {
        StepsFixture f;
        f.defaults.set(f.root->onboardingState().stepKey(), 9);
        ASSERT_TRUE(f.model->appear());
        EXPECT_TRUE(f.root->onboardingState().wasStarted());
        EXPECT_EQ(f.model->step.get(), Step::welcome);
    }
    {
        StepsFixture f;
        f.model->step.set(Step::done);
        f.model->advance();
        EXPECT_EQ(f.model->step.get(), Step::done);
        f.model->primaryAction();
        EXPECT_EQ(f.mainOpened, 1);
        EXPECT_EQ(f.closed, 1);
    }
    {
        // Quit and reopen resumes on the access step whatever step is shown.
        StepsFixture f;
        f.model->step.set(Step::indexing);
        f.model->relaunch();
        EXPECT_EQ(f.savedStep(), 2);
        EXPECT_EQ(f.relaunches, 1);
    }
}

}  // namespace
}  // namespace vask
