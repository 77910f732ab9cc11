#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "platform/file_secret_backend.h"
#include "platform/in_memory_secret_backend.h"
#include "platform/iso8601.h"
#include "platform/libsecret_backend.h"
#include "platform/manual_executor.h"
#include "platform/worker_pool.h"
#include "proactive/proactive_surfaces.h"
#include "records/sqlite_session_store.h"
#include "sample-chatdb/conversations.h"
#include "shell/app_dependencies.h"
#include "shell/window_coordinator.h"
#include "store/sqlite_connection.h"
#include "support/app_root_fixture.h"
#include "support/eventually.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "support/scoped_environment.h"
#include "support/silent_dbus_service.h"
#include "support/stub_http_server.h"
#include "support/temp_dir.h"
#include "sync_test_support.h"

namespace vask {
namespace {

// Every test builds its own root (test::AppRootFixture) on a private folder, its own defaults and
// secret storage: no root shares anything with another, so the suite runs whole in one process.
using RootFixture = test::AppRootFixture;

TEST(AppDependenciesTest, KeychainServiceNameComesFromTheEnvironmentTrimmed) {
    struct Case {
        std::optional<std::string> variable;
        std::string expected;
    };
    const std::vector<Case> cases{
        {std::nullopt, "ai.vask.tests"},
        {" \t\n", "ai.vask.tests"},
        {" vask.test \n", "vask.test"},
    };
    for (const auto& c : cases) {
        Environment env;
        if (c.variable) {
            env["VASK_KEYCHAIN_SERVICE"] = *c.variable;
        }
        RootFixture fixture({.extra = env});
        EXPECT_EQ(fixture.root->keychain().service(), c.expected)
            << "variable: " << c.variable.value_or("<absent>");
    }
}

TEST(AppDependenciesTest, CachedModeChangesOnlyWhenReset) {
    RootFixture fixture;
    test::LogCapture log;
    EXPECT_TRUE(fixture.root->authMode() == AuthMode::none());
    fixture.saveAccount("u");
    EXPECT_TRUE(fixture.root->authMode() == AuthMode::none())
        << "a credential change is seen only after the cache is emptied";
    fixture.root->resetAuthMode();
    EXPECT_TRUE(fixture.root->authMode() == AuthMode::managed("tok", "acc"));
    EXPECT_EQ(log->events("auth_mode_resolved").size(), 2u);
}

// Two roots in one process share nothing: credentials, defaults and cached modes stay apart.
TEST(AppDependenciesTest, RootsAreIndependent) {
    RootFixture first;
    RootFixture second;
    first.saveAccount("user-1");
    EXPECT_TRUE(first.root->authMode() == AuthMode::managed("tok", "acc"));
    EXPECT_TRUE(second.root->authMode() == AuthMode::none());
    EXPECT_NE(first.root->supportDirectory(), second.root->supportDirectory());
}

// With no Secret Service on the bus the record beside the keyring holds what is written, and
// the keyring is the one asked once it comes.
TEST(AppDependenciesTest, FileSecretsLiveInTheRootsOwnSupportDirectory) {
    // The Secret Service client reads the bus address from the process itself.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vask-test-bus", 1);
    for (int round = 0; round < 2; ++round) {
        RootFixture fixture({.secrets = nullptr});
        test::LogCapture log;
        // Chosen on the worker.
        EXPECT_EQ(fixture.root->secretBackend()->kind(), "unresolved");
        fixture.worker.runUntilIdle();
        EXPECT_EQ(fixture.root->secretBackend()->kind(), "secret_service");
        fixture.saveAccount("u");
        EXPECT_TRUE(std::filesystem::exists(fixture.dir / "data" / "VaskTest" / "credentials.json"))
            << "round " << round;
        const auto chosen = log->events("secret_storage_selected").at(0).metadata;
        EXPECT_EQ(chosen.at("backend"), "secret_service");
        EXPECT_EQ(chosen.at("available"), "false");
    }
}

// VASK_CREDENTIAL_STORE=file (the demo's): the file, the Secret Service never asked.
TEST(AppDependenciesTest, TheFileStoreCanBeChosenWhateverKeyringRuns) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vask-test-bus", 1);
    for (const char* value : {"file", " file\n"}) {
        RootFixture fixture({.extra = {{"VASK_CREDENTIAL_STORE", value}}, .secrets = nullptr});
        test::LogCapture log;
        fixture.root->secretBackend();
        fixture.worker.runUntilIdle();
        EXPECT_EQ(fixture.root->secretBackend()->kind(), "file");
        const auto chosen = log->events("secret_storage_selected").at(0).metadata;
        EXPECT_EQ(chosen.at("backend"), "file");
        EXPECT_EQ(chosen.at("secret_service"), "VASK_CREDENTIAL_STORE=file");
    }
}

TEST(AppDependenciesTest, MemoryPrincipalFollowsTheAccount) {
    RootFixture fixture({.extra = {{"VASK_MEMORY_ENABLED", "1"}}});
    auto& root = *fixture.root;
    EXPECT_EQ(root.memoryDBPath(), fixture.dir / "data" / "VaskTest" / "memory.db");
    ASSERT_NE(root.canonicalMemoryStore(), nullptr);
    EXPECT_EQ(root.canonicalMemoryPrincipal(), std::nullopt) << "no account, no principal";
    fixture.saveAccount("user-7");
    root.resetAuthMode();
    EXPECT_EQ(root.canonicalMemoryPrincipal(), MemoryPrincipal::make("user-7"));
    fixture.saveAccount("   ");
    EXPECT_EQ(root.canonicalMemoryPrincipal(), std::nullopt) << "a blank user id is no principal";
}

TEST(AppDependenciesTest, MemorySettingsExistWithoutAStoreWhenMemoryIsOff) {
    RootFixture fixture({.extra = {{"VASK_MEMORY_ENABLED", "0"}}});
    EXPECT_EQ(fixture.root->memoryDBPath(), std::nullopt);
    const auto viewModel = fixture.root->makeMemorySettingsViewModel();
    ASSERT_NE(viewModel, nullptr);
    EXPECT_FALSE(viewModel->isAvailable());
}

TEST(AppDependenciesTest, SharedMembersAreBuiltOnceAndFactoriesEachTime) {
    RootFixture fixture({.extra = {{"VASK_RELAY_BASE_URL", " http://127.0.0.1:9/ "}}});
    auto& root = *fixture.root;
    EXPECT_EQ(root.relayBaseURL().absoluteString(), "http://127.0.0.1:9/");
    EXPECT_EQ(root.presetCatalogService(), root.presetCatalogService());
    EXPECT_EQ(root.sharedGoogleSignInViewModel(), root.sharedGoogleSignInViewModel());
    EXPECT_NE(root.makeGoogleSignInViewModel(), root.sharedGoogleSignInViewModel());
    EXPECT_NE(root.googleAuthService(), root.googleAuthService());
    EXPECT_NE(root.makeBillingViewModel(), root.makeBillingViewModel());
    EXPECT_EQ(root.shadowSyncViewModel(), root.shadowSyncViewModel());
    EXPECT_EQ(root.contactsSyncViewModel(), root.contactsSyncViewModel());
    EXPECT_NE(root.makeFullDiskAccessViewModel(), root.makeFullDiskAccessViewModel());
    EXPECT_FALSE(root.webAuthenticationSession().deliverCallback(*Url::parse("vask://auth?code=x")))
        << "no flow is waiting for a callback";
}

// Each root has its own window coordinator: a tap reaches the windows of the root that posted,
// never those another root (a process-wide coordinator) filled in last.
TEST(AppDependenciesTest, AwaitingNotificationTapOpensTheMainWindowOnTheAwaitingScreen) {
    RootFixture fixture({.extra = {{"VASK_NOTIFICATION_SINK", "notifications.jsonl"}}});
    RootFixture other({.extra = {{"VASK_NOTIFICATION_SINK", "notifications.jsonl"}}});
    auto& root = *fixture.root;
    EXPECT_EQ(root.awaitingReplyNotifier(), root.awaitingReplyNotifier());
    EXPECT_EQ(root.notificationService(), root.notificationService());
    EXPECT_EQ(root.shadowDBPath().filename(), "shadow.db");
    bool opened = false;
    root.windowCoordinator().openMain = [&] {
        opened = true;
        EXPECT_FALSE(root.awaitingReplyViewModel()->pendingFocus().get()) << "window first";
    };
    bool otherOpened = false;
    other.root->windowCoordinator().openMain = [&] { otherOpened = true; };
    EXPECT_NE(&root.memorySettingsNavigation(), &other.root->memorySettingsNavigation());
    root.awaitingReplyNotifier()->start(std::nullopt, std::nullopt);
    root.notificationService()->didReceive({{"action", "open-awaiting"}});
    fixture.main.runUntilIdle();
    EXPECT_TRUE(opened);
    EXPECT_FALSE(otherOpened);
    EXPECT_TRUE(root.awaitingReplyViewModel()->pendingFocus().get());
    // The switch is off in this root: nothing waits.
    EXPECT_TRUE(root.awaitingReplyViewModel()->replies().get().empty());
    root.awaitingReplyNotifier()->stop();
}

// Names come from the contacts database, which has no tables before its first synchronisation:
// the awaiting list is loaded again each time one completes.
TEST(AppDependenciesTest, AContactsSynchronisationReloadsTheAwaitingList) {
    RootFixture fixture({.extra = {{"VASK_NOTIFICATION_SINK", "notifications.jsonl"}}});
    auto& root = *fixture.root;
    auto awaiting = root.awaitingReplyViewModel();
    fixture.main.runUntilIdle();
    int loads = 0;
    auto counting =
        awaiting->replies().subscribe([&](const auto&) { ++loads; }, Delivery::changesOnly);
    root.contactsSyncViewModel()->lastSyncedAt.set(fixture.clock.now());
    fixture.main.runUntilIdle();
    fixture.worker.runUntilIdle();
    fixture.main.runUntilIdle();
    EXPECT_EQ(loads, 1);
}

// The launch starts the contacts synchronisation, which the awaiting list waits for: the list is
// there without anyone showing the popover (which starts one each time it is shown).
TEST(AppDependenciesTest, TheAwaitingListLoadsAtLaunchWithNoPopoverShown) {
    test::TempDir history;
    RootFixture fixture({.extra = {{"VASK_CONTACTS_DIR", (history / "contacts").string()}}});
    auto conversations = sample::readConversations(VASK_SAMPLE_CORPUS);
    // The history ends long ago: moved to end an hour ago, as the demo's is, its last unanswered
    // messages are recent enough to wait on a reply.
    const std::int64_t secondsSince2001 = std::chrono::duration_cast<std::chrono::seconds>(
                                              std::chrono::system_clock::now().time_since_epoch())
                                              .count() -
                                          978307200;
    const std::int64_t shift =
        (secondsSince2001 - 3600) * 1'000'000'000 - conversations.messages.back().date;
    for (auto& message : conversations.messages) {
        message.date += shift;
    }
    sample::buildConversationChatDB(fixture.chatDB, conversations);
    sample::writeConversationContacts(history / "contacts", conversations);
    auto& root = *fixture.root;
    fixture.defaults.set("contactsAccessGrant", "authorized");
    fixture.defaults.set(root.instanceScopedKey(ProactiveSurfaces::enabledKeyBase), true);

    // As the application starts: the contacts, the main window's list, the messages.
    root.startContactsSync();
    const auto awaiting = root.awaitingReplyViewModel();
    root.shadowSyncViewModel()->syncIfPossible();
    ASSERT_TRUE(test::driveUntil(fixture.main, fixture.worker,
                                 [&] { return !awaiting->replies().get().empty(); }));
    std::set<std::string> names;
    for (const auto& reply : awaiting->replies().get()) {
        names.insert(reply.contactName);
    }
    EXPECT_EQ(names, (std::set<std::string>{"Maya Chen", "Hana Sato", "Mom"}));
}

TEST(AppDependenciesTest, ConcurrentFirstReadsBuildOneObject) {
    RootFixture fixture;
    std::vector<const void*> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&, i] { seen[i] = &fixture.root->customerTokenStore(); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(std::set<const void*>(seen.begin(), seen.end()).size(), 1u);
}

TEST(AppDependenciesTest, ShutDownStopsTheTurnsOfBothChatsAndKeepsTheirQuestions) {
    // A quit joins the worker right after: a turn still running would hold it up until the
    // helper's own limit, and its question would be lost with the handlers that never run.
    RootFixture f({.extra = {{"VASK_RLM_HELPER_CMD", "/bin/true"}}});
    const auto mainChat = f.root->chatViewModel();
    const auto popover = f.root->popoverChatViewModel();
    for (const auto& chat : {mainChat, popover}) {
        chat->inputText.set("are you still there?");
        chat->send();
        ASSERT_TRUE(chat->isSending());
    }
    f.root->shutDown();
    for (const auto& chat : {mainChat, popover}) {
        EXPECT_FALSE(chat->isSending());
        ASSERT_EQ(chat->transcript().size(), 1u);
        EXPECT_EQ(chat->transcript()[0].text, "are you still there?");
    }
    const auto stored =
        SQLiteSessionStore(f.root->supportDirectory() / "sessions.db").loadSessions();
    ASSERT_EQ(stored.size(), 1u);
    ASSERT_EQ(stored[0].messages.size(), 1u);
    EXPECT_EQ(stored[0].messages[0].text, "are you still there?");
    // Nothing starts another synchronisation afterwards.
    f.root->shadowSyncViewModel()->syncIfPossible();
    EXPECT_FALSE(f.root->shadowSyncViewModel()->isSyncing.get());
}

// What the root's parts must share is one instance: a part handed one of its own would go on
// unheard, or unstopped.

TEST(AppDependenciesTest, StoppingTheRootsHttpClientStopsEveryServiceOfTheRoot) {
    test::StubHttpServer server;
    const auto base = server.baseURL().absoluteString();
    RootFixture f({.extra = {{"VASK_RELAY_BASE_URL", base}, {"VASK_CLOUD_BASE_URL", base}}});
    f.signIn();
    auto& root = *f.root;
    root.httpClient().stopAll();
    const std::vector<std::pair<const char*, std::function<void()>>> calls = {
        {"billing", [&] { root.billingService().getCustomerModels("tok"); }},
        {"utility call",
         [&] {
             EXPECT_EQ(root.responses().complete({.prompt = "p",
                                                  .credentials = {std::nullopt, "tok"},
                                                  .route = ModelRoute::explicitModel("m")}),
                       std::nullopt);
         }},
        {"token refresh", [&] { root.accessTokenRefresher().refreshAccessToken(); }},
        {"sign-in", [&] { root.googleAuthService()->exchangeCode("code"); }},
    };
    for (const auto& [name, call] : calls) {
        try {
            call();
        } catch (const std::exception&) {
            // Each reports the stopped exchange in its own way; what matters is that none went out.
        }
        EXPECT_EQ(server.requestCount(), 0u) << name;
    }
}

TEST(AppDependenciesTest, APresetRefusedToAUtilityCallRefreshesTheRootsCatalog) {
    using Reply = test::StubHttpServer::Reply;
    test::StubHttpServer relay;
    const std::string modelsPath = "/api/v1/customers/me/models";
    const auto catalog =
        Reply::json(200, R"({"models":{"presets":[{"code":"fast","display_name":"Fast",)"
                         R"("is_default":true,"kind":"single",)"
                         R"("model":{"model_id":"m1","model_display_name":"M1"}}]}})");
    relay.script("GET", modelsPath, {catalog, catalog});
    relay.script("POST", "/api/v1/responses",
                 {Reply::json(403, R"({"error":"preset fast is not allowed for this tier"})"),
                  Reply::json(500, "")});
    RootFixture f({.extra = {{"VASK_RELAY_BASE_URL", relay.baseURL().absoluteString()}}});
    f.signIn();
    const auto service = f.root->presetCatalogService();
    service->refresh();
    f.drain();
    ASSERT_TRUE(service->record.get().snapshot);
    const auto fetches = [&] {
        const auto requests = relay.requests();
        return std::count_if(requests.begin(), requests.end(),
                             [&](const auto& request) { return request.path == modelsPath; });
    };
    ASSERT_EQ(fetches(), 1);

    // The utility call goes out on the adopted preset, which the plan refuses.
    f.root->responses().complete({.prompt = "p", .credentials = {std::nullopt, "tok"}});
    EXPECT_FALSE(f.root->presetSelection().current().snapshot);
    f.drain();
    EXPECT_EQ(fetches(), 2) << "the catalog service heard of the stale catalog";
    EXPECT_TRUE(service->record.get().snapshot);
}

TEST(AppDependenciesTest, EveryBillingPanelHearsTheUsageOfBothChats) {
    RootFixture f({.extra = {{"VASK_RLM_HELPER_CMD", "/bin/true"}}});
    std::vector<std::shared_ptr<BillingViewModel>> panels = {f.root->makeBillingViewModel(),
                                                             f.root->makeBillingViewModel()};
    std::vector<int> loads(panels.size(), 0);
    std::vector<Subscription> subscriptions;
    for (std::size_t i = 0; i < panels.size(); ++i) {
        panels[i]->loadBillingInfo();
        f.drain();
        ASSERT_EQ(panels[i]->state.get().kind(), BillingState::Kind::error);
        subscriptions.push_back(panels[i]->state.subscribe(
            [&loads, i](const BillingState& state) {
                loads[i] += state.kind() == BillingState::Kind::loading ? 1 : 0;
            },
            Delivery::changesOnly));
    }
    int expected = 0;
    for (const auto& chat : {f.root->chatViewModel(), f.root->popoverChatViewModel()}) {
        chat->inputText.set("anyone there?");
        chat->send();
        f.drain();
        ASSERT_FALSE(chat->isSending());
        ++expected;
        EXPECT_EQ(loads, std::vector<int>(panels.size(), expected));
    }
}

TEST(AppDependenciesTest, TheFilesTheRootKeepsReportToItsFileProblems) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vask-test-bus", 1);
    const auto problems = std::make_shared<FileProblems>();
    RootFixture f({.extra = {{"VASK_CREDENTIAL_STORE", "file"}},
                   .secrets = nullptr,
                   .fileProblems = problems});
    ASSERT_EQ(&f.root->fileProblems(), problems.get());
    std::vector<FileProblem::Kind> heard;
    problems->setListener([&](const FileProblem& problem) { heard.push_back(problem.kind); });
    const auto support = f.root->supportDirectory();
    std::ofstream(support / "credentials.json") << "{damaged";
    std::filesystem::create_directories(support / "memory.db");

