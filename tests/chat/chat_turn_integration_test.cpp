// Whole turns of the chat over the stand-in helper, a sample Messages history synchronised into
// a shadow database, and a stub relay service.
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "chat/title_completion.h"
#include "chat_fixture.h"
#include "engine/helper_resources.h"
#include "platform/http_client.h"
#include "platform/worker_pool.h"
#include "records/citation_service.h"
#include "records/shadow_citation_reader.h"
#include "records/sqlite_session_store.h"
#include "relay/billing_view_model.h"
#include "relay/preset_selection.h"
#include "sample-chatdb/sample_chat_db.h"
#include "sources/contacts_store.h"
#include "store/shadow_sync.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"
#include "support/fake_history_index.h"
#include "support/stub_http_server.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Reply = test::StubHttpServer::Reply;
using namespace std::chrono_literals;

const json readRequest = {{"read_stdin", "all"}};

// A killed process that nobody has reaped yet counts as gone.
bool processAlive(pid_t pid) {
    if (::kill(pid, 0) != 0) {
        return false;
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return !(close != std::string::npos && line.size() > close + 2 && line[close + 2] == 'Z');
}

json progress(const std::string& status) {
    return {{"event", {{"type", "progress"}, {"status", status}}}};
}

json relayError(int status, const std::string& message) {
    return {{"respond",
             {{"error", {{"type", "RelayError"}, {"message", message}, {"status", status}}}}}};
}

class CountingPersonaHost : public PersonaContextHost {
  public:
    explicit CountingPersonaHost(std::atomic<int>& cancelled) : cancelled_(cancelled) {}
    const std::string& endpoint() const override { return endpoint_; }
    const std::string& token() const override { return token_; }
    void cancel() override { ++cancelled_; }

  private:
    std::atomic<int>& cancelled_;
    std::string endpoint_ = "http://127.0.0.1:45679";
    std::string token_ = "persona-token";
};

class ChatTurnIntegrationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::makeHelperResources(dir.path());
        fs::create_directories(dir / "record");
        fs::create_directories(dir / "data");
        sample::buildSampleChatDB(dir / "chat.db", {400, 8, 7});
        ShadowSync(dir / "chat.db", dir / "data" / "shadow.db").performSync();
        ContactsStore(dir / "data" / "contacts.db").createSchemaIfNeeded();
        relay.script("POST", "/api/v1/responses",
                     {Reply::json(200, R"({"output":[{"type":"message","role":"assistant",)"
                                       R"("content":[{"type":"text","text":"Dinner plans"}]}]})")});
    }
    void TearDown() override { ::unsetenv("TMPDIR"); }

    void attempts(json list) {
        std::ofstream(dir / "scenario.json") << json{
            {"record_dir", (dir / "record").string()},
            {"attempts", std::move(list)}}.dump();
    }

    AuthMode currentMode() {
        std::lock_guard lock(modeMutex);
        return mode;
    }

    // The engine's runner over the scripted helper.
    EngineChatHelperRunner::Settings helperSettings() const {
        EngineChatHelperRunner::Settings settings;
        settings.runner.relayServiceHost = "127.0.0.1";
        settings.runner.bundleResourceDirectory = dir / "resources";
        const std::string scenario = (dir / "scenario.json").string();
        settings.runner.launchEnvironment = [scenario] {
            auto env = processEnvironment();
            env["VASK_TEST_RLM_SCENARIO"] = scenario;
            return env;
        };
        settings.attempt.loadConfig = [] { return std::optional<AppConfig>(); };
        return settings;
    }

    std::shared_ptr<ChatViewModel> makeModel() {
        auto settings = helperSettings();

        ChatViewModel::Dependencies deps{.main = main,
                                         .worker = worker,
                                         .defaults = defaults,
                                         .presets = presets,
                                         .usageChanged = [this] { ++usageChanges; }};
        deps.shadowDBPath = (dir / "data" / "shadow.db").string();
        deps.historyIndex = historyIndex;
        deps.supportDirectory = [this] { return dir / "data"; };
        deps.memoryPrincipalProvider = [] { return MemoryPrincipal::make("local"); };
        deps.memoryCommitter = std::make_shared<test::FakeChatMemoryCommitter>();
        deps.authModeProvider = [this] { return currentMode(); };
        deps.sessionStore = std::make_shared<SQLiteSessionStore>(dir / "data" / "sessions.db");
        deps.persistsSessions = true;
        deps.helperRunnerFactory = EngineChatHelperRunner::factory({}, settings);
        deps.personaContextHostFactory = [this](const std::string&) {
            ++personaStarted;
            return std::make_unique<CountingPersonaHost>(personaCancelled);
        };
        deps.resolveCitations = [this](const std::vector<RLMEvidence>& evidence) {
            return citations.resolve(evidence);
        };
        deps.completeTitle = titleCompletionThrough(responses);
        deps.refreshForRetry = [this](const std::optional<std::string>&) {
            ++refreshes;
            std::lock_guard lock(modeMutex);
            mode = AuthMode::managed("refreshed-token", "access");
            return refreshSucceeds;
        };
        deps.billingService = &billing;
        deps.tierSnapshotRefreshed = std::make_shared<bool>(true);
        auto model = ChatViewModel::make(std::move(deps));
        main.runUntil([&model] { return !model->loadingSessions.get(); });
        return model;
    }

    // Sends `question` and waits until the turn has ended and its late results have arrived.
    void ask(ChatViewModel& model, const std::string& question, const std::function<bool()>& done) {
        model.inputText.set(question);
        model.send();
        ASSERT_TRUE(main.runUntil(done, 60s));
    }

    // Drains the main executor until `done` holds; for conditions that no posted task signals.
    bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 60s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            main.runUntilIdle();
            if (done()) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return done();
    }

    int helperRuns() const {
        int runs = 0;
        while (fs::exists(dir / "record" / std::to_string(runs + 1))) {
            ++runs;
        }
        return runs;
    }

    bool nothingLeftBehind() const {
        const auto sandbox = dir / "data" / ".vask-rlm-sandbox";
        return (!fs::exists(sandbox) || fs::is_empty(sandbox)) &&
               personaStarted == personaCancelled && fs::is_empty(dir / "tmp") &&
               (!fs::exists(dir / "cache" / "vask-relay-cache") ||
                fs::is_empty(dir / "cache" / "vask-relay-cache"));
    }

    test::TempDir dir;
    test::LogCapture logs;
    ManualExecutor main;
    WorkerPool worker{3};
    InMemoryDefaults defaults;
    PresetSelection presets{defaults};
    test::StubHttpServer relay;
    test::FakeClock clock;
    HttpClient http;
    CorvaneResponses responses{
        http, relay.baseURL(), presets,
        [](const std::optional<std::string>&) { return std::optional<RouteCredentials>(); }};
    CorvaneBillingService billing{http, relay.baseURL(), clock};
    CitationService citations{std::make_shared<ShadowCitationReader>(),
                              [this] { return dir / "data"; }};
    std::mutex modeMutex;
    AuthMode mode = AuthMode::managed("customer-token", "access");
    bool refreshSucceeds = true;
    std::atomic<int> refreshes{0};
    std::atomic<int> personaStarted{0};
    std::atomic<int> personaCancelled{0};
    int usageChanges = 0;
    std::shared_ptr<HistoryIndex> historyIndex;
};

