#include "shell/contacts_sync_view_model.h"

#include <gtest/gtest.h>

#include "platform/file_io.h"
#include "platform/manual_executor.h"
#include "shell/settings_presenter.h"
#include "sources/vcard_contact_store.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using namespace std::chrono_literals;
using State = ContactsAuthorizationState;

class FakeController final : public ContactsSyncControlling {
  public:
    int authorizationStatus() const override { return status; }
    void setOnSyncComplete(std::function<void()> handler) override {
        complete = std::move(handler);
    }
    void setOnSyncError(std::function<void(const SyncFailure&)> handler) override {
        error = std::move(handler);
    }
    void start(std::function<void(const StartOutcome&)> done) override {
        ++starts;
        pendingStart = std::move(done);
    }
    void scheduleSync() override { ++scheduled; }

    // The engine answers the start request: access granted (or not) at the prompt.
    void finishStart(StartOutcome outcome, int newStatus) {
        status = newStatus;
        std::exchange(pendingStart, nullptr)(outcome);
    }

    int status = 0;
    int starts = 0;
    int scheduled = 0;
    std::function<void(const StartOutcome&)> pendingStart;
    std::function<void()> complete;
    std::function<void(const SyncFailure&)> error;
};

class FakeApplication final : public ApplicationActivation {
  public:
    bool isActive() const override { return active; }
    void activateIgnoringOtherApps() override { ++activations; }
    Subscription observeDidBecomeActive(std::function<void()> handler) override {
        onActive = std::move(handler);
        return Subscription([this] { onActive = nullptr; });
    }
    void becomeActive() {
        active = true;
        if (onActive) {
            onActive();
        }
    }

    bool active = false;
    int activations = 0;
    std::function<void()> onActive;
};

struct ContactsFixture {
    explicit ContactsFixture(bool withEngine = true,
                             std::optional<std::string> initialError = std::nullopt) {
        if (withEngine) {
            controller = std::make_shared<FakeController>();
        }
        viewModel = ContactsSyncViewModel::make({
            .contactsDBPath = "/tmp/contacts.db",
            .controller = controller,
            .initialError = std::move(initialError),
            .contactsSettingsOpener = [this] { return settingsOpen; },
            .application = application,
            .main = main,
            .scheduler = clock,
            .trace = [this](std::string_view line) { traces.emplace_back(line); },
        });
    }
    // Moves the fake clock in polling steps, running what the timers post.
    void advance(std::chrono::milliseconds by) {
        for (auto passed = 0ms; passed < by; passed += 10ms) {
            clock.advance(10ms);
            main.runUntilIdle();
        }
    }

    test::LogCapture log;
    test::FakeClock clock;
    ManualExecutor main;
    FakeApplication application;
    bool settingsOpen = false;
    std::vector<std::string> traces;
    std::shared_ptr<FakeController> controller;
    std::shared_ptr<ContactsSyncViewModel> viewModel;
};

TEST(ContactsSyncViewModelTest, PlatformStatusMapsToFourStates) {
    const std::vector<std::pair<int, State>> cases{
        {0, State::notDetermined}, {1, State::restricted}, {2, State::denied},
        {3, State::authorized},    {4, State::restricted}, {-1, State::restricted}};
    for (const auto& [status, expected] : cases) {
        EXPECT_EQ(contactsAuthorizationState(status), expected) << status;
    }
}

TEST(ContactsSyncViewModelTest, WithoutAnEngineAnExistingErrorStays) {
    struct Case {
        std::optional<std::string> initialError;
        std::string shown;
    };
    for (const auto& c : {Case{std::nullopt, "Contacts sync engine unavailable"},
                          Case{"database is broken", "database is broken"}}) {
        ContactsFixture fixture(false, c.initialError);
        fixture.viewModel->requestAccessAndSync();
        EXPECT_EQ(fixture.viewModel->lastError.get(), c.shown);
        fixture.viewModel->syncNow();
        EXPECT_EQ(fixture.log->events("contacts_sync_skipped").at(0).metadata.at("reason"),
                  "no_access");
        EXPECT_EQ(fixture.viewModel->authorizationState.get(), State::notDetermined);
    }
}