    f.root->secretBackend();
    f.worker.runUntilIdle();
    f.saveAccount("u");
    EXPECT_EQ(f.root->canonicalMemoryStore(), nullptr);
    EXPECT_EQ(heard, (std::vector<FileProblem::Kind>{FileProblem::Kind::credentialsDamaged,
                                                     FileProblem::Kind::memoryUnavailable}));
}

// A clean quit leaves every database checkpointed: every connection the services opened closes,
// though the services themselves live on, and SQLite folds and removes the -wal and -shm files.
TEST(AppDependenciesTest, ClosingTheDatabasesAtQuitLeavesNoWriteAheadLog) {
    RootFixture f({.extra = {{"VASK_RLM_HELPER_CMD", "/bin/true"}}});
    auto& root = *f.root;
    const auto support = root.supportDirectory();
    ASSERT_NE(root.canonicalMemoryStore(), nullptr);
    const auto chat = root.chatViewModel();
    chat->inputText.set("kept across the quit");
    chat->send();
    root.contactsSyncViewModel()->syncNow();
    f.main.runUntilIdle();
    f.worker.runUntilIdle();
    root.shutDown();
    f.main.runUntilIdle();
    f.worker.runUntilIdle();
    {
        // The messages' database, last closed by a reader: its write-ahead log stays behind.
        auto writer =
            SQLiteConnection::open(root.shadowDBPath(), SQLiteSupport::OpenMode::readWriteCreate);
        SQLiteSupport::configureWriter(writer.get(), SQLiteSupport::SynchronousMode::normal, false);
        writer.execute("CREATE TABLE t(x); INSERT INTO t VALUES (1)");
        const auto reader =
            SQLiteConnection::open(root.shadowDBPath(), SQLiteSupport::OpenMode::readOnly);
        reader.execute("SELECT x FROM t");
        writer = SQLiteConnection();
    }
    ASSERT_TRUE(std::filesystem::exists(root.shadowDBPath().string() + "-wal"));
    const auto companions = [&] {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(support)) {
            const auto name = entry.path().filename().string();
            if (name.ends_with("-wal") || name.ends_with("-shm")) {
                names.push_back(name);
            }
        }
        return names;
    };
    ASSERT_FALSE(companions().empty()) << "no database was open before the quit";
    root.closeDatabases();
    EXPECT_EQ(companions(), std::vector<std::string>{});
    const auto stored = SQLiteSessionStore(support / "sessions.db").loadSessions();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].messages[0].text, "kept across the quit");
}

