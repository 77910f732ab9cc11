// The model both credential properties check a start against: what the user's account may be
// after what ran (a launch that died leaves one of several), narrowed by what each start shows,
// and the words each screen owes the keyring's state.
#pragma once

#include <rapidcheck.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>

#include "chat/chat_view_model.h"
#include "foundation/auth_mode.h"
#include "foundation/google_auth_service.h"
#include "shell/settings_presenter.h"

namespace vask::test {

// The desktop's keyring: unlocked, locked (its items out of sight, as a login keyring locked at
// start), hung (it owns its name and answers nothing), or gone (no Secret Service on the bus).
enum class Keyring { unlocked, locked, hung, gone };

inline const char* nameOf(Keyring keyring) {
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

// What the generated sequences see of the system: the keyring's state and how many sign-ins
// there were (each signs in a new account, "t1", "t2", ...).
struct SequenceModel {
    Keyring keyring = Keyring::unlocked;
    int signIns = 0;

    std::string nextToken() const { return "t" + std::to_string(signIns + 1); }
};

// A point for a launch to die after its write of that number: 0 never.
inline int killPoint() {
    return *rc::gen::weightedOneOf<int>({{2, rc::gen::just(0)}, {3, rc::gen::inRange(1, 9)}});
}

// What a start shows: the mode it resolved and the words of Settings' account row and of the
// chats.
struct StartShown {
    enum class Mode { managed, none, locked, notAvailable, notAnswering };
    Mode mode = Mode::none;
    // The signed-in account's token (its email is the token's own).
    std::string token;
    std::string settings;
    std::string chat;
    bool tryAgain = false;

    static std::string emailOf(const std::string& token) { return token + "@example.com"; }
    // The account a sign-in with `token` stores.
    static GoogleAuthResult accountOf(const std::string& token) {
        return {.customerToken = token,
                .accessToken = "access-" + token,
                .refreshToken = "refresh-" + token,
                .refreshExpiresAt = Clock::WallTime{},
                .userID = "user-" + token,
                .userEmail = emailOf(token)};
    }

    static StartShown of(const AuthMode& authMode) {
        StartShown shown;
        std::optional<std::string> email;
        if (const auto* managed = authMode.asManaged()) {
            shown.mode = Mode::managed;
            shown.token = managed->customerToken;
            email = emailOf(shown.token);
        } else if (authMode.isNone()) {
            shown.mode = Mode::none;
        } else if (authMode.isKeyringLocked()) {
            shown.mode = Mode::locked;
        } else if (authMode.isKeyringNotAvailable()) {
            shown.mode = Mode::notAvailable;
        } else {
            shown.mode = Mode::notAnswering;
        }
        const auto row = settings::account::present(authMode, email, false);
        shown.settings = row.text;
        shown.tryAgain = row.tryAgain;
        shown.chat = std::string(ChatViewModel::heldText(ChatViewModel::heldBack(authMode)));
        return shown;
    }
};

// What the user's account may be: nothing is signed out.
struct AccountModel {
    std::set<std::optional<std::string>> possible{std::nullopt};
    // The settings were damaged since the keyring last answered or the user last signed in or
    // out: the record of the sign-in is unknown, and a locked keyring offers Unlock.
    bool recordUnknown = false;

    void signedIn(const std::string& token, bool done) {
        if (done) {
            possible = {token};
            recordUnknown = false;
        } else {
            // Cut short: the account before, none, or the new one.
            possible.insert(token);
            possible.insert(std::nullopt);
        }
    }
    void signedOut(bool done) {
        if (done) {
            possible = {std::nullopt};
            recordUnknown = false;
        } else {
            possible.insert(std::nullopt);
        }
    }

    // A start that showed `shown` while the keyring was `keyring`: checked, then the model
    // narrowed by it.
    void checkStart(Keyring keyring, const StartShown& shown) {
        using Mode = StartShown::Mode;
        namespace account = settings::account;
        const bool maySignedIn =
            recordUnknown || std::any_of(possible.begin(), possible.end(),
                                         [](const auto& a) { return a.has_value(); });
        switch (shown.mode) {
            case Mode::managed:
                // Never a token signed out of, and never one other than the last sign-in.
                RC_ASSERT(possible.count(shown.token) == 1u);
                possible = {shown.token};
                recordUnknown = recordUnknown && keyring != Keyring::unlocked;
                break;
            case Mode::none:
                // A sign-in that ended is never lost.
                RC_ASSERT(possible.count(std::nullopt) == 1u);
                possible = {std::nullopt};
                recordUnknown = recordUnknown && keyring != Keyring::unlocked;
                RC_ASSERT(shown.settings == std::string(account::notSignedInText));
                break;
            case Mode::locked:
                RC_ASSERT(keyring == Keyring::locked);
                RC_ASSERT(maySignedIn);
                break;
            case Mode::notAvailable:
                RC_ASSERT(keyring == Keyring::gone);
                RC_ASSERT(maySignedIn);
                break;
            case Mode::notAnswering:
                RC_ASSERT(keyring == Keyring::hung);
                break;
        }
        // The words each screen shows for the keyring's state.
        const bool answered = shown.mode == Mode::managed || shown.mode == Mode::none;
        switch (keyring) {
            case Keyring::unlocked:
                RC_ASSERT(shown.chat.empty());
                break;
            case Keyring::locked:
                RC_ASSERT(answered || (shown.settings == account::keyringLockedText &&
                                       shown.chat == ChatViewModel::keyringLockedText));
                RC_ASSERT(!answered || shown.chat.empty());
                break;
            case Keyring::hung:
                RC_ASSERT(answered || (shown.settings == account::keyringNotAnsweringText &&
                                       shown.chat == ChatViewModel::keyringNotAnsweringText));
                break;
            case Keyring::gone:
                RC_ASSERT(answered ||
                          (shown.settings == account::keyringNotAvailableText &&
                           shown.chat == ChatViewModel::keyringNotAvailableText && shown.tryAgain));
                break;
        }
    }
};

}  // namespace vask::test
