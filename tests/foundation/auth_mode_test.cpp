#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "platform/iso8601.h"
#include "support/credential_stack.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using Op = InMemorySecretBackend::Operation;

std::string cloudRecord(const std::string& accessToken) {
    return CloudAuthSession{accessToken, "refresh", *parseISO8601("2030-01-01T00:00:00Z"), "u",
                            "e@example.com"}
        .encoded();
}

TEST(AuthModeResolverTest, ResolutionOrder) {
    struct Case {
        const char* name;
        bool allowsAPIKey;
        std::optional<std::string> envKey;
        std::optional<std::string> customerToken;
        std::optional<std::string> cloud;  // stored record text
        std::optional<std::string> storedKey;
        AuthMode expected;
        const char* mode;
    };
    const Case cases[] = {
        {"environment key wins when allowed", true, " env-key\n", "tok", cloudRecord("acc"),
         "stored", AuthMode::apiKey("env-key"), "api_key_env"},
        {"environment key ignored when not allowed", false, "env-key", std::nullopt, std::nullopt,
         "stored", AuthMode::none(), "none"},
        {"blank environment key falls through", true, " \n", std::nullopt, std::nullopt, "stored",
         AuthMode::apiKey("stored"), "api_key_stored"},
        {"managed before the stored key", true, std::nullopt, "tok", cloudRecord("acc"), "stored",
         AuthMode::managed("tok", "acc"), "managed"},
        {"customer token trimmed, access token untouched", false, std::nullopt, "tok\n",
         cloudRecord(" acc "), std::nullopt, AuthMode::managed("tok", " acc "), "managed"},
        {"customer token without a cloud record", false, std::nullopt, "tok", std::nullopt,
         std::nullopt, AuthMode::none(), "none"},
        {"blank customer token", false, std::nullopt, " \t", cloudRecord("acc"), std::nullopt,
         AuthMode::none(), "none"},
        {"empty access token", true, std::nullopt, "tok", cloudRecord(""), std::nullopt,
         AuthMode::none(), "none"},
        {"blank access token is still a token", false, std::nullopt, "tok", cloudRecord(" "),
         std::nullopt, AuthMode::managed("tok", " "), "managed"},
        {"stored key trimmed", true, std::nullopt, std::nullopt, std::nullopt, " key \n",
         AuthMode::apiKey("key"), "api_key_stored"},
        {"blank stored key", true, std::nullopt, std::nullopt, std::nullopt, "  ", AuthMode::none(),
         "none"},
        {"stored key not allowed", false, std::nullopt, std::nullopt, std::nullopt, "key",
         AuthMode::none(), "none"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::CredentialStack s;
        if (c.customerToken)
            s.put("corvane.customer.token", *c.customerToken);
        if (c.cloud)
            s.put("cloud.auth.session", *c.cloud);
        if (c.storedKey)
            s.put("corvane.api.key", *c.storedKey);
        Environment env;
        if (c.envKey)
            env["CORVANE_API_KEY"] = *c.envKey;
        test::LogCapture log;
        const AuthModeResolver resolver{s.tokens, s.cloud, s.keys, env, c.allowsAPIKey};
        EXPECT_TRUE(resolver.resolve() == c.expected);
        const auto events = log->events("auth_mode_resolved");
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].metadata.at("mode"), c.mode);
        EXPECT_FALSE(log->contains("auth_mode_keychain_error"));
    }
}