// The access step as the application builds it: "Open Folder" through the desktop's xdg-open,
// whose failure (it started, then exited 3) the step shows in words, with the folder to use.
TEST(AppDependenciesTest, TheApplicationsAccessStepShowsAFolderOpenerThatFailed) {
    test::TempDir dir;
    std::filesystem::create_directories(dir / "bin");
    {
        std::ofstream script(dir / "bin" / "xdg-open");
        script << "#!/bin/sh\nexit 3\n";
    }
    std::filesystem::permissions(dir / "bin" / "xdg-open", std::filesystem::perms::owner_all);
    const auto chatDB = dir / "home" / "Library" / "Messages" / "chat.db";
    test::ScopedEnvironment scoped;
    scoped.set("PATH", (dir / "bin").string() + ":" + std::getenv("PATH"));
    scoped.set("HOME", (dir / "home").string());
    scoped.set("XDG_DATA_HOME", (dir / "data").string());
    scoped.set("XDG_CONFIG_HOME", (dir / "config").string());
    scoped.set("VASK_SUPPORT_DIR", "VaskTest");
    scoped.set("CHAT_DB_PATH", chatDB.string());

    ManualExecutor main;
    ManualExecutor worker;
    test::LogCapture log;
    {
        AppDependencies root(AppDependencies::Context::forProcess(main, worker));
        auto steps = root.makeOnboardingStepsModel({});
        steps->step.set(OnboardingStep::fullDiskAccess);
        steps->primaryAction();
        ASSERT_TRUE(main.runUntil([&] { return log->contains("fda_open_folder_failed"); },
                                  std::chrono::seconds(60)));
        const auto status = steps->accessStatus();
        ASSERT_EQ(status.lines.size(), 2u);
        EXPECT_EQ(status.lines[1].text,
                  "The folder did not open in the file manager (xdg-open exited with status 3). "
                  "Copy chat.db into it by hand.");
        // As the application quits: the root stops, then its workers finish, then it goes.
        root.shutDown();
        while (main.runUntilIdle() + worker.runUntilIdle() > 0) {
        }
    }
}

