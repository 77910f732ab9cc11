#include <gtest/gtest.h>

#include "platform/user_defaults.h"
#include "shell/settings_presenter.h"

namespace vask {
namespace {

using settings::Section;

// Each locale's own pattern and words, never English order with translated month names.
TEST(SettingsPresenter, DatesFollowTheLocalesOwnPattern) {
    const Clock::WallTime at(std::chrono::seconds(1796631720));  // 2026-12-07 08:22 UTC
    struct Case {
        const char* locale;
        const char* date;
        const char* dateTime;
    };
    const Case cases[] = {
        {"en_US", "Dec 7, 2026", "Dec 7, 2026, 8:22\u202FAM"},
        {"de_DE", "07.12.2026", "07.12.2026, 08:22"},
        {"fr_FR", "7 d\u00E9c. 2026", "7 d\u00E9c. 2026, 08:22"},
        {"ja_JP", "2026/12/07", "2026/12/07 8:22"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(settings::abbreviatedDate(at, c.locale, "UTC"), c.date) << c.locale;
        EXPECT_EQ(settings::abbreviatedDateTime(at, c.locale, "UTC"), c.dateTime) << c.locale;
    }
    EXPECT_EQ(settings::abbreviatedDate(at, "de_DE", "Pacific/Kiritimati"), "07.12.2026");
    EXPECT_EQ(settings::abbreviatedDateTime(at, "de_DE", "Pacific/Kiritimati"),
              "07.12.2026, 22:22");
}

TEST(SettingsPresenter, SectionsFollowTheAccount) {
    const auto managed = AuthMode::managed("tok", "acc");
    const std::optional<std::string> email = "ada@example.com";
    struct Case {
        const char* name;
        AuthMode mode;
        bool googleService;
        std::optional<std::string> email;
        std::vector<Section> expected;
    };
    const std::vector<Case> cases = {
        // Signed out, the account section offers a way to sign in.
        {"signed out",
         AuthMode::none(),
         true,
         std::nullopt,
         {Section::account, Section::contacts, Section::memory, Section::proactive}},
        {"signed out without a sign-in service",
         AuthMode::none(),
         false,
         std::nullopt,
         {Section::contacts, Section::memory, Section::proactive}},
        {"signed in with e-mail",
         managed,
         true,
         email,
         {Section::account, Section::plan, Section::contacts, Section::memory, Section::proactive}},
        {"e-mail not loaded yet",
         managed,
         true,
         std::nullopt,
         {Section::plan, Section::contacts, Section::memory, Section::proactive}},
        {"no sign-in service",
         managed,
         false,
         email,
         {Section::plan, Section::contacts, Section::memory, Section::proactive}},
        {"api key with a cached e-mail",
         AuthMode::apiKey("k"),
         true,
         email,
         {Section::plan, Section::contacts, Section::memory, Section::proactive}},
        // Held back by the keyring: the account says so, and no plan can be asked for.
        {"keyring locked",
         AuthMode::keyringLocked(),
         true,
         std::nullopt,
         {Section::account, Section::contacts, Section::memory, Section::proactive}},
        {"keyring not answering",
         AuthMode::keyringNotAnswering(),
         true,
         std::nullopt,
         {Section::account, Section::contacts, Section::memory, Section::proactive}},
        {"no keyring on the bus",
         AuthMode::keyringNotAvailable(),
         true,
         std::nullopt,
         {Section::account, Section::contacts, Section::memory, Section::proactive}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(settings::sections(c.mode, c.googleService, c.email), c.expected);
    }
}

// The account row: the e-mail with "Sign Out" once the keyring answers with the account;
// "Unlock" behind a locked keyring, none while its prompt is open; "Try Again" behind one that
// does not answer.
TEST(SettingsPresenter, TheAccountRowFollowsTheKeyring) {
    namespace account = settings::account;
    const std::optional<std::string> email = "ada@example.com";
    struct Case {
        const char* name;
        AuthMode mode;
        std::optional<std::string> email;
        bool unlocking;
        account::Row row;
        std::string_view text;
        bool signOut, signIn, unlock, tryAgain;
    };
    const Case cases[] = {
        {"signed in", AuthMode::managed("t", "a"), email, false, account::Row::signedIn,
         "ada@example.com", true, false, false, false},
        {"signed out, an old e-mail", AuthMode::none(), email, false, account::Row::signedOut,
         account::notSignedInText, false, true, false, false},
        {"locked", AuthMode::keyringLocked(), std::nullopt, false, account::Row::keyringLocked,
         account::keyringLockedText, false, false, true, false},
        {"unlocking", AuthMode::keyringLocked(), std::nullopt, true, account::Row::keyringUnlocking,
         account::keyringUnlockingText, false, false, false, false},
        {"not answering", AuthMode::keyringNotAnswering(), std::nullopt, false,
         account::Row::keyringNotAnswering, account::keyringNotAnsweringText, false, false, false,
         true},
        {"no keyring on the bus", AuthMode::keyringNotAvailable(), std::nullopt, false,
         account::Row::keyringNotAvailable, account::keyringNotAvailableText, false, false, false,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto shown = account::present(c.mode, c.email, c.unlocking);
        EXPECT_EQ(shown.row, c.row);
        EXPECT_EQ(shown.text, c.text);
        EXPECT_EQ(shown.signOut, c.signOut);
        EXPECT_EQ(shown.signIn, c.signIn);
        EXPECT_EQ(shown.unlock, c.unlock);
        EXPECT_EQ(shown.tryAgain, c.tryAgain);
    }
}

struct SignOutRecorder {
    GoogleSignInState after = GoogleSignInState::idle();
    std::vector<std::string> calls;
    bool windowActions = true;
    // The sign-out's end, held until the test lets it finish.
    std::function<void()> finishSignOut;

    settings::SignOutSteps steps() {
        auto record = [this](const char* name) { return [this, name] { calls.push_back(name); }; };
        return {
            .signOut =
                [this](std::function<void()> done) {
                    calls.push_back("signOut");
                    finishSignOut = std::move(done);
                },
            .state = [this] { return after; },
            .refreshCredentials = {record("refreshShared"), record("refreshPopover")},
            .dismissSettings = record("dismiss"),
            .resetOnboarding = record("resetOnboarding"),
            .closeMain = windowActions ? record("closeMain") : std::function<void()>{},
            .openOnboarding = windowActions ? record("openOnboarding") : std::function<void()>{},
        };
    }
};

TEST(SettingsPresenter, SignOut) {
    struct Case {
        const char* name;
        GoogleSignInState after;
        bool windowActions;
        std::vector<std::string> calls;
        std::optional<std::string> shown;
    };
    const std::vector<std::string> all = {"signOut",       "refreshShared",   "refreshPopover",
                                          "dismiss",       "resetOnboarding", "closeMain",
                                          "openOnboarding"};
    const std::string failure = "Failed to sign out: keychain locked";
    const std::vector<Case> cases = {
        {"completed", GoogleSignInState::idle(), true, all, std::nullopt},
        {"no window actions yet",
         GoogleSignInState::idle(),
         false,
         {all.begin(), all.begin() + 5},
         std::nullopt},
        {"failed: settings stay open",
         GoogleSignInState::error(failure),
         true,
         {"signOut", "refreshShared", "refreshPopover"},
         failure},
        // A sign-in error left from before is not a sign-out failure.
        {"older sign-in error", GoogleSignInState::error("Cancelled"), true, all, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SignOutRecorder recorder{c.after, {}, c.windowActions, {}};
        std::optional<std::optional<std::string>> shown;
        settings::signOut(recorder.steps(),
                          [&](std::optional<std::string> text) { shown = std::move(text); });
        // Nothing follows until the sign-out has finished.
        EXPECT_EQ(recorder.calls, std::vector<std::string>{"signOut"});
        EXPECT_FALSE(shown.has_value());
        ASSERT_TRUE(recorder.finishSignOut);
        recorder.finishSignOut();
        EXPECT_EQ(shown, std::optional<std::optional<std::string>>(c.shown));
        EXPECT_EQ(recorder.calls, c.calls);
    }
}

TEST(SettingsPresenter, ProactiveSwitchesReadTheirScopedKeysWithDefaults) {
    InMemoryDefaults defaults;
    const settings::ProactiveKeys keys{"showProactiveSurfaces.Dev", "personaDrafts.Dev"};
    EXPECT_FALSE(settings::showProactiveSurfaces(defaults, keys));
    EXPECT_TRUE(settings::personaDrafts(defaults, keys));
    defaults.set("showProactiveSurfaces", true);
    defaults.set("personaDrafts", false);
    EXPECT_FALSE(settings::showProactiveSurfaces(defaults, keys));
    EXPECT_TRUE(settings::personaDrafts(defaults, keys));
    defaults.set(keys.showProactiveSurfaces, true);
    EXPECT_TRUE(settings::showProactiveSurfaces(defaults, keys));
}

TEST(SettingsPresenter, ALateReloadCannotRestartANotifierSwitchedOffMeanwhile) {
    int epoch = 0;
    bool started = false;
    std::vector<std::function<void(const std::vector<AwaitingReply>&)>> reloads;
    std::vector<AwaitingReply> seeded;
    settings::ProactiveSwitchReaction reaction({
        .enableEpoch = [&] { return epoch; },
        .refresh =
            [&](bool debounce, std::function<void(const std::vector<AwaitingReply>&)> done) {
                EXPECT_FALSE(debounce);
                if (done) {
                    reloads.push_back(std::move(done));
                }
            },
        .start =
            [&](const std::vector<AwaitingReply>& seed, int at) {
                if (at == epoch) {
                    started = true;
                    seeded = seed;
                }
            },
        .stop =
            [&] {
                ++epoch;
                started = false;
            },
    });
    AwaitingReply waiting;
    waiting.chatId = "chat-1";

    reaction.switched(true);
    reaction.switched(false);
    ASSERT_EQ(reloads.size(), 1u);
    reloads[0]({waiting});
    EXPECT_FALSE(started);

    reaction.switched(true);
    reloads[1]({waiting});
    EXPECT_TRUE(started);
    ASSERT_EQ(seeded.size(), 1u);
    EXPECT_EQ(seeded[0].chatId, "chat-1");
}

TEST(SettingsPresenter, ContactsRows) {
    using settings::contacts::Row;
    struct Case {
        ContactsAuthorizationState state;
        bool busy;
        Row row;
        std::string action;
        bool enabled;
    };
    const std::vector<Case> cases = {
        {ContactsAuthorizationState::authorized, false, Row::enabled, "Sync Now", true},
        {ContactsAuthorizationState::authorized, true, Row::enabled, "Sync Now", false},
        {ContactsAuthorizationState::notDetermined, true, Row::unavailable, "Enable Contacts",
         false},
        // Refused access is Vask's own setting: no button that sends the user nowhere.
        {ContactsAuthorizationState::denied, false, Row::unavailable, "", true},
        {ContactsAuthorizationState::restricted, false, Row::restricted, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.action);
        const auto shown = settings::contacts::present(c.state, c.busy, std::nullopt, "boom");
        EXPECT_EQ(shown.row, c.row);
        EXPECT_EQ(shown.actionLabel, c.action);
        EXPECT_EQ(shown.actionEnabled, c.enabled);
        EXPECT_EQ(shown.error, "boom");
        EXPECT_FALSE(shown.lastSynced);
    }
}

}  // namespace
}  // namespace vask
