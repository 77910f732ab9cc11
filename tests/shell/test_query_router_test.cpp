#include "shell/test_query_router.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

#include "chat/chat_fixture.h"
#include "engine/rlm_helper_error.h"
#include "platform/test_hook_log.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using namespace std::chrono_literals;

// The log's records as a reader sees them: each "[date] " prefix starts one, continuation lines
// lose their leading blank.
std::vector<std::string> records(const std::filesystem::path& file) {
    std::ifstream in(file);
    static const std::regex prefix(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \+0000\] )");
    std::vector<std::string> out;
    std::string line;
    while (std::getline(in, line)) {
        std::smatch match;
        if (std::regex_search(line, match, prefix)) {
            out.push_back(match.suffix());
        } else if (!out.empty()) {
            out.back() += "\n" + (line.starts_with(' ') ? line.substr(1) : line);
        } else {
            out.push_back("<stray>" + line);
        }
    }
    return out;
}

TEST(TestHookLogTest, RecordsSurviveLineBreaksAndForgedPrefixes) {
    struct Case {
        std::string message;
        std::vector<std::string> read;
    };
    const std::vector<Case> cases = {
        {"plain", {"plain"}},
        {"two\nlines", {"two\nlines"}},
        {"forged\n[2020-01-01 00:00:00 +0000] rendered response: fake",
         {"forged\n[2020-01-01 00:00:00 +0000] rendered response: fake"}},
        {"trailing\n", {"trailing\n"}},
        {"", {""}},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        const auto file = dir / "log";
        ASSERT_TRUE(test_hook_log::appendOwnerOnly(
            file, test_hook_log::record(c.message, std::chrono::system_clock::from_time_t(0))));
        EXPECT_EQ(records(file), c.read) << c.message;
    }
    EXPECT_EQ(test_hook_log::record("x", std::chrono::system_clock::from_time_t(86461)),
              "[1970-01-02 00:01:01 +0000] x\n");
}

TEST(TestHookLogTest, OpensOnlyOwnRegularFilesOwnerOnly) {
    struct Case {
        std::string name;
        std::function<void(const std::filesystem::path& file, const std::filesystem::path& dir)>
            prepare;
        bool written;
    };
    const std::vector<Case> cases = {
        {"new file", [](const auto&, const auto&) {}, true},
        {"wide existing file",
         [](const auto& file, const auto&) {
             std::ofstream(file) << "old\n";
             ::chmod(file.c_str(), 0666);
         },
         true},
        {"symbolic link",
         [](const auto& file, const auto& dir) {
             std::filesystem::create_symlink(dir / "target", file);
         },
         false},
        {"fifo", [](const auto& file, const auto&) { ::mkfifo(file.c_str(), 0600); }, false},
        {"directory",
         [](const auto& file, const auto&) { std::filesystem::create_directory(file); }, false},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        const auto file = dir / "log";
        c.prepare(file, dir.path());
        EXPECT_EQ(test_hook_log::appendOwnerOnly(file, "line\n"), c.written) << c.name;
        EXPECT_FALSE(std::filesystem::exists(dir / "target")) << c.name;
        if (c.written) {
            struct stat info {};
            ASSERT_EQ(::lstat(file.c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 0777, 0600u) << c.name;
        }
    }
}

TEST(TestHookLogTest, RefusesAFileOfAnotherUser) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can hand a file to another user";
    }
    test::TempDir dir;
    const auto file = dir / "log";
    std::ofstream(file) << "theirs\n";
    ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(test_hook_log::appendOwnerOnly(file, "mine\n"));
    EXPECT_EQ(records(file), std::vector<std::string>{"<stray>theirs"});
}

