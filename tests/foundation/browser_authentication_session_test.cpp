#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "foundation/browser_authentication_session.h"
#include "platform/file_io.h"
#include "platform/manual_executor.h"
#include "support/eventually.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using Kind = WebAuthenticationSessionError::Kind;
using namespace std::chrono_literals;

const Url startURL = *Url::parse("https://cloud.example.com/auth/google/start?native=1");
const Url callbackURL = *Url::parse("vask://auth/callback?code=secret-code-123");

// What one flow ended with, as seen on the main executor.
struct Recorder {
    std::vector<WebAuthenticationSession::Outcome> outcomes;

    WebAuthenticationSession::Completion completion() {
        return [this](WebAuthenticationSession::Outcome outcome) {
            outcomes.push_back(std::move(outcome));
        };
    }
    std::optional<Kind> errorKind(std::size_t index = 0) const {
        if (index >= outcomes.size() || outcomes[index].ok()) {
            return std::nullopt;
        }
        return outcomes[index].error().kind();
    }
};

class BrowserAuthenticationSessionTest : public ::testing::Test {
  protected:
    std::unique_ptr<BrowserAuthenticationSession> makeSession(std::vector<std::string> command = {
                                                                  "/bin/true"}) {
        return std::make_unique<BrowserAuthenticationSession>(main, clock, std::move(command),
                                                              limit);
    }

    static constexpr auto limit = std::chrono::minutes(10);
    test::LogCapture log;
    ManualExecutor main;
    test::FakeClock clock;
};