// Holds the shadow database as a connection in exclusive locking mode does (SQLite's own lock,
// which keeps every reader out until it is let go): what a run's last connection does while it
// folds its log in at its close.
class LockedShadow {
  public:
    explicit LockedShadow(const fs::path& shadow)
        : connection_(SQLiteConnection::open(shadow, SQLiteSupport::OpenMode::readWriteCreate)) {
        connection_.execute("PRAGMA locking_mode = EXCLUSIVE");
        connection_.execute("BEGIN EXCLUSIVE");
        SQLiteStatement(connection_.get(), "SELECT count(*) FROM messages").step();
    }
    ~LockedShadow() { sqlite3_exec(connection_.get(), "COMMIT", nullptr, nullptr, nullptr); }
    LockedShadow(const LockedShadow&) = delete;
    LockedShadow& operator=(const LockedShadow&) = delete;

  private:
    SQLiteConnection connection_;
};

// The line arrives on the attempt's own thread, as the turn's other progress does not: asked of
// the runner directly, it comes in order, before the persona endpoint starts.
TEST_F(ChatTurnIntegrationTest, TheRunnerSaysItIsThinkingOnceTheDatabasesAreStaged) {
    attempts(
        {{readRequest, progress("Executing sub-query"), {{"answer_from_staged", json::object()}}}});
    std::mutex linesMutex;
    std::vector<std::string> lines;
    std::optional<std::vector<std::string>> linesAtPersonaStart;
    const PersonaContextHostFactory persona = [&](const std::string&) {
        std::lock_guard lock(linesMutex);
        linesAtPersonaStart = lines;
        return std::make_unique<CountingPersonaHost>(personaCancelled);
    };
    const auto runner = EngineChatHelperRunner::factory({}, helperSettings())(persona);
    RLMTurnAttempt::TurnInputs inputs;
    inputs.credentials = {std::nullopt, std::string("customer-token")};
    inputs.question = "dinner";
    inputs.dbPath = (dir / "data" / "shadow.db").string();
    RLMTurnAttempt::RunCallbacks callbacks;
    callbacks.onProgress = [&](const std::string& line) {
        std::lock_guard lock(linesMutex);
        lines.push_back(line);
    };
    RLMUsageAccumulator usage;
    runner->runTurn(std::move(inputs), {}, usage, callbacks, {});
    ASSERT_TRUE(linesAtPersonaStart);
    EXPECT_EQ(*linesAtPersonaStart, std::vector<std::string>{"Thinking\u2026"});
    EXPECT_EQ(lines.front(), "Thinking\u2026");
}

