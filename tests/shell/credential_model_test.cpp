// The whole credential state machine against a small model, with generated sequences of keyring
// events and user actions (RapidCheck), each action run in a launch that may die after any of its
// writes. Checked after each step, at the next start: a sign-out is never undone, no token comes
// back after a sign-out, a sign-in is never lost, and Settings' and the chats' words are those the
// model names for the keyring's state.
#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/gtest.h>
#include <rapidcheck/state.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "chat/chat_view_model.h"
#include "foundation/account_storage.h"
#include "foundation/auth_mode_resolver.h"
#include "foundation/secret_storage_choice.h"
#include "platform/file_secret_backend.h"
#include "shell/settings_presenter.h"
#include "support/fake_clock.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/watched_defaults.h"

namespace vask {
namespace {

constexpr const char* service = "svc";
using AfterWrite = std::function<void()>;

// The desktop's keyring: unlocked, locked (its items out of sight, as a login keyring locked at
// start), hung (it owns its name and answers nothing), or gone (no Secret Service on the bus).
enum class Keyring { unlocked, locked, hung, gone };

const char* nameOf(Keyring keyring) {
    switch (keyring) {
        case Keyring::unlocked:
            return "unlocked";
        case Keyring::locked:
            return "locked";
        case Keyring::hung:
            return "hung";
        case Keyring::gone:
            return "gone";
    }
    return "?";
}

// The keyring's items, kept in a file of their own so that what it took outlives a launch that
// dies, answering as its state says.
class ModelKeyring final : public SecretBackend {
  public:
    ModelKeyring(const std::filesystem::path& file, const Keyring& state)
        : items_(file), state_(state) {}

    ReadResult copyMatching(std::string_view svc, std::string_view account) override {
        if (const auto no = refusal()) {
            return {no->status, std::nullopt, no->reason};
        }
        return items_.copyMatching(svc, account);
    }
    Outcome update(std::string_view svc, std::string_view account, std::string_view data) override {
        return refusal() ? *refusal() : items_.update(svc, account, data);
    }
    Outcome add(std::string_view svc, std::string_view account, std::string_view data) override {
        return refusal() ? *refusal() : items_.add(svc, account, data);
    }
    Outcome remove(std::string_view svc, std::string_view account) override {
        return refusal() ? *refusal() : items_.remove(svc, account);
    }
    Outcome removeService(std::string_view svc) override {
        return refusal() ? *refusal() : items_.removeService(svc);
    }
    // The user typed the password before this is asked (the harness unlocked it).
    Outcome unlock(std::string_view) override { return refusal().value_or(success); }
    std::string_view kind() const override { return "model"; }

  private:
    std::optional<Outcome> refusal() const {
        switch (state_) {
            case Keyring::unlocked:
                return std::nullopt;
            case Keyring::locked:
                return Outcome(interactionNotAllowed, "the keyring is locked");
            case Keyring::hung:
                return Outcome(cancelled, "the Secret Service did not answer in time");
            case Keyring::gone:
                return Outcome(notAvailable, "no Secret Service");
        }
        return std::nullopt;
    }

    FileSecretBackend items_;
    const Keyring& state_;
};

// The system: a data folder, the keyring, and what the user's account may be after what ran
// (a launch that died leaves one of several), narrowed by what each start shows.
struct Harness {
    test::TempDir dir;
    test::FakeClock clock;
    Keyring keyring = Keyring::unlocked;
    // nothing: signed out.
    std::set<std::optional<std::string>> possible{std::nullopt};
    // The settings were damaged since the keyring last answered or the user last signed in or
    // out: the record of the sign-in is unknown, and a locked keyring offers Unlock.
    bool recordUnknown = false;

    SecretStorageChoice::Keyring desktop() {
        return {
            .connect = [this](SecretBackend::Outcome& whyNot) -> std::shared_ptr<SecretBackend> {
                if (keyring == Keyring::hung) {
                    whyNot = {SecretBackend::cancelled, "did not answer in time"};
                    return nullptr;
                }
                if (keyring == Keyring::gone) {
                    whyNot = {SecretBackend::notAvailable, "no Secret Service"};
                    return nullptr;
                }
                return std::make_shared<ModelKeyring>(dir / "keyring.json", keyring);
            },
            .defaultKeyring =
                [this](std::string& whyNot) -> std::optional<LibsecretBackend::DefaultKeyring> {
                if (keyring == Keyring::unlocked) {
                    return LibsecretBackend::DefaultKeyring::unlocked;
                }
                if (keyring == Keyring::locked) {
                    return LibsecretBackend::DefaultKeyring::locked;
                }
                whyNot = "no answer";
                return std::nullopt;
            },
        };
    }
    void add(std::optional<std::string> account) { possible.insert(std::move(account)); }
};

// One start of the application over the data folder: the storage chosen (settling the record
// into an unlocked keyring), the settings, the account's stores.
struct Launch {
    Launch(Harness& h, const AfterWrite& afterWrite)
        : defaults(h.dir / "settings.json", afterWrite),
          storage(SecretStorageChoice{.keyring = h.desktop(),
                                      .supportDirectory = [&h] { return h.dir.path(); },
                                      .defaults = defaults,
                                      .keptKey = "kept",
                                      .clock = h.clock,
                                      .afterWrite = afterWrite}
                      .choose()) {}

