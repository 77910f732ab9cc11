#pragma once

#include <memory>

#include "foundation/access_token_refresher.h"
#include "foundation/api_key_store.h"
#include "foundation/auth_mode.h"
#include "foundation/cloud_auth_store.h"
#include "foundation/cloud_config.h"
#include "foundation/customer_token_store.h"
#include "foundation/keychain_store.h"
#include "foundation/token_refresh_coordinator.h"
#include "platform/secret_backend.h"

namespace vask {

// The composition root: the application's shared services, each built on first use (also
// under concurrent first uses) and kept for the life of the process. Components below the shell
// never reach in here; they get what they need as constructor parameters, wired here.
class AppDependencies {
  public:
    AppDependencies() = delete;

    static KeychainStore& keychain();
    static const CloudConfig& cloudConfig();
    static CloudAuthStore& cloudAuthStore();
    static CustomerTokenStore& customerTokenStore();
    static APIKeyStore& apiKeyStore();

    // The cached authentication mode, resolved from the stores when the cache is empty (API
    // keys not allowed). Safe from any thread.
    static AuthMode authMode();
    // Empties the cache, so that the next authMode() resolves again: after a token refresh, a
    // sign-in and a sign-out.
    static void resetAuthMode();

    static AccessTokenRefresher& accessTokenRefresher();
    // The one coordinator every caller with an unauthorised reply goes through.
    static TokenRefreshCoordinator& tokenRefreshCoordinator();

    // Secret Service when one answers on the session bus; otherwise the 0600 file
    // "credentials.json" in the support directory. Chosen once and logged.
    static std::shared_ptr<SecretBackend> secretBackend();
};

}  // namespace vask