TEST_F(ChatTurnIntegrationTest, QuestionBecomesASavedAnswerCitingTheSample) {
    attempts({{readRequest,
               {{"record", true}},
               progress("Executing sub-query"),
               {{"sleep_ms", 50}},
               {{"answer_from_staged", json::object()}}}});
    auto model = makeModel();
    std::vector<std::string> progressLines;
    bool sawIdleAfterSending = false;
    auto subscription = model->state.subscribe([&](const ChatState& state) {
        if (const auto* sending = state.asSending(); sending && sending->progress) {
            if (progressLines.empty() || progressLines.back() != *sending->progress) {
                progressLines.push_back(*sending->progress);
            }
        } else if (state.isIdle() && !progressLines.empty()) {
            sawIdleAfterSending = true;
        }
    });

    ask(*model, "dinner tomorrow", [&] {
        const auto messages = model->transcript();
        return messages.size() == 2 && messages[1].sources &&
               model->currentTitle() == "Dinner plans";
    });
    // The worker's progress reaches the main executor in batches, the latest line of a batch
    // winning, so a loaded machine may show fewer of the middle lines: never another line, never
    // out of order, and always the first and the last.
    const std::vector<std::string> inOrder = {"Preparing...", "Preparing\u2026", "Thinking\u2026",
                                              "Searching your messages\u2026"};
    auto next = inOrder.begin();
    for (const auto& line : progressLines) {
        next = std::find(next, inOrder.end(), line);
        ASSERT_NE(next, inOrder.end()) << "unexpected or out of order: " << line;
    }
    ASSERT_FALSE(progressLines.empty());
    EXPECT_EQ(progressLines.front(), inOrder.front());
    EXPECT_EQ(progressLines.back(), inOrder.back());
    EXPECT_TRUE(sawIdleAfterSending);

    const auto answer = model->transcript()[1];
    EXPECT_TRUE(answer.text.starts_with("Found ")) << answer.text;
    ASSERT_TRUE(answer.sources.has_value());
    ASSERT_FALSE(answer.sources->empty());
    // Every quoted message is one of the sample's.
    auto shadow =
        SQLiteConnection::open(dir / "data" / "shadow.db", SQLiteSupport::OpenMode::readOnly);
    for (const auto& source : *answer.sources) {
        const auto* conversation = std::get_if<ConversationSource>(&source.payload);
        ASSERT_NE(conversation, nullptr);
        for (const auto& quoted : conversation->messages) {
            SQLiteStatement find(shadow.get(), "SELECT text FROM messages WHERE guid = ?");
            find.bind(1, quoted.guid);
            ASSERT_TRUE(find.step()) << quoted.guid;
            EXPECT_EQ(find.columnText(0), quoted.text);
        }
    }

    model->flushPendingSaves();
    const auto saved = SQLiteSessionStore(dir / "data" / "sessions.db").loadSessions();
    ASSERT_EQ(saved.size(), 1u);
    ASSERT_EQ(saved[0].messages.size(), 2u);
    EXPECT_TRUE(saved[0].messages[1].sources.has_value());
    EXPECT_EQ(usageChanges, 1);
    EXPECT_EQ(helperRuns(), 1);
    EXPECT_TRUE(nothingLeftBehind());
}