TEST(ContactsSyncViewModelTest, DeniedOrRestrictedRequestsNeverGetBusy) {
    struct Case {
        int status;
        bool settingsOpen;
        std::optional<std::string> error;
        const char* event;
    };
    const std::vector<Case> cases{
        {2, true, std::nullopt, "contacts_open_settings"},
        {2, false, "Could not open Contacts settings.", "contacts_open_settings_failed"},
        {1, false, std::nullopt, "contacts_access_request_skipped"},
    };
    for (const auto& c : cases) {
        ContactsFixture fixture(true, "old error");
        fixture.controller->status = c.status;
        fixture.settingsOpen = c.settingsOpen;
        bool done = false;
        fixture.viewModel->requestAccessAndSync([&] { done = true; });
        EXPECT_TRUE(done);
        EXPECT_FALSE(fixture.viewModel->isBusy.get());
        EXPECT_EQ(fixture.viewModel->lastError.get(), c.error) << c.event;
        EXPECT_TRUE(fixture.log->contains(c.event));
        EXPECT_EQ(fixture.controller->starts, 0);
    }
}

// The request waits for the application to come forward, up to 2 s on the clock, and asks for
// access either way.
TEST(ContactsSyncViewModelTest, AccessRequestWaitsForActivationThenStartsTheEngine) {
    struct Case {
        std::optional<std::chrono::milliseconds> activeAfter;
        bool timedOut;
    };
    for (const auto& c : {Case{300ms, false}, Case{std::nullopt, true}}) {
        ContactsFixture fixture;
        bool done = false;
        fixture.viewModel->requestAccessAndSync([&] { done = true; });
        EXPECT_TRUE(fixture.viewModel->isBusy.get());
        EXPECT_TRUE(fixture.viewModel->isRequestingAccess());
        EXPECT_EQ(fixture.application.activations, 1);
        if (c.activeAfter) {
            fixture.advance(*c.activeAfter);
            fixture.application.active = true;
        }
        fixture.advance(1900ms);
        EXPECT_EQ(fixture.controller->starts, c.timedOut ? 0 : 1) << "before the deadline";
        fixture.advance(200ms);
        ASSERT_EQ(fixture.controller->starts, 1);
        EXPECT_EQ(fixture.log->contains("contacts_activation_wait_timeout"), c.timedOut);

        fixture.controller->finishStart({.error = std::nullopt, .scheduledSync = true}, 3);
        EXPECT_TRUE(done);
        EXPECT_TRUE(fixture.viewModel->isSyncing()) << "busy until the first run ends";
        fixture.controller->complete();
        EXPECT_FALSE(fixture.viewModel->isBusy.get());
        EXPECT_EQ(fixture.viewModel->lastSyncedAt.get(), fixture.clock.now());
        EXPECT_EQ(fixture.traces.front(), "requestAccessAndSync ENTER isActive=false status=0");
        EXPECT_EQ(fixture.traces.back(), "engine.start OK status=3 hasAccess=true");
    }
}

TEST(ContactsSyncViewModelTest, StartOutcomesSettleTheBusyFlag) {
    struct Case {
        ContactsSyncControlling::StartOutcome outcome;
        bool busy;
        std::optional<std::string> error;
    };
    const std::vector<Case> cases{
        {{.error = std::nullopt, .scheduledSync = true}, true, std::nullopt},
        // The engine was already running: no completion is coming for this start.
        {{.error = std::nullopt, .scheduledSync = false}, false, std::nullopt},
        {{.error = "Contacts permission was not granted.", .scheduledSync = false},
         false,
         "Contacts permission was not granted."},
    };
    for (const auto& c : cases) {
        for (const bool viaRequest : {true, false}) {
            ContactsFixture fixture;
            fixture.application.active = true;
            if (viaRequest) {
                fixture.viewModel->requestAccessAndSync();
            } else {
                fixture.controller->status = 3;
                fixture.viewModel->syncNow();
            }
            ASSERT_EQ(fixture.controller->starts, 1);
            fixture.controller->finishStart(c.outcome, c.outcome.error ? 2 : 3);
            EXPECT_EQ(fixture.viewModel->isBusy.get(), c.busy) << viaRequest;
            EXPECT_EQ(fixture.viewModel->lastError.get(), c.error) << viaRequest;
        }
    }
}