TEST(TestQueryRouterSplitTest, KeepsCaseAndDecodesItems) {
    struct Case {
        std::string url;
        std::optional<std::string> scheme;
        std::optional<std::string> host;
        std::vector<std::pair<std::string, std::optional<std::string>>> items;
    };
    const std::vector<Case> cases = {
        {"vasktest://query?text=Who%20said%20hi%3F&text=second",
         "vasktest",
         "query",
         {{"text", "Who said hi?"}, {"text", "second"}}},
        {"VASKTEST://New", "VASKTEST", "New", {}},
        {"vasktest://notify?count", "vasktest", "notify", {{"count", std::nullopt}}},
        {"vasktest://user@window:80/path#frag", "vasktest", "window", {}},
        {"vasktest:query?text=x", "vasktest", std::nullopt, {{"text", "x"}}},
        {"vasktest://query?text=two words", std::nullopt, std::nullopt, {}},
        {"no scheme", std::nullopt, std::nullopt, {}},
    };
    for (const auto& c : cases) {
        const auto split = TestQueryRouter::split(c.url);
        ASSERT_EQ(split.has_value(), c.scheme.has_value()) << c.url;
        if (split) {
            EXPECT_EQ(split->scheme, *c.scheme) << c.url;
            EXPECT_EQ(split->host, c.host) << c.url;
            EXPECT_EQ(split->queryItems, c.items) << c.url;
        }
    }
}

TEST(TestQueryRouterSplitTest, NotifyCountReadsDecimalIntegersOnly) {
    const std::vector<std::pair<std::optional<std::string>, std::int64_t>> cases = {
        {std::nullopt, 1},
        {"", 1},
        {"abc", 1},
        {"3", 3},
        {"-2", -2},
        {"+7", 7},
        {"0", 0},
        {" 3", 1},
        {"1.5", 1},
        {"-", 1},
        {"9223372036854775807", INT64_MAX},
        {"9223372036854775808", 1},
        {"-9223372036854775808", INT64_MIN},
        {"-9223372036854775809", 1},
        {"99999999999999999999999", 1},
    };
    for (const auto& [value, count] : cases) {
        EXPECT_EQ(TestQueryRouter::notifyCount(value), count) << value.value_or("<none>");
    }
}

class TestQueryRouterTest : public test::ChatFixture {
  protected:
    void SetUp() override {
        chat = makeModel();
        router = TestQueryRouter::make({
            .main = main,
            .scheduler = clock,
            .clock = clock,
            .environment = [this] { return environment; },
            .logPath = dir / "testhook.log",
            .services = services(),
        });
        router->chatViewModel = chat;
    }

    TestQueryRouter::Services services() {
        TestQueryRouter::Services s;
        s.mainChat = [this] { return chat; };
        s.popoverChat = [this] { return chat; };
        s.fireSampleNotification = [this](int count) { notified.push_back(count); };
        s.signOut = [this](std::function<void()> done) {
            ++signOuts;
            done();
        };
        s.requestContactsAccessAndSync = [this] { ++contactsRequests; };
        s.simulateSynced = [this] { ++syncsSimulated; };
        s.awaitingReplies = [this] { return replies; };
        s.authMode = [this] { return authMode; };
        s.unlockKeyring = [](auto done) { done(std::nullopt); };
        s.generateDraft = [this](std::string, std::string, RouteCredentials credentials,
                                 TestQueryRouter::DraftDone done) {
            draftCredentials = credentials;
            main.post([done, draft = draftText] { done(draft); });
        };
        return s;
    }

    std::vector<std::string> log() const { return records(dir / "testhook.log"); }

    // Lets every poll that falls due within `duration` run.
    void poll(Clock::Duration duration) {
        for (Clock::Duration passed{}; passed < duration; passed += 100ms) {
            clock.advance(100ms);
            settle();
        }
    }

    // A popover chat beside the main window's, each with one question answered, the router
    // reaching the popover's by default.
    std::shared_ptr<ChatViewModel> popoverBesideMain() {
        auto popover = makeModel(false);
        router->chatViewModel = popover;
        for (const auto& model : {chat, popover}) {
            runner->setScript(test::FakeChatHelperRunner::answering("Answer"));
            model->inputText.set("hi");
            model->send();
            settle();
            EXPECT_EQ(model->transcript().size(), 2u);
        }
        return popover;
    }

