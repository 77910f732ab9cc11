// Whole turn attempts against the stand-in helper in its bundled variant (placed as rlm/deno,
// with the event channel): staging, request, run, decoding, clean-up and citations.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <sstream>
#include <stop_token>
#include <thread>

#include <nlohmann/json.hpp>

#include "engine/cancellation_error.h"
#include "engine/rlm_helper_error.h"
#include "engine/rlm_turn_attempt.h"
#include "engine/rlm_turn_retry.h"
#include "helper_resources.h"
#include "records/citation_service.h"
#include "shadow_fixture.h"
#include "store/sqlite_connection.h"
#include "store/sqlite_statement.h"
#include "support/eventually.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Case = RLMHelperError::Case;

json readJson(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return json::parse(text.str());
}

class FakePersonaHost : public PersonaContextHost {
  public:
    explicit FakePersonaHost(std::atomic<int>& cancelled) : cancelled_(cancelled) {}
    const std::string& endpoint() const override { return endpoint_; }
    const std::string& token() const override { return token_; }
    void cancel() override { ++cancelled_; }

  private:
    std::atomic<int>& cancelled_;
    std::string endpoint_ = "http://127.0.0.1:45678";
    std::string token_ = "persona-token";
};

// Reads cited messages straight from a shadow database, standing in for the shadow queries.
class ShadowFileReader : public CitationMessageReader {
  public:
    std::vector<CitedMessage> fetchMessages(const fs::path& shadow,
                                            const std::vector<std::string>& guids, const fs::path&,
                                            int) override {
        auto db = SQLiteConnection::open(shadow, SQLiteSupport::OpenMode::readOnly);
        std::vector<CitedMessage> rows;
        for (const auto& guid : guids) {
            SQLiteStatement s(db.get(),
                              "SELECT guid, CASE WHEN is_from_me THEN 'You' ELSE sender END, "
                              "text, timestamp_unix, chat_id, chat_name, is_group FROM messages "
                              "WHERE guid = ?");
            s.bind(1, guid);
            if (s.step()) {
                rows.push_back({s.columnText(0), s.columnText(1), s.columnText(2), s.columnInt64(3),
                                s.columnText(4), s.columnOptionalText(5), s.columnInt64(6) != 0});
            }
        }
        return rows;
    }
    std::map<std::string, std::vector<ChatParticipant>> fetchChatParticipants(
        const fs::path&, const std::vector<std::string>& chatIds) override {
        std::map<std::string, std::vector<ChatParticipant>> out;
        for (const auto& id : chatIds) {
            out[id] = {ChatParticipant{id, 1, " +15550001 ", std::nullopt}};
        }
        return out;
    }
};

class TurnAttemptTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::makeHelperResources(dir.path());
        fs::create_directories(dir / "record");
    }
    void TearDown() override { ::unsetenv("TMPDIR"); }

    RLMTurnAttempt runner(RLMProcessTimeouts timeouts = {},
                          RLMFilePrefetch prefetch = RLMFilePrefetch({})) {
        RLMHelperRunner::Settings s;
        s.relayServiceHost = "relay.example";
        s.bundleResourceDirectory = dir / "resources";
        s.timeouts = timeouts;
        const std::string scenarioPath = (dir / "scenario.json").string();
        s.launchEnvironment = [scenarioPath] {
            auto env = processEnvironment();
            env["VASK_TEST_RLM_SCENARIO"] = scenarioPath;
            return env;
        };
        RLMTurnAttempt::Settings turn;
        turn.personaContextHostFactory = [this](const std::string&) {
            ++personaStarted;
            return std::make_unique<FakePersonaHost>(personaCancelled);
        };
        turn.loadConfig = [] { return std::optional<AppConfig>(); };
        turn.appVersion = "1.2.3";
        return RLMTurnAttempt(RLMHelperRunner({}, s), std::move(prefetch), turn);
    }

    void attempts(json list) {
        std::ofstream(dir / "scenario.json") << json{
            {"record_dir", (dir / "record").string()},
            {"attempts", std::move(list)}}.dump();
    }

    RLMTurnAttempt::TurnInputs inputs(std::string question = "when is lunch on friday") {
        RLMTurnAttempt::TurnInputs in;
        in.credentials = {std::nullopt, std::string("customer-1")};
        in.question = std::move(question);
        in.dbPath = shadowPath.string();
        // Contacts were never synchronised: the file does not exist.
        in.contactsDbPath = (dir / "data" / "contacts.db").string();
        in.activeSessionID = "S1";
        in.conversationSessions = {ChatSession{"S1", {}, {}, "t", 0, {}, false}};
        return in;
    }

    bool sandboxEmpty() const {
        const auto sandbox = dir / "data" / ".vask-rlm-sandbox";
        return !fs::exists(sandbox) || fs::is_empty(sandbox);
    }

    test::TempDir dir;
    fs::path shadowPath = [this] {
        fs::create_directories(dir / "data");
        return dir / "data" / "shadow.db";
    }();
    test::LiveShadowDatabase live{shadowPath};
    std::atomic<int> personaStarted{0};
    std::atomic<int> personaCancelled{0};
};