TEST(ContactsSyncViewModelTest, AfterAStartFurtherSyncsOnlySchedule) {
    ContactsFixture fixture;
    fixture.controller->status = 3;
    fixture.viewModel->syncNow();
    fixture.controller->finishStart({.error = std::nullopt, .scheduledSync = true}, 3);
    fixture.controller->complete();

    fixture.viewModel->syncNow();
    EXPECT_EQ(fixture.controller->starts, 1);
    EXPECT_EQ(fixture.controller->scheduled, 1);
    EXPECT_TRUE(fixture.viewModel->isBusy.get());
    fixture.viewModel->syncNow();
    EXPECT_EQ(fixture.controller->scheduled, 1) << "dropped while busy";
    fixture.controller->error({.description = "disk full", .folder = {}});
    EXPECT_FALSE(fixture.viewModel->isBusy.get());
    EXPECT_EQ(fixture.viewModel->lastError.get(), "disk full");
    EXPECT_TRUE(fixture.log->contains("contacts_sync_failed"));
}

TEST(ContactsSyncViewModelTest, ReturningWithAccessGrantedSyncsOnce) {
    ContactsFixture fixture;
    fixture.controller->status = 2;
    fixture.viewModel->refreshAuthorization();
    fixture.controller->status = 3;
    fixture.application.becomeActive();
    EXPECT_EQ(fixture.controller->starts, 1);
    fixture.application.becomeActive();
    EXPECT_EQ(fixture.controller->starts, 1) << "already authorized before";
    EXPECT_EQ(fixture.controller->scheduled, 0);

    fixture.viewModel.reset();
    EXPECT_EQ(fixture.application.onActive, nullptr) << "the observer ends with the view model";
}

// The real engine behind the live controller, over a folder of cards.
struct LiveFixture {
    LiveFixture() {
        application.active = true;
        cards = std::make_shared<VCardContactStore>(folder, defaults, clock);
        viewModel = ContactsSyncViewModel::make({
            .contactsDBPath = (dir / "contacts.db").string(),
            .controller = LiveContactsSyncController::make(
                ContactsManager(cards, clock), ContactsStore(dir / "contacts.db"), main),
            .initialError = std::nullopt,
            .contactsSettingsOpener = [] { return false; },
            .application = application,
            .main = main,
            .scheduler = clock,
        });
    }
    // The folder comes whole, its card in it: no run sees it empty.
    void writeCard() {
        const auto staged = dir / "staged";
        std::filesystem::create_directories(staged);
        writeFileAtomically(staged / "ada.vcf",
                            "BEGIN:VCARD\nVERSION:3.0\nUID:ada\nFN:Ada Lovelace\nEND:VCARD\n");
        std::filesystem::rename(staged, folder);
    }
    bool settle() {
        return main.runUntil([this] { return !viewModel->isBusy.get(); });
    }
    std::int64_t storedContacts() const {
        auto db = SQLiteConnection::open(dir / "contacts.db", SQLiteSupport::OpenMode::readOnly);
        SQLiteStatement count(db.get(), "SELECT count(*) FROM contacts");
        return count.step() ? count.columnInt64(0) : -1;
    }
    settings::contacts::Presentation shown() const {
        return settings::contacts::present(viewModel->authorizationState.get(),
                                           viewModel->isBusy.get(), viewModel->lastSyncedAt.get(),
                                           viewModel->lastError.get(),
                                           viewModel->folderProblem.get());
    }

    test::LogCapture log;
    test::TempDir dir;
    std::filesystem::path folder = dir / "cards";
    InMemoryDefaults defaults;
    test::FakeClock clock;
    ManualExecutor main;
    FakeApplication application;
    std::shared_ptr<VCardContactStore> cards;
    std::shared_ptr<ContactsSyncViewModel> viewModel;
};

