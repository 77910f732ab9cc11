#pragma once

#include <filesystem>
#include <memory>
#include <optional>

#include "foundation/access_token_refresher.h"
#include "foundation/api_key_store.h"
#include "foundation/auth_mode.h"
#include "foundation/browser_authentication_session.h"
#include "foundation/cloud_auth_store.h"
#include "foundation/cloud_config.h"
#include "foundation/customer_token_store.h"
#include "foundation/google_sign_in_view_model.h"
#include "foundation/keychain_store.h"
#include "foundation/token_refresh_coordinator.h"
#include "memory/memory_account_lifecycle_coordinator.h"
#include "memory/memory_authorization_gate.h"
#include "memory/memory_principal.h"
#include "memory/memory_settings_view_model.h"
#include "memory/memory_store.h"
#include "platform/executor.h"
#include "platform/secret_backend.h"
#include "platform/url.h"
#include "relay/billing_view_model.h"
#include "relay/corvane_billing_service.h"
#include "relay/corvane_responses.h"
#include "relay/preset_catalog_service.h"

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

    // The executor that owns view-model state: the UI event loop, installed once at start before
    // anything asks for a service that needs it. Throws std::logic_error before that.
    static void installMainExecutor(MainExecutor& main);
    static MainExecutor& mainExecutor();

    // The relay service's root: VASK_RELAY_BASE_URL when set to an absolute http(s) URL, else the
    // built-in one.
    static const Url& relayBaseURL();
    static const CorvaneBillingService& billingService();
    static const CorvaneResponses& responses();
    static std::shared_ptr<PresetCatalogService> presetCatalogService();

    // memory.db in the support directory while private memory is on; nothing when it is off or
    // the support directory cannot be had.
    static std::optional<std::filesystem::path> memoryDBPath();
    // The process's one memory store, opened on first use; null when it cannot be opened (the
    // reason is logged).
    static std::shared_ptr<MemoryStore> canonicalMemoryStore();
    static std::shared_ptr<MemoryAuthorizationGate> memoryAuthorizationGate();
    // The account scope of private memory: the local principal with an API key, the signed-in
    // user with a managed account, none without credentials.
    static std::optional<MemoryPrincipal> canonicalMemoryPrincipal();
    static std::shared_ptr<MemorySettingsViewModel> makeMemorySettingsViewModel(MainExecutor& main);
    static const MemoryAccountLifecycleCoordinator& memoryAccountLifecycle();

    // The one pending Google sign-in flow: the URL handler hands it every "vask:" URL
    // (deliverCallback), and onboarding's cancel button ends it.
    static BrowserAuthenticationSession& webAuthenticationSession();
    static std::shared_ptr<GoogleSignInViewModel> signInViewModel();
    static std::shared_ptr<BillingViewModel> billingViewModel();
};

}  // namespace vask