TEST_F(ChatTurnIntegrationTest, ExpiredSessionIsRetriedOnceAfterARefresh) {
    struct Case {
        const char* name;
        json secondAttempt;
        std::optional<std::string> failure;
    };
    const std::vector<Case> cases = {
        {"refresh helps",
         {readRequest, {{"record", true}}, {{"answer_from_staged", json::object()}}},
         std::nullopt},
        {"still expired",
         {readRequest, {{"record", true}}, relayError(401, "expired")},
         "Your session expired. Please sign in again."},
    };
    for (const auto& c : cases) {
        fs::remove_all(dir / "record");
        fs::create_directories(dir / "record");
        {
            std::lock_guard lock(modeMutex);
            mode = AuthMode::managed("customer-token", "access");
        }
        attempts({{readRequest, {{"record", true}}, relayError(401, "expired")}, c.secondAttempt});
        auto model = makeModel();
        ask(*model, "dinner tomorrow", [&] {
            return !model->isSending() && (c.failure || model->currentTitle() == "Dinner plans");
        });
        EXPECT_EQ(helperRuns(), 2) << c.name;
        if (c.failure) {
            ASSERT_NE(model->state.get().asFailed(), nullptr) << c.name;
            EXPECT_EQ(model->state.get().asFailed()->error, *c.failure) << c.name;
        } else {
            const auto second = json::parse(std::ifstream(dir / "record" / "2" / "request"));
            EXPECT_EQ(second.at("customer_token"), "refreshed-token") << c.name;
            // The title is asked for with the refreshed account too.
            const auto titleCall = relay.requests().back();
            EXPECT_EQ(titleCall.header("Authorization"), "Bearer refreshed-token") << c.name;
        }
        EXPECT_TRUE(logs->contains("chat_auth_refreshed_retry")) << c.name;
        EXPECT_TRUE(nothingLeftBehind()) << c.name;
    }
}

TEST_F(ChatTurnIntegrationTest, UsageLimitCardIsDismissedWhenCapacityReturns) {
    relay.script(
        "GET", "/api/v1/customers/me/subscription",
        {Reply::json(200, R"({"subscription":{"tier_code":"pro","tier_display_name":"Pro"}})")});
    relay.script("GET", "/api/v1/customers/me/usage",
                 {Reply::json(200, R"({"usage":{"requests":1,"tokens":1,"total_cost_microcents":1,)"
                                   R"("spend_remaining_microcents":0}})"),
                  Reply::json(200, R"({"usage":{"requests":1,"tokens":1,"total_cost_microcents":1,)"
                                   R"("spend_remaining_microcents":0}})"),
                  Reply::json(200, R"({"usage":{"requests":1,"tokens":1,"total_cost_microcents":1,)"
                                   R"("spend_remaining_microcents":500}})")});
    attempts({{readRequest, relayError(402, "limit reached")}});
    auto model = makeModel();
    ask(*model, "dinner tomorrow", [&] {
        const auto* limit = model->state.get().asUsageLimitReached();
        return limit && limit->tierCode == "pro";
    });
    EXPECT_EQ(model->usageLimit(), AuthType::customerToken);

    for (const bool capacity : {false, true}) {
        bool done = false;
        model->recheckUsageAfterReturn([&] { done = true; });
        ASSERT_TRUE(main.runUntil([&] { return done; }, 30s));
        EXPECT_EQ(model->usageLimit().has_value(), !capacity);
    }
    EXPECT_TRUE(logs->contains("usage_capacity_restored_upsell_dismissed"));
    EXPECT_TRUE(nothingLeftBehind());
}

TEST_F(ChatTurnIntegrationTest, TierRefusalResetsThePreset) {
    presets.adopt(ModelPresetCatalog{{ModelPreset{
        "deep", "Deep", "", false, PresetExecution::single(PresetModelRef{"model-d", "D"})}}});
    ASSERT_TRUE(presets.select("deep"));
    attempts({{readRequest, relayError(403, "preset deep is not allowed for this tier")}});
    auto model = makeModel();
    ask(*model, "dinner tomorrow", [&] { return model->state.get().asFailed() != nullptr; });
    EXPECT_TRUE(model->state.get().asFailed()->error.ends_with(
        " \u2014 Response quality was reset to your plan's default; please ask again."));
    EXPECT_EQ(presets.current().selectedCode, std::nullopt);
    EXPECT_TRUE(nothingLeftBehind());
}