// Without a tray the first last-window close of a run says how to come back; where nothing can
// say it, Vask quits rather than run on unseen. With a tray nothing happens.
TEST(LastWindowPolicyTest, WithoutATrayTheLastWindowClosingSaysHowToComeBackOrQuits) {
    struct Case {
        const char* name;
        bool hasTray;
        bool shown;
        int tells;
        int quits;
        // A tray that appeared after launch.
        bool trayLater = false;
    };
    const std::vector<Case> cases{
        {"tray", true, true, 0, 0},
        {"no tray, notice shown", false, true, 1, 0},
        {"no tray, no notification server", false, false, 1, 1},
        {"a tray that came later", false, false, 0, 0, true},
    };
    for (const auto& c : cases) {
        int tells = 0;
        int quits = 0;
        LastWindowPolicy policy(c.hasTray, {.tell =
                                                [&](std::function<void(bool)> shown) {
                                                    ++tells;
                                                    shown(c.shown);
                                                },
                                            .quit = [&] { ++quits; }});
        if (c.trayLater) {
            policy.setHasTray(true);
        }
        policy.lastWindowClosed();
        policy.lastWindowClosed();  // told once a run
        EXPECT_EQ(tells, c.tells) << c.name;
        EXPECT_EQ(quits, c.quits) << c.name;
    }
    EXPECT_NE(std::string(LastWindowPolicy::noticeBody).find("run vask again"), std::string::npos);
    EXPECT_NE(std::string(LastWindowPolicy::noticeBody).find("Ctrl+Q"), std::string::npos);
}