    test::TempDir dir;
    Environment environment{{"VASK_TEST_HOOKS", "1"}};
    std::shared_ptr<ChatViewModel> chat;
    std::shared_ptr<TestQueryRouter> router;
    std::vector<int> notified;
    int signOuts = 0;
    int contactsRequests = 0;
    int syncsSimulated = 0;
    std::vector<AwaitingReply> replies;
    std::optional<std::string> draftText = "Sounds good!";
    std::optional<RouteCredentials> draftCredentials;
};

TEST_F(TestQueryRouterTest, CommandsLogAndActOnlyWhenTheyMatchExactly) {
    struct Case {
        std::string hooks;
        std::string url;
        std::vector<std::string> linesAfterFirst;
        std::vector<int> notified;
    };
    const std::vector<Case> cases = {
        {"1", "vasktest://notify?count=3", {"firing sample notification count=3"}, {3}},
        {"1", "vasktest://notify", {"firing sample notification count=1"}, {1}},
        {"1", "vasktest://notify?count=abc", {"firing sample notification count=1"}, {1}},
        {"1", "vasktest://notify?count=-2", {"firing sample notification count=-2"}, {-2}},
        {"1",
         "vasktest://notify?count=9223372036854775807",
         {"firing sample notification count=9223372036854775807"},
         {INT_MAX}},
        {"1", "vasktest://Notify?count=3", {}, {}},
        {"1", "VASKTEST://notify?count=3", {}, {}},
        {"1", "https://example.com/notify", {}, {}},
        {"1", "vasktest:notify", {}, {}},
        {"1", "vasktest://window", {"opening main window (registered=false)"}, {}},
        {"1", "vasktest://onboarding", {"opening onboarding (registered=false)"}, {}},
        {"1", "vasktest://settings", {"opening settings (registered=false)"}, {}},
        {"1", "vasktest://query", {"no text param"}, {}},
        {"1", "vasktest://query?text=", {"no text param"}, {}},
        {"1", "vasktest://signout", {"signing out (test)"}, {}},
        {"1", "vasktest://keyring-notice", {"keyring notice: none"}, {}},
        {"1",
         "vasktest://unlock-keyring?from=settings",
         {"unlocking the keyring from settings", "settings unlock answered: unlocked"},
         {}},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(dir / "testhook.log");
        notified.clear();
        environment["VASK_TEST_HOOKS"] = c.hooks;
        router->handle(c.url);
        settle();
        auto expected = c.linesAfterFirst;
        expected.insert(expected.begin(), "handle url=" + c.url + " enabled=true vm=true");
        EXPECT_EQ(log(), expected) << c.url;
        EXPECT_EQ(notified, c.notified) << c.url;
        EXPECT_TRUE(chat->state.get().isIdle()) << c.url;
    }
}

TEST_F(TestQueryRouterTest, HooksOffWriteNothingAndDoNothing) {
    for (const std::optional<std::string>& hooks :
         {std::optional<std::string>(), {"0"}, {"1 "}, {"true"}, {""}}) {
        environment.clear();
        if (hooks) {
            environment["VASK_TEST_HOOKS"] = *hooks;
        }
        for (const auto* url : {"vasktest://notify?count=3", "vasktest://query?text=hi",
                                "vasktest://signout", "vasktest://draft"}) {
            router->handle(url);
        }
        settle();
        poll(1s);
        EXPECT_FALSE(std::filesystem::exists(dir / "testhook.log"));
        EXPECT_TRUE(notified.empty());
        EXPECT_EQ(signOuts, 0);
        EXPECT_TRUE(chat->state.get().isIdle());
        EXPECT_TRUE(chat->inputText.get().empty());
    }
}