TEST_F(ChatTurnIntegrationTest, NoHelperProcessOrStagedFolderOutlivesATurn) {
    const auto pidFile = dir / "grandchild.pid";
    struct Case {
        const char* name;
        json steps;
        bool releaseModel;
    };
    const std::vector<Case> cases = {
        {"answered", {readRequest, {{"answer_from_staged", json::object()}}}, false},
        {"crashed", {readRequest, {{"stderr", "boom"}}, {{"exit", 3}}}, false},
        {"released mid-turn",
         {readRequest, {{"spawn_grandchild", pidFile.string()}}, {{"hang", true}}},
         true},
    };
    for (const auto& c : cases) {
        fs::remove(pidFile);
        attempts({c.steps});
        auto model = makeModel();
        model->inputText.set("dinner tomorrow");
        model->send();
        if (c.releaseModel) {
            ASSERT_TRUE(eventually([&] { return fs::exists(pidFile); }, 30s)) << c.name;
            model.reset();
            // The worker returns once the helper's whole process group is gone.
            ASSERT_TRUE(eventually([&] { return personaStarted == personaCancelled; }, 30s))
                << c.name;
            std::ifstream in(pidFile);
            pid_t grandchild = 0;
            in >> grandchild;
            ASSERT_GT(grandchild, 0);
            EXPECT_TRUE(eventually([&] { return !processAlive(grandchild); })) << c.name;
        } else {
            ASSERT_TRUE(main.runUntil([&] { return !model->isSending(); }, 30s)) << c.name;
        }
        ASSERT_TRUE(eventually([&] { return nothingLeftBehind(); })) << c.name;
    }
}

// The helper starts as a question's wait for the history index ends, which is when the
// synchronisation's last connection may still hold the shadow database (folding its log in, for
// longer than a second on a loaded machine): Vask's hold on it and the helper's own reads wait
// the lock out, and the question is answered from the whole index, never failed "database is
// locked".
TEST_F(ChatTurnIntegrationTest, TheHelperStartedAsTheIndexWaitEndsWaitsOutALockedShadow) {
    attempts({{readRequest, {{"answer_from_staged", json::object()}}}});
    const auto index = std::make_shared<test::FakeHistoryIndex>(HistoryIndexState::building());
    historyIndex = index;
    auto model = makeModel();
    model->inputText.set("dinner tomorrow");
    model->send();
    main.runUntilIdle();
    ASSERT_TRUE(model->isSending());
    const auto sandbox = dir / "data" / ".vask-rlm-sandbox";
    {
        const LockedShadow locked(dir / "data" / "shadow.db");
        index->set(HistoryIndexState::whole());
        main.runUntilIdle();
        // The turn's staging has begun, and meets the lock; it is held past a second.
        ASSERT_TRUE(eventually([&] { return fs::exists(sandbox) && !fs::is_empty(sandbox); }));
        std::this_thread::sleep_for(1500ms);
    }
    // Its late results too (sources, title), which the worker makes after the answer.
    ASSERT_TRUE(main.runUntil(
        [&] {
            const auto messages = model->transcript();
            return !model->isSending() &&
                   (messages.size() != 2 ||
                    (messages[1].sources && model->currentTitle() == "Dinner plans"));
        },
        60s));
    const auto transcript = model->transcript();
    ASSERT_EQ(transcript.size(), 2u) << model->lastError.get().value_or("");
    EXPECT_TRUE(transcript[1].text.starts_with("Found ")) << transcript[1].text;
    EXPECT_NE(transcript[1].text, "Found 0 matching messages.");
}

// The stand-in's own reads of the staged database wait out a lock that comes and goes, as a real
// helper's connections do: it answers, never "search failed: database is locked".
TEST_F(ChatTurnIntegrationTest, TheStandInsReadsWaitOutALockedShadow) {
    attempts({{readRequest, {{"answer_from_staged", json::object()}}}});
    std::ofstream(dir / "request.json")
        << json{{"question", "dinner tomorrow"},
                {"db_path", (dir / "data" / "shadow.db").string()}}.dump();
    const std::string command = "VASK_TEST_RLM_SCENARIO='" + (dir / "scenario.json").string() +
                                "' '" + VASK_STAND_IN_HELPER + "' < '" +
                                (dir / "request.json").string() + "' > '" +
                                (dir / "answer.json").string() + "' 2> '" +
                                (dir / "stderr.txt").string() + "'";
    int status = -1;
    {
        auto locked = std::make_unique<LockedShadow>(dir / "data" / "shadow.db");
        std::thread helperRun([&] { status = std::system(command.c_str()); });
        std::this_thread::sleep_for(1000ms);
        locked.reset();
        helperRun.join();
    }
    std::ifstream err(dir / "stderr.txt");
    const std::string diagnostics((std::istreambuf_iterator<char>(err)), {});
    ASSERT_EQ(status, 0) << diagnostics;
    const auto answer = json::parse(std::ifstream(dir / "answer.json"));
    EXPECT_TRUE(answer.value("answer", "").starts_with("Found ")) << answer.dump();
    EXPECT_NE(answer.value("answer", ""), "Found 0 matching messages.");
}

}  // namespace
}  // namespace vask