// A root of the process's own kind, on the session bus, with `dir` as its home.
std::unique_ptr<AppDependencies> sessionBusRoot(const test::TempDir& dir, UserDefaults& defaults,
                                                MainExecutor& main, Executor& worker,
                                                Scheduler& clock) {
    return std::make_unique<AppDependencies>(AppDependencies::Context{
        .environment = {{"HOME", (dir / "home").string()},
                        {"XDG_DATA_HOME", (dir / "data").string()},
                        {"VASK_SUPPORT_DIR", "VaskTest"}},
        .bundleIdentifier = "ai.vask.tests",
        .defaults = defaults,
        .main = main,
        .worker = worker,
        .scheduler = clock,
    });
}

// A keyring whose unlock waits on its prompt until the test answers it; counts the unlocks asked.
// Locked, it refuses reads until that unlock; silent, it answers none in time.
class PromptingKeyring final : public SecretBackend {
  public:
    ReadResult copyMatching(std::string_view service, std::string_view account) override {
        if (gone.load()) {
            return notAvailable;
        }
        if (silent.load()) {
            return cancelled;
        }
        if (locked.load()) {
            return interactionNotAllowed;
        }
        return items.copyMatching(service, account);
    }
    Outcome update(std::string_view service, std::string_view account,
                   std::string_view data) override {
        return items.update(service, account, data);
    }
    Outcome add(std::string_view service, std::string_view account,
                std::string_view data) override {
        return items.add(service, account, data);
    }
    Outcome remove(std::string_view service, std::string_view account) override {
        return items.remove(service, account);
    }
    Outcome unlock(std::string_view) override {
        ++unlocks;
        answered.wait_for(std::chrono::seconds(10));
        locked = false;
        return success;
    }
    std::string_view kind() const override { return "prompting"; }
    bool mayBlock() const override { return blocks; }
    void askAgain() override { ++askedAgain; }

    InMemorySecretBackend items;
    // As a desktop keyring: never read on the main thread.
    bool blocks = false;
    std::atomic<bool> silent{false};
    std::atomic<bool> locked{false};
    // No keyring on the bus.
    std::atomic<bool> gone{false};
    std::atomic<int> unlocks{0};
    std::atomic<int> askedAgain{0};
    std::promise<void> answer;
    std::shared_future<void> answered = answer.get_future().share();
};

// "Unlock Keyring" pressed again and again while the keyring's prompt stays open asks one unlock,
// which holds no worker: a sign-out meanwhile is answered. Every press hears the one answer.
TEST(AppDependenciesTest, OneUnlockAtATimeHoldsNoWorker) {
    auto keyring = std::make_shared<PromptingKeyring>();
    RootFixture f({.secrets = keyring});
    f.signIn();
    int answers = 0;
    for (int press = 0; press < 10; ++press) {
        f.root->unlockKeyring([&](const std::optional<std::string>& failure) {
            EXPECT_EQ(failure, std::nullopt);
            ++answers;
        });
    }
    ASSERT_TRUE(test::eventually([&] { return keyring->unlocks.load() == 1; }));
    bool signedOut = false;
    f.root->sharedGoogleSignInViewModel()->signOut([&] { signedOut = true; });
    f.drain();
    EXPECT_TRUE(signedOut) << "the sign-out is answered while the prompt is open";
    EXPECT_EQ(answers, 0);

    keyring->answer.set_value();
    ASSERT_TRUE(f.main.runUntil([&] { return answers == 10; }));
    EXPECT_EQ(keyring->unlocks.load(), 1);
    EXPECT_TRUE(f.root->authMode().isNone());
}

// "Unlock Keyring" pressed in one chat while the other's "Try Again" asks the keyring again
// (which opens no prompt) is not folded into that question: its unlock follows it. Each asks a
// keyring that did not answer once more, however recently it was tried.
TEST(AppDependenciesTest, AnUnlockPressedWhileTheKeyringIsAskedAgainStillUnlocks) {
    auto keyring = std::make_shared<PromptingKeyring>();
    keyring->answer.set_value();
    RootFixture f({.secrets = keyring});
    f.signIn();
    bool askedAgain = false;
    bool unlocked = false;
    f.root->askKeyringAgain([&] { askedAgain = true; });
    f.root->unlockKeyring([&](const std::optional<std::string>& failure) {
        EXPECT_EQ(failure, std::nullopt);
        unlocked = true;
    });
    ASSERT_TRUE(f.main.runUntil([&] { return askedAgain && unlocked; }));
    EXPECT_EQ(keyring->unlocks.load(), 1);
    EXPECT_EQ(keyring->askedAgain.load(), 2) << "each asks the keyring once more, at once";
}