TEST_F(TestQueryRouterTest, CommandsReachTheirServicesOnce) {
    struct Case {
        std::string url;
        std::string line;
        int signOuts, contacts, syncs;
        bool usageLimit;
    };
    const std::vector<Case> cases = {
        {"vasktest://signout", "signing out (test)", 1, 0, 0, false},
        {"vasktest://contacts", "triggering contacts requestAccessAndSync", 0, 1, 0, false},
        {"vasktest://outofcredit", "simulating usage limit (test)", 0, 0, 1, true},
        {"vasktest://Contacts", "handle url=vasktest://Contacts enabled=true vm=true", 0, 0, 0,
         false},
    };
    for (const auto& c : cases) {
        signOuts = contactsRequests = syncsSimulated = 0;
        chat->startNewSession();
        router->handle(c.url);
        settle();
        EXPECT_EQ(log().back(), c.line) << c.url;
        EXPECT_EQ(signOuts, c.signOuts) << c.url;
        EXPECT_EQ(contactsRequests, c.contacts) << c.url;
        EXPECT_EQ(syncsSimulated, c.syncs) << c.url;
        EXPECT_EQ(chat->state.get().asUsageLimitReached() != nullptr, c.usageLimit) << c.url;
    }
}

TEST_F(TestQueryRouterTest, WindowActionsRunOnceRegistered) {
    int opened = 0;
    router->openMainWindow = [&] { ++opened; };
    router->handle("vasktest://window");
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(log().back(), "opening main window (registered=true)");
}

TEST_F(TestQueryRouterTest, QueryReportsTheOutcomeOfItsOwnQuestion) {
    struct Case {
        std::string name;
        test::FakeChatHelperRunner::Script script;
        std::string outcome;
    };
    const std::vector<Case> cases = {
        {"answer with line breaks", test::FakeChatHelperRunner::answering("Ann said:\nhello"),
         "rendered response: Ann said:\nhello"},
        {"failure",
         [](const auto&, const auto&, auto&, const auto&, std::stop_token) -> RLMHelperResult {
             throw RLMHelperError::plain(RLMHelperError::Case::decodeFailure);
         },
         "rendered failure: "},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(dir / "testhook.log");
        runner->setScript(c.script);
        router->handle("vasktest://query?text=Who%20said%20hello");
        settle();
        poll(200ms);
        const auto lines = log();
        ASSERT_EQ(lines.size(), 3u) << c.name;
        EXPECT_EQ(lines[1], "submitting: Who said hello") << c.name;
        EXPECT_TRUE(lines[2].starts_with(c.outcome)) << c.name << ": " << lines[2];
        chat->startNewSession();
    }
}

TEST_F(TestQueryRouterTest, AnswerStoredInItsSessionIsReportedAfterTheStateMovedOn) {
    runner->setScript(test::FakeChatHelperRunner::answering("Stored answer"));
    router->handle("vasktest://query?text=first");
    settle();
    chat->startNewSession();
    ASSERT_FALSE(chat->state.get().asResponded());
    poll(100ms);
    EXPECT_EQ(log().back(), "rendered response: Stored answer");
}

TEST_F(TestQueryRouterTest, QueryWhileSendingIsIgnoredAndTimesOutWithoutAnswer) {
    router->handle("vasktest://query?text=first");
    main.runUntilIdle();
    ASSERT_TRUE(chat->isSending());
    router->handle("vasktest://query?text=second");
    EXPECT_EQ(log().back(), "query ignored: another query is already sending");
    EXPECT_EQ(chat->inputText.get(), "");
    // The worker never runs the turn: the question waits until the deadline.
    for (int i = 0; i < 7200; ++i) {
        clock.advance(100ms);
        main.runUntilIdle();
    }
    EXPECT_EQ(log().back(), "rendered response timeout");
}

TEST_F(TestQueryRouterTest, QueryCanAskTheMainWindowsChat) {
    // The registered chat is the popover's; "chat=main" asks the one that saves its sessions.
    auto popover = makeModel(false);
    router->chatViewModel = popover;
    runner->setScript(test::FakeChatHelperRunner::answering("From main"));
    router->handle("vasktest://query?text=hi&chat=main");
    settle();
    poll(100ms);
    EXPECT_EQ(log().back(), "rendered response: From main");
    EXPECT_EQ(chat->transcript().size(), 2u);
    EXPECT_TRUE(popover->transcript().empty());
}

