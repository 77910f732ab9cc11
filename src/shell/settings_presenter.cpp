#include "shell/settings_presenter.h"

#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <memory>

#include "platform/iso8601.h"

namespace vask::settings {
namespace {

std::string formatted(Clock::WallTime time, icu::DateFormat::EStyle timeStyle,
                      const std::string& locale, const std::string& timeZone) {
    const icu::Locale where = locale.empty() ? icu::Locale() : icu::Locale(locale.c_str());
    std::unique_ptr<icu::DateFormat> format(
        icu::DateFormat::createDateTimeInstance(icu::DateFormat::kMedium, timeStyle, where));
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    if (!format) {
        // ICU without its data: an ISO 8601 time reads the same in every language.
        return formatISO8601(time);
    }
    if (!timeZone.empty()) {
        format->adoptTimeZone(icu::TimeZone::createTimeZone(timeZone.c_str()));
    }
    icu::UnicodeString text;
    format->format(static_cast<UDate>(ms), text);
    std::string utf8;
    text.toUTF8String(utf8);
    return utf8;
}

}  // namespace

std::string abbreviatedDate(Clock::WallTime time, const std::string& locale,
                            const std::string& timeZone) {
    return formatted(time, icu::DateFormat::kNone, locale, timeZone);
}

std::string abbreviatedDateTime(Clock::WallTime time, const std::string& locale,
                                const std::string& timeZone) {
    return formatted(time, icu::DateFormat::kShort, locale, timeZone);
}

std::vector<Section> sections(const AuthMode& mode, bool hasGoogleAuthService,
                              const std::optional<std::string>& userEmail) {
    std::vector<Section> shown;
    const bool heldBack = mode.isHeldBackByKeyring();
    if (!mode.asAPIKey() && hasGoogleAuthService && (userEmail || mode.isNone() || heldBack)) {
        shown.push_back(Section::account);
    }
    if (!mode.isNone() && !heldBack) {
        shown.push_back(Section::plan);
    }
    for (const auto always : {Section::contacts, Section::memory, Section::proactive}) {
        shown.push_back(always);
    }
    return shown;
}

namespace account {

std::string_view rowName(Row row) {
    switch (row) {
        case Row::signedIn:
            return "signed_in";
        case Row::signedOut:
            return "signed_out";
        case Row::keyringLocked:
            return "keyring_locked";
        case Row::keyringUnlocking:
            return "keyring_unlocking";
        case Row::keyringNotAnswering:
            return "keyring_not_answering";
        case Row::keyringNotAvailable:
            return "keyring_not_available";
    }
    return "signed_out";
}

Presentation present(const AuthMode& mode, const std::optional<std::string>& userEmail,
                     bool unlocking) {
    if (mode.isKeyringLocked()) {
        return unlocking ? Presentation{.row = Row::keyringUnlocking,
                                        .text = std::string(keyringUnlockingText)}
                         : Presentation{.row = Row::keyringLocked,
                                        .text = std::string(keyringLockedText),
                                        .unlock = true};
    }
    if (mode.isKeyringNotAnswering()) {
        return {.row = Row::keyringNotAnswering,
                .text = std::string(keyringNotAnsweringText),
                .tryAgain = true};
    }
    if (mode.isKeyringNotAvailable()) {
        return {.row = Row::keyringNotAvailable,
                .text = std::string(keyringNotAvailableText),
                .tryAgain = true};
    }
    // Signed out, an e-mail still remembered is no one's.
    if (userEmail && !mode.isNone()) {
        return {.row = Row::signedIn, .text = *userEmail, .signOut = true};
    }
    return {.row = Row::signedOut, .text = std::string(notSignedInText), .signIn = true};
}

}  // namespace account

std::optional<std::string> signOutFailure(const GoogleSignInState& state) {
    const std::string_view prefix = GoogleSignInViewModel::signOutFailedPrefix;
    if (state.kind() == GoogleSignInState::Kind::error && state.errorText().starts_with(prefix)) {
        return state.errorText();
    }
    return std::nullopt;
}

namespace {

std::optional<std::string> afterSignOut(const SignOutSteps& steps) {
    // Whatever the outcome, the chats show what the stores now hold.
    for (const auto& refresh : steps.refreshCredentials) {
        if (refresh) {
            refresh();
        }
    }
    if (auto failure = signOutFailure(steps.state())) {
        return failure;
    }
    steps.dismissSettings();
    steps.resetOnboarding();
    if (steps.closeMain) {
        steps.closeMain();
    }
    if (steps.openOnboarding) {
        steps.openOnboarding();
    }
    return std::nullopt;
}

}  // namespace

void signOut(SignOutSteps steps, std::function<void(std::optional<std::string>)> finished) {
    auto start = steps.signOut;
    start([steps = std::move(steps), finished = std::move(finished)] {
        auto failure = afterSignOut(steps);
        if (finished) {
            finished(std::move(failure));
        }
    });
}

bool showProactiveSurfaces(const UserDefaults& defaults, const ProactiveKeys& keys) {
    return defaults.boolValue(keys.showProactiveSurfaces).valueOr(false);
}

bool personaDrafts(const UserDefaults& defaults, const ProactiveKeys& keys) {
    return defaults.boolValue(keys.personaDrafts).valueOr(true);
}

void ProactiveSwitchReaction::switched(bool on) const {
    if (!on) {
        seams_.stop();
        seams_.refresh(false, {});
        return;
    }
    const int epoch = seams_.enableEpoch();
    seams_.refresh(
        false, [start = seams_.start, epoch](const Replies& replies) { start(replies, epoch); });
}

namespace contacts {

Presentation present(ContactsAuthorizationState state, bool isBusy,
                     const std::optional<Clock::WallTime>& lastSyncedAt,
                     const std::optional<std::string>& lastError,
                     std::optional<ContactsFolderProblem> folderProblem) {
    Presentation shown;
    shown.error = lastError;
    shown.actionEnabled = !isBusy;
    switch (state) {
        case ContactsAuthorizationState::authorized:
            if (folderProblem) {
                shown.message = ContactsSyncViewModel::folderProblemText(*folderProblem);
                shown.actionLabel = "Try Again";
                shown.actionBelow = true;
                break;
            }
            shown.row = Row::enabled;
            shown.message = "Contacts access enabled";
            shown.actionLabel = "Sync Now";
            shown.lastSynced = lastSyncedAt;
            break;
        case ContactsAuthorizationState::notDetermined:
            shown.message = "Enable Contacts to resolve names in queries.";
            shown.actionLabel = "Enable Contacts";
            break;
        case ContactsAuthorizationState::denied:
            shown.message = ContactsSyncViewModel::deniedText;
            break;
        case ContactsAuthorizationState::restricted:
            shown.row = Row::restricted;
            shown.message = "Contacts access is restricted and cannot be changed for this account.";
            shown.actionEnabled = false;
            break;
    }
    return shown;
}

}  // namespace contacts
}  // namespace vask::settings
