#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/secret_backend.h"

namespace vask {

// Items in the desktop's Secret Service (GNOME Keyring, KWallet) through libsecret, under a
// schema with the attributes "service" and "account". Secret Service secrets are text, so the
// value is stored base64-encoded; "no item" answers itemNotFound. Calls block while the service
// answers over D-Bus, until abandonCalls(): a quitting application gives up the calls still
// waiting on a service that stopped answering (they fail as notAvailable) and makes no more.
class LibsecretBackend final : public SecretBackend {
  public:
    // A backend when a Secret Service answers on the session bus (a session is opened to be
    // sure); otherwise nothing, with the reason in `whyNot`.
    static std::shared_ptr<LibsecretBackend> connect(std::string& whyNot);

    ReadResult copyMatching(std::string_view service, std::string_view account) override;
    Status update(std::string_view service, std::string_view account,
                  std::string_view data) override;
    Status add(std::string_view service, std::string_view account, std::string_view data) override;
    Status remove(std::string_view service, std::string_view account) override;
    std::string_view kind() const override { return "secret_service"; }
    bool mayBlock() const override { return true; }

    enum class DefaultKeyring { unlocked, locked, missing };
    // Whether the default keyring exists and is unlocked, asked without opening any prompt;
    // nothing, with the reason in `whyNot`, when the service does not say.
    static std::optional<DefaultKeyring> defaultKeyring(std::string& whyNot);

    // The same keyring as a destination that never opens a prompt (no keyring is created,
    // none unlocked): reads see unlocked items only, and writes go into the default keyring
    // while it exists and is unlocked, else answer interactionNotAllowed.
    std::shared_ptr<LibsecretBackend> withoutPrompts() const;

    // Process-wide and for good: every call waiting on the Secret Service returns at once, and
    // every later call fails at once. Safe from any thread (not from a signal handler).
    static void abandonCalls();

  private:
    explicit LibsecretBackend(bool prompts) : prompts_(prompts) {}
    Status store(std::string_view service, std::string_view account, std::string_view data);
    ReadResult lookUpWithoutPrompt(const std::string& service, const std::string& account);
    Status storeWithoutPrompt(const std::string& service, const std::string& account,
                              const std::string& encoded);

    // Whether a call may open the desktop's prompts (create or unlock a keyring).
    bool prompts_;
};

}  // namespace vask