const json readRequest = {{"read_stdin", "all"}};

TEST_F(TurnAttemptTest, AnswersFromTheStagedDatabasesWithCitationsOfRealMessages) {
    live.add("g-1", "chat-ana", "Lunch on Friday at noon?", 1700000000);
    live.add("g-2", "chat-ana", "yes friday works", 1700000300, true);
    live.add("g-3", "chat-ben", "no lunch for me friday", 1700000100);
    live.add("g-4", "chat-ben", "unrelated words", 1700000200);
    attempts({{readRequest,
               {{"record", true}},
               {{"record_staged", true}},
               {{"answer_from_staged", json::object()}}}});

    test::LogCapture logs;
    const auto result = runner().run(inputs(), {});
    EXPECT_EQ(result.answer, "Found 3 matching messages.");
    EXPECT_EQ(result.contactsError, "Contacts DB not received by RLM");
    EXPECT_TRUE(sandboxEmpty());
    EXPECT_EQ(personaStarted, 1);
    EXPECT_EQ(personaCancelled, 1);

    const auto request = readJson(dir / "record" / "1" / "request");
    EXPECT_FALSE(request.contains("contacts_db_path"));
    EXPECT_EQ(request.at("persona_context_token"), "persona-token");
    EXPECT_EQ(request.at("max_output_chars"), 10000);
    const auto staged = readJson(dir / "record" / "1" / "staged.json");
    EXPECT_EQ(staged.at("folder_entry").at("mode"), 0700);
    EXPECT_GE(staged.at("files").at("shadow.db").at("links"), 2);
    EXPECT_TRUE(staged.at("files").contains("sessions.db"));
    EXPECT_FALSE(staged.at("files").contains("memory.raw.db"));
    const auto usage = logs->events("rlm_token_usage");
    ASSERT_EQ(usage.size(), 1u);
    EXPECT_EQ(usage[0].metadata.at("app_version"), "1.2.3");
    EXPECT_EQ(usage[0].metadata.at("routing_mode"), "managed_tier_default");

    const CitationService citations(std::make_shared<ShadowFileReader>(), [this] {
        std::ofstream(dir / "data" / "contacts.db", std::ios::app).flush();
        return dir / "data";
    });
    const auto resolved = citations.resolve(result.evidence);
    ASSERT_EQ(resolved.sources.size(), 2u);
    const auto& ana = std::get<ConversationSource>(resolved.sources[0].payload);
    const auto& ben = std::get<ConversationSource>(resolved.sources[1].payload);
    EXPECT_EQ(ana.id, "conversation:chat-ana");
    EXPECT_EQ(ana.title, "+15550001");
    ASSERT_EQ(ana.messages.size(), 2u);
    EXPECT_EQ(ana.messages[0].guid, "g-1");
    EXPECT_EQ(ana.messages[1].contactName, "You");
    EXPECT_EQ(ana.messagesTarget->address, "+15550001");
    EXPECT_EQ(ben.messages.size(), 1u);
    EXPECT_EQ(ben.messages[0].guid, "g-3");

    auto check = SQLiteConnection::open(shadowPath, SQLiteSupport::OpenMode::readOnly);
    SQLiteStatement integrity(check.get(), "PRAGMA integrity_check");
    integrity.step();
    EXPECT_EQ(integrity.columnText(0), "ok");
}