TEST_F(BrowserAuthenticationSessionTest, OpenerOutcomes) {
    struct Case {
        const char* name;
        std::vector<std::string> command;
        bool started;
        std::optional<Kind> failure;  // nothing: the flow stays pending
    };
    const std::vector<Case> cases = {
        {"opener succeeds", {"/bin/true"}, true, std::nullopt},
        {"opener exits non-zero", {"/bin/false"}, true, Kind::launchFailed},
        {"opener killed", {"/bin/sh", "-c", "kill -9 $$", "sh"}, true, Kind::launchFailed},
        {"opener missing", {"/nonexistent/xdg-open"}, false, std::nullopt},
        {"no opener", {}, false, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Recorder recorder;
        auto session = makeSession(c.command);
        EXPECT_EQ(session->start(startURL, "vask", recorder.completion()), c.started);
        if (c.failure) {
            ASSERT_TRUE(main.runUntil([&] { return !recorder.outcomes.empty(); }));
            EXPECT_EQ(recorder.errorKind(), c.failure);
            EXPECT_FALSE(session->deliverCallback(callbackURL));
        } else if (c.started) {
            // A clean exit of the opener says nothing about the sign-in: still pending.
            EXPECT_TRUE(session->deliverCallback(callbackURL));
            main.runUntilIdle();
            ASSERT_EQ(recorder.outcomes.size(), 1u);
            EXPECT_EQ(recorder.outcomes[0].value(), callbackURL);
        } else {
            main.runUntilIdle();
            EXPECT_TRUE(recorder.outcomes.empty());
            EXPECT_FALSE(session->deliverCallback(callbackURL));
        }
    }
}

TEST_F(BrowserAuthenticationSessionTest, OpenerReceivesTheStartURLAsOneArgument) {
    test::TempDir dir;
    const auto out = dir / "argv";
    auto session =
        makeSession({"/bin/sh", "-c", "printf '%s|%s' \"$#\" \"$1\" > \"$0\"", out.string()});
    Recorder recorder;
    const auto url = *Url::parse("https://cloud.example.com/auth/google/start?native=1&x=%20y");
    ASSERT_TRUE(session->start(url, "vask", recorder.completion()));
    // The shell may still be writing: wait for the full text.
    EXPECT_TRUE(test::eventually(
        [&] { return readFileIfExists(out).value_or("") == "1|" + url.absoluteString(); }));
}

TEST_F(BrowserAuthenticationSessionTest, CallbackDelivery) {
    struct Case {
        const char* name;
        const char* scheme;     // the flow's callback scheme
        const char* delivered;  // the URL handed over
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"matching scheme", "vask", "vask://auth?code=a", true},
        {"scheme compared without case", "Vask", "VASK://auth?code=a", true},
        {"other scheme", "vask", "vasktest://reset", false},
        {"web URL", "vask", "https://cloud.example.com/?code=a", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Recorder recorder;
        auto session = makeSession();
        ASSERT_TRUE(session->start(startURL, c.scheme, recorder.completion()));
        EXPECT_EQ(session->deliverCallback(*Url::parse(c.delivered)), c.accepted);
        main.runUntilIdle();
        EXPECT_EQ(recorder.outcomes.size(), c.accepted ? 1u : 0u);
        // A refused URL leaves the flow waiting for the right one.
        if (!c.accepted) {
            EXPECT_TRUE(session->deliverCallback(*Url::parse("vask://auth?code=b")));
            main.runUntilIdle();
            ASSERT_EQ(recorder.outcomes.size(), 1u);
        }
        // Completed once: a late callback finds nothing.
        EXPECT_FALSE(session->deliverCallback(*Url::parse("vask://auth?code=c")));
        main.runUntilIdle();
        EXPECT_EQ(recorder.outcomes.size(), 1u);
    }
}

TEST_F(BrowserAuthenticationSessionTest, CancelAndANewStartEndOnlyAPendingFlow) {
    auto session = makeSession();
    session->cancel();  // nothing pending: nothing happens
    // A callback without a flow is dropped, and its code never reaches the log.
    EXPECT_FALSE(session->deliverCallback(callbackURL));
    EXPECT_TRUE(log->contains("web_auth_callback_ignored"));
    EXPECT_FALSE(log->mentions("secret-code-123"));

    Recorder first;
    Recorder second;
    Recorder third;
    ASSERT_TRUE(session->start(startURL, "vask", first.completion()));
    ASSERT_TRUE(session->start(startURL, "vask", second.completion()));
    EXPECT_TRUE(session->deliverCallback(callbackURL));
    ASSERT_TRUE(session->start(startURL, "vask", third.completion()));
    session->cancel();
    session->cancel();
    main.runUntilIdle();
    ASSERT_EQ(first.outcomes.size(), 1u);
    EXPECT_EQ(first.errorKind(), Kind::canceledLogin);
    ASSERT_EQ(second.outcomes.size(), 1u);
    EXPECT_EQ(second.outcomes[0].value(), callbackURL);
    ASSERT_EQ(third.outcomes.size(), 1u);
    EXPECT_EQ(third.errorKind(), Kind::canceledLogin);
    EXPECT_FALSE(session->deliverCallback(callbackURL));
}

// A scheduler that lets the test act at the moment a flow's timer is armed: the point where
// another thread's start() or the timer itself may get in.
class ArmingHookScheduler final : public Scheduler {
  public:
    ArmingHookScheduler() : Scheduler(Clock::system()) {}
    std::function<void()> onArmed;
    void runEverything() { runDue(clock().monotonicNow() + std::chrono::hours(24)); }

  protected:
    void taskQueued() override {
        if (auto hook = std::exchange(onArmed, {})) {
            hook();
        }
    }
};

TEST_F(BrowserAuthenticationSessionTest, EveryStartedFlowCompletesWhateverCutsIn) {
    struct Case {
        const char* name;
        bool secondStart;  // else the timer fires as soon as it is armed
        std::vector<std::optional<Kind>> first;
        std::vector<std::optional<Kind>> second;
    };
    const Case cases[] = {
        {"another start", true, {Kind::canceledLogin}, {Kind::canceledLogin}},
        {"an instant time limit", false, {Kind::timedOut}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ArmingHookScheduler scheduler;
        BrowserAuthenticationSession session(main, scheduler, {"/bin/true"}, limit);
        Recorder first;
        Recorder second;
        scheduler.onArmed = [&] {
            if (c.secondStart) {
                EXPECT_TRUE(session.start(startURL, "vask", second.completion()));
            } else {
                scheduler.runEverything();
            }
        };
        ASSERT_TRUE(session.start(startURL, "vask", first.completion()));
        session.cancel();  // ends whatever is still pending
        main.runUntilIdle();
        std::vector<std::optional<Kind>> firstKinds;
        std::vector<std::optional<Kind>> secondKinds;
        for (std::size_t i = 0; i < first.outcomes.size(); ++i) {
            firstKinds.push_back(first.errorKind(i));
        }
        for (std::size_t i = 0; i < second.outcomes.size(); ++i) {
            secondKinds.push_back(second.errorKind(i));
        }
        EXPECT_EQ(firstKinds, c.first);
        EXPECT_EQ(secondKinds, c.second);
    }
}

TEST_F(BrowserAuthenticationSessionTest, TimeLimitCountsFromEachFlowsOwnStart) {
    auto session = makeSession();
    Recorder first;
    ASSERT_TRUE(session->start(startURL, "vask", first.completion()));
    clock.advance(limit / 2);
    ASSERT_TRUE(session->deliverCallback(callbackURL));
    Recorder second;
    ASSERT_TRUE(session->start(startURL, "vask", second.completion()));
    clock.advance(limit - 1ms);  // past the first flow's limit, not the second's
    main.runUntilIdle();
    EXPECT_TRUE(second.outcomes.empty());
    clock.advance(1ms);
    main.runUntilIdle();
    ASSERT_EQ(second.outcomes.size(), 1u);
    EXPECT_EQ(second.errorKind(), Kind::timedOut);
    EXPECT_TRUE(log->contains("web_auth_timed_out"));
    EXPECT_FALSE(session->deliverCallback(callbackURL));
}

TEST_F(BrowserAuthenticationSessionTest, RacingEndingsCompleteOnce) {
    for (int round = 0; round < 50; ++round) {
        auto session = makeSession();
        Recorder recorder;
        ASSERT_TRUE(session->start(startURL, "vask", recorder.completion()));
        std::atomic<int> accepted = 0;
        {
            std::vector<std::jthread> threads;
            for (int i = 0; i < 4; ++i) {
                threads.emplace_back([&] {
                    if (session->deliverCallback(callbackURL)) {
                        ++accepted;
                    }
                });
            }
            threads.emplace_back([&] { session->cancel(); });
            threads.emplace_back([&] { clock.advance(limit); });
        }
        main.runUntilIdle();
        EXPECT_EQ(recorder.outcomes.size(), 1u);
        EXPECT_LE(accepted.load(), 1);
        EXPECT_EQ(accepted.load() == 1, recorder.outcomes[0].ok());
    }
}

TEST_F(BrowserAuthenticationSessionTest, DestroyingTheSessionDropsThePendingFlow) {
    Recorder recorder;
    {
        auto session = makeSession();
        ASSERT_TRUE(session->start(startURL, "vask", recorder.completion()));
    }
    clock.advance(limit);
    main.runUntilIdle();
    EXPECT_TRUE(recorder.outcomes.empty());
}

}  // namespace
}  // namespace vask
