// A sign-in's and a sign-out's writes (the keyring's items, the record beside them, and the
// settings' record of the sign-in), each cut by a launch that dies after it.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "foundation/auth_mode_resolver.h"
#include "foundation/google_sign_in_view_model.h"
#include "platform/file_secret_backend.h"
#include "platform/journaled_keyring_backend.h"
#include "support/die_after_write.h"
#include "support/stand_in_keyring.h"
#include "support/temp_dir.h"
#include "support/watched_defaults.h"

namespace vask {
namespace {

using Mode = test::StandInKeyring::Mode;
using AfterWrite = std::function<void()>;

// One launch over a data folder: the keyring (kept in a file of its own, hiding its items while
// locked) with the record beside it, the settings, and the account's stores.
struct Launch {
    Launch(const std::filesystem::path& dir, Mode mode, const AfterWrite& afterWrite = {})
        : defaults(dir / "settings.json", afterWrite),
          backend(std::make_shared<JournaledKeyringBackend>(
              std::make_shared<test::StandInKeyring>(dir / "keyring.json", mode),
              std::make_shared<FileSecretBackend>(dir / "credentials.json"),
              std::make_shared<FileSecretBackend>(dir / "credentials-removed.json"), afterWrite)),
          mode_(mode) {}

    AccountStorage storage() { return {tokens, cloud, keys, &keychain, &record}; }
    // What the start shows: settled first when the keyring answers, as a start (or an unlock)
    // does.
    std::string start() {
        if (mode_ == Mode::answers) {
            backend->settle();
        }
        const auto mode =
            AuthModeResolver{tokens, cloud, keys, {}, false, StructuredLogger("auth-mode"), &record}
                .resolve();
        if (const auto* managed = mode.asManaged()) {
            return "signed in with " + managed->customerToken;
        }
        return mode.isKeyringLocked()         ? "locked"
               : mode.isKeyringNotAnswering() ? "not answering"
                                              : "signed out";
    }

    test::WatchedDefaults defaults;
    std::shared_ptr<JournaledKeyringBackend> backend;
    KeychainStore keychain{"svc", backend};
    CloudAuthStore cloud{keychain};
    CustomerTokenStore tokens{keychain};
    APIKeyStore keys{keychain};
    SignInRecord record{defaults, "account.signedIn"};

  private:
    Mode mode_;
};

GoogleAuthResult account(const std::string& token) {
    return {.customerToken = token,
            .accessToken = "access-" + token,
            .refreshToken = "refresh-" + token,
            .refreshExpiresAt = Clock::WallTime{},
            .userID = "user-" + token,
            .userEmail = token + "@example.com"};
}

using Step = std::function<void(AccountStorage)>;

Step signIn(const std::string& token) {
    return [token](AccountStorage storage) { storage.store(account(token)); };
}

void signOut(AccountStorage storage) {
    storage.remove();
}

// Runs `step` in a launch that dies right after its `crashAt`-th write (the keyring, the record
// beside it, or the settings). Whether the step ended before that write.
bool dieAfterWrite(const std::filesystem::path& dir, int crashAt, Mode mode, const Step& step) {
    return test::endedBeforeWrite(crashAt, [&](const AfterWrite& afterWrite) {
        Launch launch(dir, mode, afterWrite);
        try {
            step(launch.storage());
        } catch (const std::exception&) {
            // A store that refused: what it left is checked like any other end.
        }
    });
}

// Each sign-in and sign-out, cut after each of its writes in turn with a keyring that answers,
// is locked or does not answer; the next start comes with the keyring locked (its items out of
// sight), then the keyring is unlocked. A start that says signed out is signed out after the
// unlock too (nothing comes back), a sign-out is never undone, no start reads an account the
// user signed out of, and a sign-in that ended is the account after the unlock.
TEST(AccountStorageTest, EveryWriteOfSignInAndSignOutLeavesWhatTheUserAskedFor) {
    struct Case {
        const char* name;
        // Earlier launches, each with its keyring's answer.
        std::vector<std::pair<Mode, Step>> earlier;
        Step change;
        // After the unlock, once the change ended; a sign-in cut short may also leave the user
        // signed out, never anything else.
        std::string after;
    };
    const std::vector<Case> cases = {
        {"sign-in", {}, signIn("new"), "signed in with new"},
        {"sign-in after a sign-out behind the locked keyring",
         {{Mode::answers, signIn("old")}, {Mode::refuses, signOut}},
         signIn("new"),
         "signed in with new"},
        {"sign-out", {{Mode::answers, signIn("old")}}, signOut, "signed out"},
        {"sign-out of a sign-in the locked keyring did not take",
         {{Mode::answers, signIn("older")}, {Mode::refuses, signIn("old")}},
         signOut,
         "signed out"},
    };
    for (const auto& c : cases) {
        for (const Mode mode : {Mode::answers, Mode::refuses, Mode::silent}) {
            bool ended = false;
            for (int crashAt = 1; !ended; ++crashAt) {
                SCOPED_TRACE(std::string(c.name) + ", keyring " +
                             std::to_string(static_cast<int>(mode)) + ", dies after write " +
                             std::to_string(crashAt));
                test::TempDir folder;
                const auto& dir = folder.path();
                for (const auto& [earlierMode, step] : c.earlier) {
                    Launch launch(dir, earlierMode);
                    step(launch.storage());
                }
                ended = dieAfterWrite(dir, crashAt, mode, c.change);
                const std::string locked = Launch(dir, Mode::refuses).start();
                const std::string unlocked = Launch(dir, Mode::answers).start();
                EXPECT_TRUE(unlocked == c.after || (!ended && unlocked == "signed out"))
                    << "after the unlock: " << unlocked;
                if (locked == "signed out") {
                    EXPECT_EQ(unlocked, "signed out") << "an account came back after the unlock";
                }
                for (const auto& seen : {locked, unlocked}) {
                    EXPECT_TRUE(seen.find("old") == std::string::npos) << seen;
                }
                EXPECT_EQ(Launch(dir, Mode::answers).start(), unlocked) << "the next start";
                ASSERT_LT(crashAt, 30);
            }
        }
    }
}

}  // namespace
}  // namespace vask