// The stand-in helper's search, which the demo and the end-to-end run answer with: common
// words cite nothing, and the messages holding most of the question's words come first.
// Where the chat says the helper is thinking: the databases are staged, and neither the persona
// endpoint nor the helper has started.
TEST_F(TurnAttemptTest, TheStagedHookRunsOnTheAttemptsThreadBeforeAnythingStarts) {
    attempts({{readRequest, {{"record", true}}, {{"answer_from_staged", json::object()}}}});
    int calls = 0;
    bool stagedThen = false;
    int personaThen = -1;
    bool helperThen = true;
    std::thread::id thread;
    RLMTurnAttempt::RunCallbacks callbacks;
    callbacks.onStaged = [&] {
        ++calls;
        stagedThen = !sandboxEmpty();
        personaThen = personaStarted;
        helperThen = fs::exists(dir / "record" / "1");
        thread = std::this_thread::get_id();
    };
    runner().run(inputs(), callbacks);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(stagedThen);
    EXPECT_EQ(personaThen, 0);
    EXPECT_FALSE(helperThen);
    EXPECT_EQ(thread, std::this_thread::get_id());
    EXPECT_TRUE(sandboxEmpty());
}

TEST_F(TurnAttemptTest, TheStandInCitesWhatAQuestionIsAboutNotItsCommonWords) {
    live.add("g-plumber", "chat-ana", "where did you have the plumber come from?", 1700000000);
    live.add("g-ramps", "chat-ana", "they have the ramps again", 1700000100);
    live.add("g-dinner", "chat-ben", "birthday dinner is on the 21st", 1700000200);
    live.add("g-club", "chat-ben", "the book club picked a new book", 1700000300);
    live.add("g-book", "chat-ben", "I booked the table", 1700000400);
    live.add("g-dinner-club", "chat-ana", "Book club dinner at Maya's", 1700000500);
    const struct {
        const char* question;
        std::vector<std::string> cited;
    } cases[] = {
        {"Where did we have dinner?", {"g-dinner", "g-dinner-club"}},
        {"dinner", {"g-dinner", "g-dinner-club"}},
        {"What did the book club read?", {"g-club", "g-dinner-club"}},
        {"book club dinner", {"g-dinner-club", "g-club", "g-dinner"}},
        {"Where was it? What did they have?", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.question);
        attempts({{readRequest, {{"answer_from_staged", json::object()}}}});
        const auto result = runner().run(inputs(c.question), {});
        EXPECT_EQ(result.answer, "Found " + std::to_string(c.cited.size()) + " matching messages.");
        ASSERT_EQ(result.evidence.size(), 1u);
        EXPECT_EQ(result.evidence[0].messageGuids, c.cited);
    }
}

TEST_F(TurnAttemptTest, IllFormedUtf8InTheQuestionIsSentAsReplacementCharacters) {
    attempts({{readRequest, {{"record", true}}, {{"respond", {{"answer", "ok"}}}}}});
    const auto result = runner().run(inputs("lunch \xff\xfe friday \xc3"), {});
    EXPECT_EQ(result.answer, "ok");
    EXPECT_EQ(readJson(dir / "record" / "1" / "request").at("question"),
              "lunch \uFFFD\uFFFD friday \uFFFD");
}

TEST_F(TurnAttemptTest, EveryExitRemovesTheRunFolderAndCancelsThePersonaHost) {
    struct Row {
        std::string name;
        json steps;
        RLMProcessTimeouts timeouts;
        bool cancel;
        std::optional<Case> error;
    };
    const RLMProcessTimeouts quick{180, 0.3, 0.1};
    const std::vector<Row> rows = {
        {"success", {readRequest, {{"respond", {{"answer", "ok"}}}}}, {}, false, std::nullopt},
        {"exit code", {readRequest, {{"exit", 3}}}, {}, false, Case::processFailure},
        {"host error",
         {readRequest, {{"respond", {{"error", {{"type", "T"}, {"message", "m"}}}}}}},
         {},
         false,
         Case::processFailure},
        {"timeout", {readRequest, {{"hang", true}}}, quick, false, Case::executionTimeout},
        {"cancelled", {readRequest, {{"record", true}}, {{"hang", true}}}, {}, true, std::nullopt},
    };
    for (const auto& row : rows) {
        attempts({row.steps});
        fs::remove_all(dir / "record");
        fs::create_directories(dir / "record");
        personaCancelled = 0;
        std::stop_source stop;
        std::jthread canceller;
        if (row.cancel) {
            // Cancelled while the helper runs: once it has recorded the request it was sent.
            canceller = std::jthread([this, &stop] {
                const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
                while (!fs::exists(dir / "record" / "1" / "request") &&
                       std::chrono::steady_clock::now() < giveUp) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                stop.request_stop();
            });
        }
        try {
            runner(row.timeouts).run(inputs(), {}, stop.get_token());
            EXPECT_FALSE(row.error || row.cancel) << row.name;
        } catch (const RLMHelperError& e) {
            EXPECT_EQ(std::optional(e.errorCase()), row.error) << row.name;
        } catch (const CancellationError&) {
            EXPECT_TRUE(row.cancel) << row.name;
        }
        EXPECT_TRUE(sandboxEmpty()) << row.name;
        EXPECT_EQ(personaCancelled, 1) << row.name;
    }
}