// Credentials (the customer token, or the cloud session beside it) behind a locked keyring are an
// account that needs unlocking, and behind a keyring that does not answer unknown: neither is a
// signed-out user (a question must not go
// out without credentials). Every other storage failure falls through to the next way of
// signing in.
TEST(AuthModeResolverTest, StorageFailuresAreLoggedAndFallThrough) {
    struct Case {
        const char* name;
        Op op;
        const char* account;
        std::string cloud;
        AuthMode expected;
        SecretBackend::Status status = SecretBackend::interactionNotAllowed;
    };
    const Case cases[] = {
        {"customer token locked", Op::copyMatching, "corvane.customer.token", cloudRecord("acc"),
         AuthMode::keyringLocked()},
        {"customer token unreadable", Op::copyMatching, "corvane.customer.token",
         cloudRecord("acc"), AuthMode::apiKey("stored"), SecretBackend::internalError},
        {"customer token not answered", Op::copyMatching, "corvane.customer.token",
         cloudRecord("acc"), AuthMode::keyringNotAnswering(), SecretBackend::cancelled},
        {"keyring gone", Op::copyMatching, "corvane.customer.token", cloudRecord("acc"),
         AuthMode::keyringNotAvailable(), SecretBackend::notAvailable},
        {"cloud record locked", Op::copyMatching, "cloud.auth.session", cloudRecord("acc"),
         AuthMode::keyringLocked()},
        {"cloud record not answered", Op::copyMatching, "cloud.auth.session", cloudRecord("acc"),
         AuthMode::keyringNotAnswering(), SecretBackend::cancelled},
        {"cloud record unreadable", Op::copyMatching, "cloud.auth.session", cloudRecord("acc"),
         AuthMode::apiKey("stored"), SecretBackend::internalError},
        {"cloud record corrupt", Op::add, "unused", "{corrupt", AuthMode::apiKey("stored")},
        {"stored key unreadable", Op::copyMatching, "corvane.api.key", "{corrupt",
         AuthMode::none()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::CredentialStack s;
        s.put("corvane.customer.token", "tok");
        s.put("cloud.auth.session", c.cloud);
        s.put("corvane.api.key", "stored");
        s.backend->fail(c.op, c.account, c.status);
        test::LogCapture log;
        const bool keyReadFails = std::string(c.account) == "corvane.api.key";
        const AuthModeResolver resolver{s.tokens, s.cloud, s.keys, {}, true};
        EXPECT_TRUE(resolver.resolve() == c.expected);
        EXPECT_EQ(log->events("auth_mode_keychain_error").size(), keyReadFails ? 2u : 1u);
    }
}

// A locked keyring says nothing of what it holds (it may hide every item), and neither does a
// bus without one: whether the user is signed in behind it is what Vask's own sign-in record
// says, and an earlier version's settings (no record) fall back on what stood for one. What the
// keyring answers keeps the record in step (an account notes a sign-in, none a sign-out); a
// keyring that is not there notes nothing.
TEST(AuthModeResolverTest, ALockedKeyringHoldsAnAccountOnlyAsTheSignInRecordSays) {
    struct Case {
        const char* name;
        std::optional<bool> recorded;  // nothing: never written
        bool before;                   // what an earlier version's settings stand for
        bool locked;
        bool stored;  // an account in the keyring
        AuthMode expected;
        std::optional<bool> recordedAfter;
    };
    const Case cases[] = {
        {"signed in, locked", true, false, true, true, AuthMode::keyringLocked(), true},
        {"signed out, locked", false, true, true, true, AuthMode::none(), false},
        {"never signed in, locked", std::nullopt, false, true, false, AuthMode::none(),
         std::nullopt},
        {"an earlier version's sign-in, locked", std::nullopt, true, true, true,
         AuthMode::keyringLocked(), std::nullopt},
        {"the keyring answers with the account", false, false, false, true,
         AuthMode::managed("tok", "acc"), true},
        {"the keyring answers with none", true, false, false, false, AuthMode::none(), false},
        {"the keyring answers with none, never recorded", std::nullopt, true, false, false,
         AuthMode::none(), false},
        {"signed in, no keyring on the bus", true, false, false, true,
         AuthMode::keyringNotAvailable(), true},
        {"signed out, no keyring on the bus", false, true, false, true, AuthMode::none(), false},
        {"an earlier version's sign-in, no keyring on the bus", std::nullopt, true, false, true,
         AuthMode::keyringNotAvailable(), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::CredentialStack s;
        if (c.stored) {
            s.put("corvane.customer.token", "tok");
            s.put("cloud.auth.session", cloudRecord("acc"));
        }
        if (c.locked) {
            s.backend->fail(Op::copyMatching, "corvane.customer.token",
                            SecretBackend::interactionNotAllowed);
        } else if (std::string_view(c.name).find("no keyring") != std::string_view::npos) {
            s.backend->fail(Op::copyMatching, "corvane.customer.token",
                            SecretBackend::notAvailable);
        }
        InMemoryDefaults defaults;
        if (c.recorded) {
            defaults.set("signedIn", *c.recorded);
        }
        SignInRecord record(defaults, "signedIn", [&c] { return c.before; });
        const AuthModeResolver resolver{
            s.tokens, s.cloud, s.keys, {}, false, StructuredLogger("auth-mode"), &record};
        EXPECT_TRUE(resolver.resolve() == c.expected);
        EXPECT_EQ(defaults.boolValue("signedIn").optional(), c.recordedAfter);
    }
}

// A resolution reads the keyring, then notes what it found: a sign-in or sign-out the user made
// meanwhile is newer, and is never written over, whichever it found.
TEST(SignInRecordTest, AResolutionNeverWritesOverAStepMadeWhileItRead) {
    struct Case {
        const char* name;
        bool found;  // the keyring answered with the account (else with none)
        std::function<void(SignInRecord&)> meanwhile;
        bool after;
    };
    const Case cases[] = {
        {"found, nothing meanwhile", true, [](SignInRecord&) {}, true},
        {"none found, nothing meanwhile", false, [](SignInRecord&) {}, false},
        {"found, signed out meanwhile", true, [](SignInRecord& r) { r.noteSignedOut(); }, false},
        {"none found, signed in meanwhile", false, [](SignInRecord& r) { r.noteSignedIn(); },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InMemoryDefaults defaults;
        SignInRecord record(defaults, "signedIn");
        const auto before = record.steps();
        c.meanwhile(record);
        c.found ? static_cast<void>(record.noteFound(before)) : record.noteNoneFound(before);
        EXPECT_EQ(record.signedIn(), c.after);
    }
}

// Settings found damaged may have held the record: it is unknown, taken as signed in (a locked
// keyring offers Unlock), and stays unknown through the next change of the settings, which
// replaces the damaged file, until the keyring answers.
TEST(SignInRecordTest, DamagedSettingsLeaveTheRecordUnknownUntilTheKeyringAnswers) {
    test::TempDir dir;
    const auto path = dir / "settings.json";
    std::ofstream(path) << "{\"signedIn\": tr";
    {
        JsonFileDefaults damaged(path);
        SignInRecord record(damaged, "signedIn");
        EXPECT_TRUE(record.signedIn());
        record.keepUnknownIfDamaged();
        damaged.set("other", 1);
    }
    JsonFileDefaults replaced(path);
    EXPECT_FALSE(replaced.foundDamaged());
    SignInRecord record(replaced, "signedIn");
    EXPECT_TRUE(record.signedIn()) << "the next start still offers Unlock";
    record.noteNoneFound(record.steps());
    EXPECT_FALSE(record.signedIn());
    EXPECT_FALSE(JsonFileDefaults(path).boolValue("signedInUnknown").optional().has_value());
}

// A keyring locked at start (its items out of sight), or one that does not answer, holds the
// account back only until it is asked again: once it is unlocked (here or elsewhere) or answers,
// the next use after the pause is signed in, and nothing it said meanwhile was kept as "absent".
TEST(AuthModeCacheTest, AModeTheKeyringHeldBackIsAskedAgainAtLaterUse) {
    const std::pair<SecretBackend::Status, AuthMode> holds[] = {
        {SecretBackend::interactionNotAllowed, AuthMode::keyringLocked()},
        {SecretBackend::cancelled, AuthMode::keyringNotAnswering()},
    };
    for (const auto& [status, held] : holds) {
        SCOPED_TRACE(status);
        test::CredentialStack s;
        s.put("corvane.customer.token", "tok");
        s.put("cloud.auth.session", cloudRecord("acc"));
        s.backend->fail(Op::copyMatching, "corvane.customer.token", status);
        test::FakeClock clock;
        AuthModeCache cache([&] { return s.resolve(); }, std::chrono::seconds(2), clock);
        EXPECT_TRUE(cache.get() == held);
        s.backend->clearFailures();
        clock.advance(std::chrono::milliseconds(1500));
        EXPECT_TRUE(cache.get() == held) << "the steps of one use ask once";
        EXPECT_TRUE(cache.latestIsUsable());
        clock.advance(std::chrono::milliseconds(600));
        EXPECT_FALSE(cache.latestIsUsable()) << "a question waits for the keyring's answer";
        EXPECT_TRUE(cache.get() == AuthMode::managed("tok", "acc"));
        EXPECT_TRUE(cache.latestIsUsable());
        clock.advance(std::chrono::hours(1));
        EXPECT_TRUE(cache.isCurrent()) << "a signed-in mode is kept";
    }
}

// Asking a keyring that held the mode back again (a connection that may wait out its limit)
// holds no lock: an emptying and the get() after it (a sign-out's) resolve while it waits, and
// only a held mode that is due asks it, never a fill after an emptying.
TEST(AuthModeCacheTest, AskingTheKeyringAgainHoldsNothing) {
    test::FakeClock clock;
    std::atomic<int> asked = 0;
    std::promise<void> asking;
    std::promise<void> answer;
    auto answered = answer.get_future().share();
    std::atomic<bool> signedOut = false;
    std::atomic<bool> reasking = false;
    AuthModeCache cache(
        [&] { return signedOut ? AuthMode::none() : AuthMode::keyringNotAnswering(); },
        std::chrono::seconds(2), clock, [&] {
            ++asked;
            if (reasking.exchange(false)) {
                asking.set_value();
                answered.wait();
            }
        });
    EXPECT_TRUE(cache.get().isKeyringNotAnswering());
    EXPECT_EQ(asked, 0) << "a first fill reads what it needs itself";
    clock.advance(std::chrono::milliseconds(2100));
    reasking = true;
    auto reask = std::async(std::launch::async, [&] { return cache.get(); });
    asking.get_future().wait();

    auto signOut = std::async(std::launch::async, [&] {
        signedOut = true;
        cache.reset();
        return cache.get();
    });
    // A guard against a hung test, not a measure: the keyring is let go either way.
    const bool beside = signOut.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    answer.set_value();
    EXPECT_TRUE(beside) << "resolved while the keyring is asked again";
    EXPECT_TRUE(signOut.get().isNone());
    EXPECT_EQ(asked, 1) << "a fill after an emptying asks nothing";
    EXPECT_TRUE(reask.get().isNone()) << "the re-ask finds the sign-out's mode";
}

TEST(AuthModeCacheTest, ResolvesOncePerFill) {
    std::atomic<int> resolutions = 0;
    AuthModeCache cache([&] {
        ++resolutions;
        return AuthMode::managed("tok-" + std::to_string(resolutions.load()), "acc");
    });
    EXPECT_TRUE(cache.get() == AuthMode::managed("tok-1", "acc"));
    EXPECT_TRUE(cache.get() == AuthMode::managed("tok-1", "acc"));
    EXPECT_EQ(resolutions, 1);
    cache.reset();
    cache.reset();
    EXPECT_TRUE(cache.get() == AuthMode::managed("tok-2", "acc"));
    EXPECT_EQ(resolutions, 2);
}

// Readers racing a reset: every reader sees either the old or the new mode, and a read that
// starts after the last reset always resolves afresh.
TEST(AuthModeCacheTest, ConcurrentFirstReadsResolveOnceAndResetIsNeverLost) {
    std::atomic<int> resolutions = 0;
    std::atomic<int> generation = 0;
    AuthModeCache cache([&] {
        ++resolutions;
        return AuthMode::apiKey(std::to_string(generation.load()));
    });
    std::vector<std::thread> readers;
    for (int i = 0; i < 8; ++i) {
        readers.emplace_back([&] { cache.get(); });
    }
    for (auto& t : readers) {
        t.join();
    }
    EXPECT_EQ(resolutions, 1);

    readers.clear();
    std::atomic<bool> stop = false;
    for (int i = 0; i < 4; ++i) {
        readers.emplace_back([&] {
            while (!stop) {
                cache.get();
            }
        });
    }
    for (int g = 1; g <= 100; ++g) {
        generation = g;
        cache.reset();
        EXPECT_TRUE(cache.get() == AuthMode::apiKey(std::to_string(g)));
    }
    stop = true;
    for (auto& t : readers) {
        t.join();
    }
}

// A resolution that read the stores before a sign-out empties the cache must not put the
// signed-in mode back after it.
TEST(AuthModeCacheTest, ResolutionStartedBeforeAResetNeverStoresItsAnswerAfterIt) {
    std::mutex mutex;
    std::condition_variable changed;
    bool resolving = false;
    bool resetReturned = false;
    std::string stored = "signed-in";
    AuthModeCache cache([&] {
        std::unique_lock lock(mutex);
        const auto read = stored;
        resolving = true;
        changed.notify_all();
        // Held until the reset below has returned, or for a while when the reset is (rightly)
        // kept waiting for this resolution.
        changed.wait_for(lock, std::chrono::milliseconds(200), [&] { return resetReturned; });
        return read.empty() ? AuthMode::none() : AuthMode::apiKey(read);
    });

    auto reader = std::async(std::launch::async, [&] { return cache.get(); });
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return resolving; });
        stored.clear();  // signed out while the reader resolves
    }
    auto signOut = std::async(std::launch::async, [&] {
        cache.reset();
        std::lock_guard lock(mutex);
        resetReturned = true;
        changed.notify_all();
    });
    signOut.get();
    EXPECT_TRUE(reader.get() == AuthMode::apiKey("signed-in"));
    EXPECT_TRUE(cache.get().isNone());
}

}  // namespace
}  // namespace vask
