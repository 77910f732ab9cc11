#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/secret_backend.h"
#include "platform/subscription.h"

namespace vask {

// Items in the desktop's Secret Service (GNOME Keyring, KWallet) through libsecret, under a
// schema with the attributes "service" and "account". Secret Service secrets are text, so the
// value is stored base64-encoded; "no item" answers itemNotFound.
//
// No operation opens a prompt: reads see unlocked items only (a locked one answers
// interactionNotAllowed), writes go into the default keyring while it exists and is unlocked
// (else interactionNotAllowed), and removals leave locked items alone (interactionNotAllowed).
// A read or removal that finds nothing while the default keyring is locked answers
// interactionNotAllowed too, never "no item": a locked keyring may hide its items from a search.
// Only unlock(), which the user asks for, may show the keyring's prompt.
//
// Each call runs on a thread of its own while the caller waits for its answer, its time limit
// or the quit (abandonCalls), whichever comes first; a call given up answers `cancelled` and
// its thread is left to end when the service answers (a prompt that is never answered keeps it
// for the life of the process, holding nothing the process needs at exit).
class LibsecretBackend final : public SecretBackend {
  public:
    using Duration = std::chrono::milliseconds;

    // How long a read, write or removal waits for the service before it is given up (as
    // `cancelled`): a write's effect is then unknown, so the caller keeps what it meant
    // elsewhere.
    static constexpr Duration defaultChangeLimit{3000};
    // How long removals wait: a sign-out is noted in the data folder before the keyring is
    // asked, so it answers the user at once and a removal not made in time is made later.
    static constexpr Duration removalLimit{500};

    // A backend when a Secret Service answers on the session bus (a session is opened to be
    // sure); otherwise nothing, with why in `whyNot`: `cancelled` when it did not answer within
    // `changeLimit` (it may yet), another status when the bus said there is none.
    static std::shared_ptr<LibsecretBackend> connect(Outcome& whyNot,
                                                     Duration changeLimit = defaultChangeLimit);

    ReadResult copyMatching(std::string_view service, std::string_view account) override;
    Outcome update(std::string_view service, std::string_view account,
                   std::string_view data) override;
    Outcome add(std::string_view service, std::string_view account, std::string_view data) override;
    Outcome remove(std::string_view service, std::string_view account) override;
    Outcome removeAll(std::string_view service, const std::vector<std::string>& accounts) override;
    Outcome removeService(std::string_view service) override;
    // Unlocks whatever keyring holds items of `service` (the default keyring when none does):
    // the keyring's own prompt may show. Waits for the prompt's Completed signal, the daemon's
    // going (then `cancelled`: not answered, and the next unlock asks whichever daemon answers
    // then), the keyring unlocked by other means (its collections' Locked property turning
    // false: success, and Vask's prompt is dismissed where the service allows it) or the quit,
    // which dismisses the prompt (`cancelled`).
    Outcome unlock(std::string_view service) override;
    std::string_view kind() const override { return "secret_service"; }
    bool mayBlock() const override { return true; }

    enum class DefaultKeyring { unlocked, locked, missing };
    // Whether the default keyring exists and is unlocked, asked without opening any prompt;
    // nothing, with the reason in `whyNot`, when the service does not say within the change
    // limit.
    static std::optional<DefaultKeyring> defaultKeyring(std::string& whyNot);

    // How long a quit waits for the dismissal of Vask's open prompts, all of them together.
    static constexpr Duration dismissalLimit{300};

    // Process-wide and for good: every call still waited for answers `cancelled` at once (the
    // service is told to cancel it), every later call fails at once, and every prompt Vask
    // opened is dismissed (Prompt.Dismiss) except gnome-keyring's, whose daemon aborts on it;
    // the dismissals are waited for within dismissalLimit (a service that stopped answering
    // holds none of the quit longer). Only the first call does it; any other returns at once.
    // Safe from any thread (not from a signal handler).
    static void abandonCalls();

    // Follows the Secret Service's name on the session bus (NameOwnerChanged, on a thread and a
    // bus connection of its own, shared by every watch): `changed(true)` when a daemon takes it
    // (started, restarted), `changed(false)` when it goes with none after it. Called on that
    // thread. Returns once the bus follows the name for it, so a daemon that comes right after
    // is heard. The connection libsecret keeps is dropped at each change, so the next call opens
    // a session with the daemon there then. Cancelling the subscription waits for a call to
    // `changed` under way (on any watch thread, one still ending included): none comes once it
    // returned. The last one ends the thread and closes its connection.
    [[nodiscard]] static Subscription watchService(std::function<void(bool present)> changed);

  private:
    explicit LibsecretBackend(Duration changeLimit) : changeLimit_(changeLimit) {}

    Duration changeLimit_;
};

}  // namespace vask