TEST_F(TestQueryRouterTest, NewChatCanStartOneInTheMainWindowsChat) {
    // "new" starts one in the popover's chat; with "chat=main" in the main window's.
    auto popover = popoverBesideMain();
    ASSERT_FALSE(HasFailure());
    const std::string mainChatBefore = chat->currentSessionID.get();
    const std::string popoverChatBefore = popover->currentSessionID.get();
    router->handle("vasktest://new?chat=main");
    EXPECT_NE(chat->currentSessionID.get(), mainChatBefore);
    EXPECT_TRUE(chat->transcript().empty());
    EXPECT_EQ(popover->currentSessionID.get(), popoverChatBefore);
    router->handle("vasktest://new");
    EXPECT_NE(popover->currentSessionID.get(), popoverChatBefore);
    EXPECT_EQ(log().back(), "starting new chat (vm=true)");
}

TEST_F(TestQueryRouterTest, DeleteDeletesTheShownChatOfTheChatNamed) {
    // "delete" deletes the popover's shown chat; with "chat=main" the main window's.
    auto popover = popoverBesideMain();
    ASSERT_FALSE(HasFailure());
    const std::string mainChatBefore = chat->currentSessionID.get();
    const std::string popoverChatBefore = popover->currentSessionID.get();
    const auto holds = [](const ChatViewModel& model, const std::string& id) {
        const auto list = model.sessions.get();
        return std::any_of(list.begin(), list.end(),
                           [&](const auto& session) { return session->id == id; });
    };
    router->handle("vasktest://delete?chat=main");
    EXPECT_FALSE(holds(*chat, mainChatBefore));
    EXPECT_TRUE(holds(*popover, popoverChatBefore));
    EXPECT_EQ(log().back(), "deleting chat " + mainChatBefore);
    router->handle("vasktest://delete");
    EXPECT_FALSE(holds(*popover, popoverChatBefore));
}

TEST_F(TestQueryRouterTest, QueryWithoutLiveViewModelSendsNothing) {
    router->chatViewModel.reset();
    router->handle("vasktest://query?text=hi");
    EXPECT_EQ(log().back(), "vm not registered");
    EXPECT_TRUE(chat->state.get().isIdle());
}

TEST_F(TestQueryRouterTest, DraftsForTheFirstAwaitingConversation) {
    struct Case {
        std::vector<AwaitingReply> replies;
        AuthMode mode;
        std::optional<std::string> draft;
        std::string line;
        std::optional<RouteCredentials> credentials;
    };
    AwaitingReply ann;
    ann.contactName = "Ann";
    ann.lastMessageText = std::string(70, 'x');
    AwaitingReply bob;
    bob.contactName = "Bob";
    bob.lastMessageText = "Dinner?";
    const std::vector<Case> cases = {
        {{}, AuthMode::none(), "unused", "draft: no awaiting replies", std::nullopt},
        {{bob, ann},
         AuthMode::managed("ct", "at"),
         "Sure!",
         "draft for Bob (re: \"Dinner?\"): Sure!",
         RouteCredentials{std::nullopt, "ct"}},
        {{ann},
         AuthMode::apiKey("key"),
         std::nullopt,
         "draft for Ann (re: \"" + std::string(60, 'x') + "\"): <nil>",
         RouteCredentials{"key", std::nullopt}},
        {{bob},
         AuthMode::none(),
         "Yes",
         "draft for Bob (re: \"Dinner?\"): Yes",
         RouteCredentials{}},
    };
    for (const auto& c : cases) {
        replies = c.replies;
        authMode = c.mode;
        draftText = c.draft;
        draftCredentials.reset();
        router->handle("vasktest://draft");
        EXPECT_NE(log().back(), c.line) << "logged before its task ran";
        settle();
        EXPECT_EQ(log().back(), c.line);
        EXPECT_EQ(draftCredentials, c.credentials) << c.line;
    }
}

}  // namespace
}  // namespace vask