TEST_F(TurnAttemptTest, UnauthorizedThenSuccessRunsTwoAttemptsAndSettlesUsage) {
    attempts(
        {{readRequest,
          {{"record", true}},
          {{"respond",
            {{"error", {{"type", "Auth"}, {"message", "expired"}, {"status", 401}}},
             {"root_usage", {{"input_tokens", 40}, {"output_tokens", 2}}}}}}},
         {readRequest,
          {{"record", true}},
          {{"respond", {{"answer", "second time"}, {"root_usage", {{"input_tokens", 10}}}}}}}});
    RLMUsageAccumulator accumulator;
    std::vector<std::optional<std::string>> refused;
    test::LogCapture logs;
    const auto result = RLMTurnRetry::runWithAuthRetry(
        runner(), inputs(),
        [&](const std::optional<std::string>& token) {
            refused.push_back(token);
            return std::optional(RLMCredentials{std::nullopt, std::string("customer-2")});
        },
        accumulator, {});
    EXPECT_EQ(result.answer, "second time");
    EXPECT_EQ(refused, (std::vector<std::optional<std::string>>{"customer-1"}));
    EXPECT_EQ(readJson(dir / "record" / "2" / "request").at("customer_token"), "customer-2");
    ASSERT_TRUE(accumulator.usage());
    EXPECT_EQ(accumulator.usage()->root.inputTokens, 40);
    EXPECT_TRUE(logs->contains("chat_auth_refreshed_retry"));
    EXPECT_EQ(personaCancelled, 2);
    EXPECT_TRUE(sandboxEmpty());

    // Without a refreshed token the first failure stands.
    fs::remove_all(dir / "record");
    fs::create_directories(dir / "record");
    EXPECT_THROW(RLMTurnRetry::runWithAuthRetry(
                     runner(), inputs(),
                     [](const auto&) { return std::optional<RLMCredentials>(); }, accumulator, {}),
                 RLMHelperError);
}

TEST_F(TurnAttemptTest, MissingShadowDatabaseFailsBeforeStaging) {
    auto in = inputs();
    in.dbPath = (dir / "data" / "absent.db").string();
    try {
        runner().run(in, {});
        FAIL() << "ran";
    } catch (const RLMHelperError& e) {
        EXPECT_EQ(e.errorCase(), Case::shadowDBMissing);
    }
    EXPECT_EQ(personaStarted, 0);
}

// A prefetch that returns at once, or waits until its token is stopped; `entered`, when given,
// is told the token it was handed.
class WaitingPrefetch : public FilePrefetchService {
  public:
    explicit WaitingPrefetch(bool untilStopped,
                             std::function<void(std::stop_token)> entered = {})
        : untilStopped_(untilStopped), entered_(std::move(entered)) {}
    std::int64_t prefetch(const std::string&, std::stop_token stop) override {
        if (entered_) {
            entered_(stop);
        }
        if (!untilStopped_) {
            return 2;
        }
        std::mutex m;
        std::condition_variable_any cv;
        std::unique_lock lock(m);
        cv.wait(lock, stop, [] { return false; });
        return 1;
    }

  private:
    bool untilStopped_;
    std::function<void(std::stop_token)> entered_;
};

TEST_F(TurnAttemptTest, APrefetchLimitFiringAsThePrefetchEndsTouchesNothingOfTheEndedCall) {
    // A zero limit fires on the timer thread at the moment the quick prefetch returns: whether
    // its task starts before or after the call has ended, it must not reach into the call.
    RLMFilePrefetch::Settings s;
    s.prefetchTimeLimit = std::chrono::milliseconds(0);
    s.filePrefetchServiceFactory = [](auto&&...) {
        return std::make_unique<WaitingPrefetch>(false);
    };
    const RLMFilePrefetch prefetcher(s);
    test::LogCapture logs;
    for (int i = 0; i < 300; ++i) {
        prefetcher.prefetchFilesIfNeeded("q", shadowPath.string(), {}, ModelRoute::tierDefault());
    }
    EXPECT_EQ(logs->events("file_prefetch_completed").size() +
                  logs->events("file_prefetch_timeout").size(),
              300u);
}