    AccountStorage account() { return {tokens, cloud, keys, &keychain, &record}; }
    AuthMode resolve() {
        return AuthModeResolver{tokens, cloud, keys, {}, false, StructuredLogger("auth-mode"),
                                &record}
            .resolve();
    }

    test::WatchedDefaults defaults;
    std::shared_ptr<SecretBackend> storage;
    KeychainStore keychain{service, storage};
    CloudAuthStore cloud{keychain};
    CustomerTokenStore tokens{keychain};
    APIKeyStore keys{keychain};
    SignInRecord record{defaults, "account.signedIn"};
};

enum class Ended { killed, done, threw };

// Runs `step` in a launch that dies right after its `killAt`-th write (a forked one), or in one
// of this process's own that does not die (0).
Ended inLaunch(Harness& h, int killAt, const std::function<void(Launch&)>& step) {
    if (killAt == 0) {
        try {
            Launch launch(h, {});
            step(launch);
        } catch (...) {
            return Ended::threw;
        }
        return Ended::done;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        int writes = 0;
        try {
            Launch launch(h, [&] {
                if (++writes == killAt) {
                    ::_exit(0);
                }
            });
            step(launch);
        } catch (...) {
            ::_exit(2);
        }
        ::_exit(1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    RC_ASSERT(WIFEXITED(status));
    return WEXITSTATUS(status) == 0   ? Ended::killed
           : WEXITSTATUS(status) == 1 ? Ended::done
                                      : Ended::threw;
}

GoogleAuthResult accountOf(const std::string& token) {
    return {.customerToken = token,
            .accessToken = "access-" + token,
            .refreshToken = "refresh-" + token,
            .refreshExpiresAt = Clock::WallTime{},
            .userID = "user-" + token,
            .userEmail = token + "@example.com"};
}

// The Settings row and the chat's words for a mode.
std::string settingsText(const AuthMode& mode) {
    std::optional<std::string> email;
    if (const auto* managed = mode.asManaged()) {
        email = managed->customerToken + "@example.com";
    }
    return settings::account::present(mode, email, false).text;
}
std::string chatText(const AuthMode& mode) {
    return std::string(ChatViewModel::heldText(ChatViewModel::heldBack(mode)));
}

// What the next start shows, checked against the model, which it then narrows.
void checkNextStart(Harness& h) {
    Launch launch(h, {});
    const auto mode = launch.resolve();
    const bool maySignedIn =
        h.recordUnknown || std::any_of(h.possible.begin(), h.possible.end(),
                                       [](const auto& a) { return a.has_value(); });
    if (const auto* managed = mode.asManaged()) {
        // Never a token signed out of, and never one other than the last sign-in.
        RC_ASSERT(h.possible.count(managed->customerToken) == 1u);
        h.possible = {managed->customerToken};
        h.recordUnknown = h.recordUnknown && h.keyring != Keyring::unlocked;
    } else if (mode.isNone()) {
        // A sign-in that ended is never lost.
        RC_ASSERT(h.possible.count(std::nullopt) == 1u);
        h.possible = {std::nullopt};
        h.recordUnknown = h.recordUnknown && h.keyring != Keyring::unlocked;
    } else if (mode.isKeyringLocked()) {
        RC_ASSERT(h.keyring == Keyring::locked);
        RC_ASSERT(maySignedIn);
    } else if (mode.isKeyringNotAvailable()) {
        RC_ASSERT(h.keyring == Keyring::gone);
        RC_ASSERT(maySignedIn);
    } else {
        RC_ASSERT(mode.isKeyringNotAnswering());
        RC_ASSERT(h.keyring == Keyring::hung);
    }
    // The words each screen shows for it.
    using namespace settings::account;
    const std::string shown = settingsText(mode);
    const std::string asked = chatText(mode);
    switch (h.keyring) {
        case Keyring::unlocked:
            RC_ASSERT(asked.empty());
            break;
        case Keyring::locked:
            RC_ASSERT(shown == (mode.isKeyringLocked() ? std::string(keyringLockedText)
                                                       : settingsText(mode)));
            RC_ASSERT(
                asked ==
                (mode.isKeyringLocked() ? std::string(ChatViewModel::keyringLockedText) : ""));
            break;
        case Keyring::hung:
            RC_ASSERT(mode.asManaged() != nullptr || mode.isNone() ||
                      (shown == keyringNotAnsweringText &&
                       asked == ChatViewModel::keyringNotAnsweringText));
            break;
        case Keyring::gone:
            RC_ASSERT(mode.asManaged() != nullptr || mode.isNone() ||
                      (shown == keyringNotAvailableText &&
                       asked == ChatViewModel::keyringNotAvailableText &&
                       present(mode, std::nullopt, false).tryAgain));
            break;
    }
    if (mode.isNone()) {
        RC_ASSERT(shown == std::string(notSignedInText));
    }
}

// What the generated sequences see of the system: the keyring's state and how many sign-ins
// there were (each signs in a new account).
struct Model {
    Keyring keyring = Keyring::unlocked;
    int signIns = 0;
};

using Command = rc::state::Command<Model, Harness>;

// A point to die after: 0 never.
int killPoint() {
    return *rc::gen::weightedOneOf<int>({{2, rc::gen::just(0)}, {3, rc::gen::inRange(1, 9)}});
}

struct SignIn final : Command {
    int killAt = killPoint();
    void apply(Model& m) const override { ++m.signIns; }
    void run(const Model& m, Harness& h) const override {
        const std::string token = "t" + std::to_string(m.signIns + 1);
        const auto ended =
            inLaunch(h, killAt, [&](Launch& l) { l.account().store(accountOf(token)); });
        if (ended == Ended::done) {
            h.possible = {token};
            h.recordUnknown = false;
        } else {
            // Cut short: the account before, none, or the new one.
            h.add(token);
            h.add(std::nullopt);
        }
        checkNextStart(h);
    }
    void show(std::ostream& os) const override { os << "SignIn(killAt=" << killAt << ")"; }
};

struct SignOut final : Command {
    int killAt = killPoint();
    void run(const Model&, Harness& h) const override {
        const auto ended = inLaunch(h, killAt, [](Launch& l) { l.account().remove(); });
        if (ended == Ended::done) {
            h.possible = {std::nullopt};
            h.recordUnknown = false;
        } else {
            h.add(std::nullopt);
        }
        checkNextStart(h);
    }
    void show(std::ostream& os) const override { os << "SignOut(killAt=" << killAt << ")"; }
};

// Unlock pressed, and the password typed into the keyring's prompt.
struct Unlock final : Command {
    int killAt = killPoint();
    void checkPreconditions(const Model& m) const override { RC_PRE(m.keyring == Keyring::locked); }
    void apply(Model& m) const override { m.keyring = Keyring::unlocked; }
    void run(const Model&, Harness& h) const override {
        h.keyring = Keyring::unlocked;
        inLaunch(h, killAt, [](Launch& l) { l.storage->unlock(service); });
        checkNextStart(h);
    }
    void show(std::ostream& os) const override { os << "Unlock(killAt=" << killAt << ")"; }
};

// A start (or Try Again: the credentials read afresh), which settles the record into an unlocked
// keyring.
struct Restart final : Command {
    int killAt = killPoint();
    void run(const Model&, Harness& h) const override {
        inLaunch(h, killAt, [](Launch& l) { l.resolve(); });
        checkNextStart(h);
    }
    void show(std::ostream& os) const override { os << "Restart(killAt=" << killAt << ")"; }
};

// The keyring changes on its own: locked, unlocked outside Vask, hung, gone, appearing (locked
// or not), or restarted (a new daemon, locked).
struct KeyringChange final : Command {
    Keyring to =
        *rc::gen::element(Keyring::unlocked, Keyring::locked, Keyring::hung, Keyring::gone);
    void checkPreconditions(const Model& m) const override { RC_PRE(m.keyring != to); }
    void apply(Model& m) const override { m.keyring = to; }
    void run(const Model&, Harness& h) const override {
        h.keyring = to;
        checkNextStart(h);
    }
    void show(std::ostream& os) const override { os << "Keyring(" << nameOf(to) << ")"; }
};

// The settings file damaged (cut short by a crash elsewhere, edited by hand).
struct DamageSettings final : Command {
    void run(const Model&, Harness& h) const override {
        std::ofstream(h.dir / "settings.json", std::ios::trunc) << "{\"account.signedIn\": tr";
        h.recordUnknown = true;
        checkNextStart(h);
    }
    void show(std::ostream& os) const override { os << "DamageSettings"; }
};

// The sequences of the test command: a fixed seed, so a run is the same each time.
constexpr std::uint64_t seed = 20261208;

TEST(CredentialModelTest, EveryGeneratedSequenceKeepsWhatTheUserDid) {
    rc::detail::TestParams params;
    params.seed = seed;
    params.maxSuccess = 250;
    params.maxSize = 30;
    rc::detail::TestMetadata metadata;
    metadata.id = "CredentialModelTest/EveryGeneratedSequenceKeepsWhatTheUserDid";
    const auto result = rc::detail::checkTestable(
        [] {
            test::LogCapture quiet;
            Harness harness;
            rc::state::check(Model{}, harness,
                             rc::state::gen::execOneOfWithArgs<SignIn, SignOut, Unlock, Restart,
                                                               KeyringChange, DamageSettings>());
        },
        metadata, params);
    if (!result.template is<rc::detail::SuccessResult>()) {
        std::ostringstream message;
        rc::detail::printResultMessage(result, message);
        FAIL() << message.str();
    }
}

}  // namespace
}  // namespace vask