// Its callbacks, from the engine's own queue, reach the view model on the main executor.
TEST(ContactsSyncViewModelTest, LiveControllerCompletesTheFirstSyncOnTheMainExecutor) {
    LiveFixture f;
    f.writeCard();
    auto& viewModel = f.viewModel;
    EXPECT_EQ(viewModel->authorizationState.get(), State::notDetermined);
    viewModel->requestAccessAndSync();
    ASSERT_TRUE(f.main.runUntil([&] { return viewModel->lastSyncedAt.get().has_value(); }));
    EXPECT_EQ(viewModel->authorizationState.get(), State::authorized);
    EXPECT_FALSE(viewModel->isBusy.get());
    EXPECT_EQ(viewModel->lastError.get(), std::nullopt);
    EXPECT_TRUE(viewModel->hasContacts());

    viewModel->syncNow();
    EXPECT_TRUE(viewModel->isSyncing());
    ASSERT_TRUE(f.settle());
}

// A contacts folder that is not there, or cannot be listed, is no synchronisation: the view
// model says which, sets no sync time, keeps the contacts already copied, and settings show no
// "enabled" row but the words and "Try Again". Once the folder is there, all is well again.
TEST(ContactsSyncViewModelTest, AFolderThatCannotBeReadIsSaidNeverShownAsEnabled) {
    struct Case {
        const char* name;
        std::function<void(const std::filesystem::path&)> breakFolder;
        ContactsFolderProblem problem;
        const char* logged;
    };
    const Case cases[] = {
        {"missing", [](const auto& folder) { std::filesystem::remove_all(folder); },
         ContactsFolderProblem::missing, "contacts_folder_missing"},
        {"a file in its place",
         [](const auto& folder) {
             std::filesystem::remove_all(folder);
             writeFileAtomically(folder, "not a folder");
         },
         ContactsFolderProblem::unreadable, "contacts_sync_failed"},
    };
    for (const auto& c : cases) {
        for (const bool syncedBefore : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (syncedBefore ? ", synced before" : ""));
            LiveFixture f;
            if (syncedBefore) {
                f.writeCard();
                f.viewModel->requestAccessAndSync();
                ASSERT_TRUE(
                    f.main.runUntil([&] { return f.viewModel->lastSyncedAt.get().has_value(); }));
            }
            const auto syncedAt = f.viewModel->lastSyncedAt.get();
            c.breakFolder(f.folder);
            f.clock.advance(1h);
            f.viewModel->requestAccessAndSync();
            ASSERT_TRUE(f.settle());

            EXPECT_EQ(f.viewModel->folderProblem.get(), c.problem);
            EXPECT_FALSE(f.viewModel->hasContacts());
            EXPECT_EQ(f.viewModel->lastSyncedAt.get(), syncedAt) << "no new sync time";
            ASSERT_TRUE(f.viewModel->lastError.get());
            EXPECT_NE(f.viewModel->lastError.get()->find(f.folder.string()), std::string::npos);
            EXPECT_TRUE(f.log->contains(c.logged));
            EXPECT_EQ(f.storedContacts(), syncedBefore ? 1 : 0) << "the copy is kept";
            const auto shown = f.shown();
            EXPECT_NE(shown.row, settings::contacts::Row::enabled);
            EXPECT_EQ(shown.message, ContactsSyncViewModel::folderProblemText(c.problem));
            EXPECT_EQ(shown.actionLabel, "Try Again");
            EXPECT_TRUE(shown.actionBelow) << "under the sentences, not squeezing them";
            EXPECT_TRUE(shown.actionEnabled);
            EXPECT_FALSE(shown.lastSynced);

            std::filesystem::remove_all(f.folder);
            f.writeCard();
            f.viewModel->requestAccessAndSync();
            // A run the folder's own changes asked for may fail first.
            ASSERT_TRUE(f.main.runUntil([&f] { return f.viewModel->hasContacts(); }));
            EXPECT_EQ(f.shown().row, settings::contacts::Row::enabled);
            EXPECT_EQ(f.storedContacts(), 1);
        }
    }
}

}  // namespace
}  // namespace vask