// Signed in behind a keyring locked at start, as at the next start of a desktop that logs in by
// itself, with both chats; the relay refuses the plan look-up of a first question signed in at
// once.
class KeyringLockedAtStartTest : public ::testing::Test {
  protected:
    KeyringLockedAtStartTest() {
        f.signIn();
        keyring->locked = true;
        f.restart();
        mainChat = f.root->chatViewModel();
        popover = f.root->popoverChatViewModel();
        f.drain();
    }

    test::LogCapture log;
    std::shared_ptr<PromptingKeyring> keyring = std::make_shared<PromptingKeyring>();
    test::StubHttpServer relay;
    RootFixture f{{.extra = {{"VASK_RLM_HELPER_CMD", "/bin/true"},
                             {"VASK_RELAY_BASE_URL", relay.baseURL().absoluteString()},
                             {"VASK_CLOUD_BASE_URL", relay.baseURL().absoluteString()}},
                   .secrets = keyring}};
    std::shared_ptr<ChatViewModel> mainChat;
    std::shared_ptr<ChatViewModel> popover;
};

// The user presses Unlock in one chat and, with the prompt still open (or its answer not yet in),
// asks in the other: that question says it waits for the unlock (never "locked"), opens no second
// prompt, and goes out signed in once the unlock answers, as does the question stopped before.
TEST_F(KeyringLockedAtStartTest, AQuestionAskedWhileTheKeyringUnlocksGoesOutSignedIn) {
    mainChat->inputText.set("where?");
    mainChat->send();
    f.drain();
    const auto* stopped = mainChat->state.get().asFailed();
    ASSERT_NE(stopped, nullptr);
    ASSERT_EQ(stopped->error, ChatViewModel::keyringLockedText);

    mainChat->unlockKeyring();
    ASSERT_TRUE(test::eventually([&] { return keyring->unlocks.load() == 1; }));
    EXPECT_TRUE(f.root->keyringUnlockUnderWay());
    popover->inputText.set("and now?");
    popover->send();
    f.drain();
    const auto* waiting = popover->state.get().asFailed();
    ASSERT_NE(waiting, nullptr);
    EXPECT_EQ(waiting->error, ChatViewModel::keyringUnlockingText);
    EXPECT_TRUE(popover->askingKeyring.get());

    const auto signedIn = [&] { return test::questionsSentSignedIn(log); };
    EXPECT_EQ(signedIn(), 0);
    keyring->answer.set_value();
    ASSERT_TRUE(f.main.runUntil([&] {
        f.worker.runUntilIdle();
        return signedIn() == 2;
    })) << signedIn()
        << " questions went out signed in";
    f.drain();
    EXPECT_EQ(keyring->unlocks.load(), 1);
    EXPECT_FALSE(f.root->keyringUnlockUnderWay());
    for (const auto& chat : {mainChat, popover}) {
        EXPECT_FALSE(chat->askingKeyring.get());
        EXPECT_EQ(chat->transcript().size(), 1u) << "the question is asked once, in its place";
    }
}

// A question the popover holds for the unlock, whose chat the user leaves for a new one before
// typing the password: the chat is kept by the main window, where the question is asked (and
// saved) once the keyring answers, never dropped without a word.
TEST_F(KeyringLockedAtStartTest, AQuestionHeldInAChatThePopoverLeavesIsAskedWhereItsChatIsKept) {
    popover->inputText.set("and now?");
    popover->send();
    f.drain();
    const std::string left = popover->currentSessionID.get();
    popover->unlockKeyring();
    ASSERT_TRUE(test::eventually([&] { return keyring->unlocks.load() == 1; }));
    popover->startNewSession();
    f.drain();
    EXPECT_NE(popover->currentSessionID.get(), left);

    keyring->answer.set_value();
    const auto asked = [&] { return test::questionsSentSignedIn(log); };
    ASSERT_TRUE(f.main.runUntil([&] {
        f.worker.runUntilIdle();
        return asked() == 1;
    })) << "the question was dropped";
    f.drain();
    EXPECT_TRUE(log->events("held_question_dropped").empty());
    const auto sessions = mainChat->savedSessions();
    EXPECT_TRUE(std::any_of(sessions.begin(), sessions.end(), [&](const auto& session) {
        return session->id == left;
    })) << "its chat is kept where the question was asked";
}

// The bus's word of the keyring's coming and going, told by the test.
struct KeyringPresence {
    std::function<Subscription(std::function<void(bool)>)> watch() {
        return [this](std::function<void(bool)> changed) {
            listener = std::move(changed);
            return Subscription([this] { listener = nullptr; });
        };
    }
    void tell(bool present) const {
        if (listener) {
            listener(present);
        }
    }
    std::function<void(bool)> listener;
};