// A prefetch that waits until it is stopped, under a limit that fires only when the test moves
// its clock.
struct StoppablePrefetch {
    StoppablePrefetch() {
        settings.prefetchTimeLimit = std::chrono::seconds(10);
        settings.scheduler = &clock;
        settings.fileAccessConfig = [](std::optional<std::string> model) {
            return FileAccessConfig::defaults(std::move(model), {});
        };
        settings.filePrefetchServiceFactory = [this](auto&&...) {
            return std::make_unique<WaitingPrefetch>(true, [this](std::stop_token stop) {
                token = std::move(stop);
                waiting = true;
            });
        };
    }

    test::FakeClock clock;
    // The token the waiting prefetch was handed; read once `waiting` is set.
    std::stop_token token;
    std::atomic<bool> waiting{false};
    RLMFilePrefetch::Settings settings;
};

// A quit stops the turn's prefetch in the call that requests it (a stop callback runs before
// request_stop returns), so the token the prefetch waits on is checked at once; a prefetch the
// quit did not reach is then ended by its limit, and the turn still ends cancelled.
TEST_F(TurnAttemptTest, AQuitEndsThePrefetchAtOnce) {
    attempts({{readRequest, {{"answer_from_staged", json::object()}}}});
    for (const bool beforeTheCall : {true, false}) {
        SCOPED_TRACE(beforeTheCall ? "quit before the turn" : "quit while the prefetch waits");
        StoppablePrefetch prefetch;
        const auto attempt = runner({}, RLMFilePrefetch(prefetch.settings));
        auto in = inputs();
        in.fileAccessEnabled = true;
        std::stop_source quit;
        if (beforeTheCall) {
            quit.request_stop();
        }
        test::LogCapture logs;
        auto call = std::async(std::launch::async, [&] {
            EXPECT_THROW(attempt.run(in, {}, quit.get_token()), CancellationError);
        });
        ASSERT_TRUE(test::eventually([&] { return prefetch.waiting.load(); }));
        quit.request_stop();
        const bool reached = prefetch.token.stop_requested();
        EXPECT_TRUE(reached) << "the quit did not reach the prefetch";
        if (!reached) {
            prefetch.clock.advance(std::chrono::seconds(10));
        }
        call.wait();
        EXPECT_TRUE(logs->contains("file_prefetch_stopped"));
        EXPECT_FALSE(logs->contains("file_prefetch_timeout"));
        EXPECT_FALSE(logs->contains("file_prefetch_completed"));
        EXPECT_EQ(personaStarted, 0);
        EXPECT_TRUE(sandboxEmpty());
    }
}

TEST_F(TurnAttemptTest, PrefetchIsAbandonedAtItsLimit) {
    struct Row {
        std::string name;
        std::optional<ModelRoute> vision;
        int service;  // 0 none, 1 quick, 2 slow
        bool result;
        std::string event;
    };
    const std::vector<Row> rows = {
        {"no route", std::nullopt, 1, false, ""},
        {"quick", ModelRoute::tierDefault(), 1, true, "file_prefetch_completed"},
        {"slow", ModelRoute::explicitModel("vision-1"), 2, false, "file_prefetch_timeout"},
        {"no service", ModelRoute::tierDefault(), 0, false, "file_prefetch_failed"},
    };
    for (const auto& row : rows) {
        RLMFilePrefetch::Settings s;
        s.prefetchTimeLimit = std::chrono::milliseconds(50);
        s.fileAccessConfig = [](std::optional<std::string> model) {
            return FileAccessConfig::defaults(std::move(model), {});
        };
        if (row.service != 0) {
            s.filePrefetchServiceFactory = [slow = row.service == 2](auto&&...) {
                return std::make_unique<WaitingPrefetch>(slow);
            };
        }
        test::LogCapture logs;
        const RLMFilePrefetch prefetcher(s);
        EXPECT_EQ(prefetcher.prefetchFilesIfNeeded("find the lease", shadowPath.string(),
                                                   {std::string("  "), std::nullopt}, row.vision),
                  row.result)
            << row.name;
        if (row.event.empty()) {
            EXPECT_TRUE(logs->records().empty()) << row.name;
            continue;
        }
        EXPECT_TRUE(logs->contains(row.event)) << row.name;
        const auto starting = logs->events("file_prefetch_starting").at(0).metadata;
        EXPECT_EQ(starting.at("has_credentials"), "false");
        EXPECT_EQ(starting.at("auth_type"), "api_key");
        EXPECT_EQ(starting.at("prompt_chars"), "14");
    }
}

}  // namespace
}  // namespace vask
