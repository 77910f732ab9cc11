#pragma once

#include "foundation/api_key_store.h"
#include "foundation/auth_mode.h"
#include "foundation/cloud_auth_store.h"
#include "foundation/customer_token_store.h"
#include "foundation/structured_logger.h"
#include "platform/environment.h"

namespace vask {

// Works out the credentials of model calls from the stores (and, for developers, an API key),
// for one resolution. First match wins: the environment's CORVANE_API_KEY (when API keys are
// allowed), a managed account, a stored API key (when allowed), none.
struct AuthModeResolver {
    CustomerTokenStore& customerTokenStore;
    AuthSessionStorage& cloudAuthStore;
    APIKeyStore& apiKeyStore;
    Environment environment;
    bool allowsAPIKeyAuth = false;
    StructuredLogger logger = StructuredLogger("auth-mode");

    // Never fails: each storage problem is logged and resolution goes on to the next step.
    AuthMode resolve() const noexcept;

  private:
    std::optional<AuthMode> managedMode() const;
};

}  // namespace vask
