#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "foundation/auth_mode.h"
#include "foundation/google_sign_in_view_model.h"
#include "platform/clock.h"
#include "platform/user_defaults.h"
#include "shell/contacts_sync_view_model.h"
#include "store/awaiting_reply.h"

// What the Settings window shows and what its account and proactive controls do, decided
// without the toolkit.
namespace vask::settings {

enum class Section { account, plan, contacts, memory, proactive };

// A date in the abbreviated style of `locale` (an ICU locale id such as "de_DE"; empty for the
// process's own), optionally followed by the time in its short style: the locale's own
// pattern, words and order throughout. `timeZone` is an Olson id; empty for the system's.
std::string abbreviatedDate(Clock::WallTime time, const std::string& locale = {},
                            const std::string& timeZone = {});
std::string abbreviatedDateTime(Clock::WallTime time, const std::string& locale = {},
                                const std::string& timeZone = {});

// In form order. The account needs a Google sign-in service and is never shown for an API key:
// signed in once the e-mail is known (with "Sign Out"), signed out at once (with "Sign In…", the
// one way to sign in where there is no tray), and behind a keyring that is locked or does not
// answer, saying so; the plan needs credentials a call can carry (never a keyring's held back).
std::vector<Section> sections(const AuthMode& mode, bool hasGoogleAuthService,
                              const std::optional<std::string>& userEmail);

// The account section's row.
namespace account {

enum class Row {
    signedIn,
    signedOut,
    keyringLocked,
    keyringUnlocking,
    keyringNotAnswering,
    keyringNotAvailable
};

inline constexpr std::string_view notSignedInText = "Not signed in";
inline constexpr std::string_view keyringLockedText =
    "Your keyring is locked. Unlock it to see your account.";
inline constexpr std::string_view keyringUnlockingText =
    "Unlock your keyring in its prompt to see your account.";
inline constexpr std::string_view keyringNotAnsweringText =
    "Your keyring is not answering.";
inline constexpr std::string_view keyringNotAvailableText = "Your keyring is not available.";
inline constexpr std::string_view unlockAction = "Unlock";
inline constexpr std::string_view tryAgainAction = "Try Again";

struct Presentation {
    Row row = Row::signedOut;
    // The e-mail, or what stands in its place.
    std::string text;
    // Which buttons show.
    bool signOut = false;
    bool signIn = false;
    bool unlock = false;
    // Asks a keyring that did not answer once more.
    bool tryAgain = false;
};

// The row's name in the log ("signed_in", "keyring_locked", …).
std::string_view rowName(Row row);

// Behind a locked keyring the account waits for the user's unlock (`unlocking` while its prompt
// is open), behind one that does not answer or is not there for "Try Again" (and for the
// keyring's own coming); once the keyring answers, the e-mail with "Sign Out".
Presentation present(const AuthMode& mode, const std::optional<std::string>& userEmail,
                     bool unlocking);

}  // namespace account

// The failure text a sign-out left in the sign-in state, if it failed.
std::optional<std::string> signOutFailure(const GoogleSignInState& state);

struct SignOutSteps {
    // Starts signing out; `done` runs on the main executor once it has finished.
    std::function<void(std::function<void()> done)> signOut;
    // The sign-in state after signing out.
    std::function<GoogleSignInState()> state;
    // Each chat recomputes whether it has credentials.
    std::vector<std::function<void()>> refreshCredentials;
    std::function<void()> dismissSettings;
    std::function<void()> resetOnboarding;
    // Either may be empty (the window layer has not set them up yet): skipped.
    std::function<void()> closeMain;
    std::function<void()> openOnboarding;
};

// Signs out and, once that has finished, swaps the main window for onboarding. When the sign-out
// failed it stops once the chats have re-read their credentials: Settings stays open and shows
// the text handed to `finished`, rather than closing on a user who may still be signed in with
// no window and no message. `finished` gets nothing when the sign-out succeeded.
void signOut(SignOutSteps steps, std::function<void(std::optional<std::string>)> finished);

// The two proactive switches, under their instance-scoped keys.
struct ProactiveKeys {
    std::string showProactiveSurfaces;
    std::string personaDrafts;
};
bool showProactiveSurfaces(const UserDefaults& defaults, const ProactiveKeys& keys);
bool personaDrafts(const UserDefaults& defaults, const ProactiveKeys& keys);

// Starts or stops the awaiting-reply notifier when the master switch flips. Switching on seeds
// the notifier with the replies already waiting (none of them is ever notified); the epoch read
// before the reload keeps a late reload from restarting a notifier switched off meanwhile.
class ProactiveSwitchReaction {
  public:
    using Replies = std::vector<AwaitingReply>;
    struct Seams {
        std::function<int()> enableEpoch;
        std::function<void(bool debounceClassification, std::function<void(const Replies&)>)>
            refresh;
        std::function<void(const Replies& seed, int epoch)> start;
        std::function<void()> stop;
    };

    explicit ProactiveSwitchReaction(Seams seams) : seams_(std::move(seams)) {}

    void switched(bool on) const;

  private:
    Seams seams_;
};

// The contacts section: one row per permission state.
namespace contacts {

enum class Row { enabled, unavailable, restricted };

struct Presentation {
    Row row = Row::unavailable;
    std::string message;
    // Empty when the row has no button.
    std::string actionLabel;
    bool actionEnabled = false;
    // A message of several sentences: the button goes under it, not beside it.
    bool actionBelow = false;
    // Only for the enabled row once a synchronisation has completed.
    std::optional<Clock::WallTime> lastSynced;
    std::optional<std::string> error;
};

// Access granted but the address book's folder not read (`folderProblem`) is no enabled row: it
// says what was found and offers to try again.
Presentation present(ContactsAuthorizationState state, bool isBusy,
                     const std::optional<Clock::WallTime>& lastSyncedAt,
                     const std::optional<std::string>& lastError,
                     std::optional<ContactsFolderProblem> folderProblem = std::nullopt);

}  // namespace contacts
}  // namespace vask::settings
