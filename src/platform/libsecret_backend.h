#pragma once

#include <memory>
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

    // Process-wide and for good: every call waiting on the Secret Service returns at once, and
    // every later call fails at once. Safe from any thread (not from a signal handler).
    static void abandonCalls();

  private:
    LibsecretBackend() = default;
    Status store(std::string_view service, std::string_view account, std::string_view data);
};

}  // namespace vask