// Both chats' keyring notices follow the keyring back when it answers, whoever unlocked it:
// another view's Unlock (Settings'), an unlock outside Vask (seen when the keyring is asked
// again, which the root does by itself while the mode is held back), a hang that ends, or a
// keyring that was not on the bus taking its name (asked at once, never by the clock).
TEST(AppDependenciesTest, EveryChatFollowsTheKeyringBack) {
    using Answer = std::function<void(RootFixture&, PromptingKeyring&, KeyringPresence&)>;
    struct Case {
        const char* name;
        bool silent;
        Answer answer;
        bool gone = false;
    };
    const Case cases[] = {
        {"unlocked through another view", false,
         [](RootFixture& f, PromptingKeyring& keyring, KeyringPresence&) {
             keyring.answer.set_value();
             f.root->unlockKeyring([](const std::optional<std::string>&) {});
         }},
        {"unlocked outside Vask", false,
         [](RootFixture& f, PromptingKeyring& keyring, KeyringPresence&) {
             keyring.locked = false;
             f.clock.advance(AppDependencies::keyringFollowFirst);
         }},
        {"a hang that ends", true,
         [](RootFixture& f, PromptingKeyring& keyring, KeyringPresence&) {
             keyring.silent = false;
             f.clock.advance(AppDependencies::keyringFollowFirst);
         }},
        {"a keyring that appears", true,
         [](RootFixture&, PromptingKeyring& keyring, KeyringPresence& presence) {
             keyring.gone = false;
             presence.tell(true);
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto keyring = std::make_shared<PromptingKeyring>();
        keyring->blocks = true;
        KeyringPresence presence;
        RootFixture f({.secrets = keyring, .watchKeyring = presence.watch()});
        f.signIn();
        keyring->locked = !c.silent;
        keyring->silent = c.silent && !c.gone;
        keyring->gone = c.gone;
        f.restart();
        const auto chats = {f.root->chatViewModel(), f.root->popoverChatViewModel()};
        const auto heldBack = [&] {
            return std::any_of(chats.begin(), chats.end(), [&](const auto& chat) {
                return c.silent ? chat->keyringNotAnswering.get() : chat->keyringLocked.get();
            });
        };
        ASSERT_TRUE(f.main.runUntil([&] {
            f.worker.runUntilIdle();
            return heldBack();
        }));
        f.drain();
        for (const auto& chat : chats) {
            EXPECT_TRUE(chat->hasCredentials.get()) << "held back, never signed out";
        }

        if (c.gone) {
            f.clock.advance(AppDependencies::keyringFollowLongest);
            f.drain();
            EXPECT_EQ(keyring->askedAgain.load(), 0) << "nothing is asked by the clock";
        }
        c.answer(f, *keyring, presence);
        ASSERT_TRUE(f.main.runUntil([&] {
            f.worker.runUntilIdle();
            return std::none_of(chats.begin(), chats.end(), [](const auto& chat) {
                return chat->keyringLocked.get() || chat->keyringNotAnswering.get();
            });
        })) << "a notice stayed";
        EXPECT_NE(f.root->authMode().asManaged(), nullptr);
        for (const auto& chat : chats) {
            EXPECT_TRUE(chat->hasCredentials.get());
        }
    }
}

// A question each chat asked while the keyring held the account back, with no unlock of Vask's
// under way, is refused with the keyring's words; once the keyring is back (unlocked outside
// Vask, a hang that ends, a keyring that appears) each is asked, signed in, in its own chat, and
// no row is left saying the keyring holds it back.
TEST(AppDependenciesTest, AQuestionRefusedInEitherChatIsAskedOnceTheKeyringIsBack) {
    enum class Held { locked, silent, gone };
    struct Case {
        const char* name;
        Held held;
        std::string_view refusal;
    };
    const Case cases[] = {
        {"unlocked outside Vask", Held::locked, ChatViewModel::keyringLockedText},
        {"a hang that ends", Held::silent, ChatViewModel::keyringNotAnsweringText},
        {"a keyring that appears", Held::gone, ChatViewModel::keyringNotAvailableText},
    };
    test::StubHttpServer relay;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::LogCapture log;
        auto keyring = std::make_shared<PromptingKeyring>();
        keyring->blocks = true;
        KeyringPresence presence;
        RootFixture f({.extra = {{"VASK_RLM_HELPER_CMD", "/bin/true"},
                                 {"VASK_RELAY_BASE_URL", relay.baseURL().absoluteString()},
                                 {"VASK_CLOUD_BASE_URL", relay.baseURL().absoluteString()}},
                       .secrets = keyring,
                       .watchKeyring = presence.watch()});
        f.signIn();
        keyring->locked = c.held == Held::locked;
        keyring->silent = c.held == Held::silent;
        keyring->gone = c.held == Held::gone;
        f.restart();
        const std::vector<std::shared_ptr<ChatViewModel>> chats = {
            f.root->chatViewModel(), f.root->popoverChatViewModel()};
        ASSERT_TRUE(f.main.runUntil([&] {
            f.worker.runUntilIdle();
            return std::all_of(chats.begin(), chats.end(), [](const auto& chat) {
                return chat->keyringLocked.get() || chat->keyringNotAnswering.get();
            });
        }));
        f.drain();
        for (const auto& chat : chats) {
            chat->inputText.set("where?");
            chat->send();
        }
        f.drain();
        for (const auto& chat : chats) {
            const auto* refused = chat->state.get().asFailed();
            ASSERT_NE(refused, nullptr);
            EXPECT_EQ(refused->error, c.refusal);
        }
        const auto signedIn = [&] { return test::questionsSentSignedIn(log); };
        EXPECT_EQ(signedIn(), 0);

        keyring->locked = false;
        keyring->silent = false;
        keyring->gone = false;
        if (c.held == Held::gone) {
            presence.tell(true);
        } else {
            f.clock.advance(AppDependencies::keyringFollowFirst);
        }
        ASSERT_TRUE(f.main.runUntil([&] {
            f.worker.runUntilIdle();
            return signedIn() == 2;
        })) << signedIn() << " questions went out signed in";
        f.drain();
        for (const auto& chat : chats) {
            EXPECT_FALSE(chat->keyringLocked.get() || chat->keyringNotAnswering.get());
            EXPECT_EQ(chat->transcript().size(), 1u) << "asked once, in its own chat";
            for (const auto& message : chat->transcript()) {
                const auto* ended = chat->endedTurn(message.id);
                const auto* failed = ended != nullptr ? ended->asFailed() : nullptr;
                EXPECT_TRUE(failed == nullptr ||
                            ChatViewModel::heldText(failed->credentials).empty())
                    << failed->error;
            }
        }
    }
}

// A start on a desktop whose keyring owns its name and never answers: the question of the
// credentials is answered within the keyring's limit as a keyring that does not answer (never as
// signed out), and a sign-out within one call's limit, noted for the next start. Signed out of
// after that mode is due to be asked again, the re-ask's connection (asked for by the main thread,
// and by the sign-in view model made then) waits out its limit, and the sign-out neither waits for
// it nor connects itself: it ends before that connection is given up.
TEST(AppDependenciesSecretServiceTest, AKeyringThatHangsAtStartIsItsOwnState) {
    for (const bool afterTheHold : {false, true}) {
        SCOPED_TRACE(afterTheHold ? "signed out after the hold" : "signed out at once");
        test::SilentDBusService keyring("org.freedesktop.secrets");
        ASSERT_TRUE(keyring.owned());
        test::TempDir dir;
        InMemoryDefaults defaults;
        ManualExecutor main;
        test::FakeClock clock;
        auto worker = std::make_unique<WorkerPool>(4);
        auto root = sessionBusRoot(dir, defaults, main, *worker, clock);
        bool known = false;
        root->whenAuthModeKnown([&] { known = true; });
        ASSERT_TRUE(main.runUntil([&] { return known; }));
        EXPECT_TRUE(root->authMode().isKeyringNotAnswering());
        EXPECT_EQ(root->secretBackend()->kind(), "secret_service");

        test::LogCapture log;
        const auto givenUp = [&] {
            return log->mentions("secret_service_call_given_up operation=connect");
        };
        if (afterTheHold) {
            // Past the 2 s a mode held back by the keyring is kept (the root's clock is the
            // system's).
            std::this_thread::sleep_for(std::chrono::milliseconds(2200));
            const int before = keyring.calls();
            EXPECT_TRUE(root->authMode().isKeyringNotAnswering()) << "answers at once, asks again";
            root->sharedGoogleSignInViewModel();
            ASSERT_TRUE(test::eventually([&] { return keyring.calls() > before; }))
                << "the keyring is being asked again";
        }
        bool signedOut = false;
        const auto signIn = root->sharedGoogleSignInViewModel();
        signIn->signOut([&] { signedOut = true; });
        ASSERT_TRUE(main.runUntil([&] { return signedOut; }));
        EXPECT_FALSE(afterTheHold && givenUp())
            << "signed out while the keyring was still being asked again";
        EXPECT_EQ(signIn->state.get(), GoogleSignInState::idle());
        EXPECT_TRUE(root->authMode().isNone());
        EXPECT_EQ(FileSecretBackend(dir / "data" / "VaskTest" / "credentials-removed.json")
                      .keys()
                      .value_or(std::vector<FileSecretBackend::Key>{})
                      .size(),
                  4u)
            << "every item's removal is noted for the next start";
        if (afterTheHold) {
            // The re-ask ends at its limit; the sign-out's mode stands.
            ASSERT_TRUE(main.runUntil(givenUp));
        }
        worker.reset();
        main.runUntilIdle();
        EXPECT_TRUE(root->authMode().isNone());
    }
}

// A start on a desktop whose keyring owns its name and never answers: the main executor never
// waits on it. What a launch asks of the root on the main thread answers at once, a sign-out
// returns at once, and each reports once the keyring is given up (as at quit, or after its
// limit) and the record beside it holds the run's changes.
TEST(AppDependenciesSecretServiceTest, ASilentKeyringNeverHoldsTheMainThread) {
    test::SilentDBusService keyring("org.freedesktop.secrets");
    ASSERT_TRUE(keyring.owned());
    test::TempDir dir;
    const auto support = dir / "data" / "VaskTest";
    std::filesystem::create_directories(support);
    {
        FileSecretBackend file(support / "credentials.json");
        ASSERT_EQ(file.add("ai.vask.tests", "corvane.customer.token", "tok"),
                  SecretBackend::success);
        ASSERT_EQ(file.add("ai.vask.tests", "corvane.customer.email", "ada@example.com"),
                  SecretBackend::success);
        ASSERT_EQ(file.add("ai.vask.tests", "cloud.auth.session",
                           CloudAuthSession{"acc", "ref", *parseISO8601("2030-01-01T00:00:00Z"),
                                            "user-1", "ada@example.com"}
                               .encoded()),
                  SecretBackend::success);
    }
    InMemoryDefaults defaults;
    ManualExecutor main;
    test::FakeClock clock;
    auto worker = std::make_unique<WorkerPool>(4);
    auto root = sessionBusRoot(dir, defaults, main, *worker, clock);

    bool known = false;
    root->whenAuthModeKnown([&] { known = true; });
    EXPECT_TRUE(root->authMode().isNone()) << "nothing known yet, and nothing waited for";
    const auto signIn = root->sharedGoogleSignInViewModel();
    bool signedOut = false;
    signIn->signOut([&] { signedOut = true; });
    ASSERT_TRUE(test::eventually([&] { return keyring.calls() > 0; }));
    main.runUntilIdle();
    EXPECT_EQ(root->secretBackend()->kind(), "unresolved");
    EXPECT_FALSE(known);
    EXPECT_FALSE(signedOut);

    LibsecretBackend::abandonCalls();
    ASSERT_TRUE(main.runUntil([&] { return known && signedOut; }));
    EXPECT_EQ(root->secretBackend()->kind(), "secret_service") << "with the record beside it";
    EXPECT_EQ(signIn->state.get(), GoogleSignInState::idle());
    EXPECT_TRUE(root->authMode().isNone());
    EXPECT_FALSE(FileSecretBackend(support / "credentials.json").holdsItems())
        << "the sign-out reached the file";
    worker.reset();
    main.runUntilIdle();
}

}  // namespace
}  // namespace vask
