#include "shell/app_dependencies.h"

#include "foundation/app_environment.h"
#include "foundation/auth_mode_cache.h"
#include "foundation/auth_mode_resolver.h"
#include "platform/environment.h"
#include "platform/file_secret_backend.h"
#include "platform/in_memory_secret_backend.h"
#include "platform/libsecret_backend.h"

namespace vask {
namespace {

std::shared_ptr<SecretBackend> chooseSecretBackend() {
    const StructuredLogger logger("keychain");
    std::string whyNot;
    if (auto secretService = LibsecretBackend::connect(whyNot)) {
        logger.info("secret_storage_selected", {{"backend", "secret_service"}});
        return secretService;
    }
    try {
        const auto file = AppEnvironment::supportDirectoryURL() / "credentials.json";
        logger.info("secret_storage_selected",
                    {{"backend", "file"}, {"path", file.string()}, {"secret_service", whyNot}});
        return std::make_shared<FileSecretBackend>(file);
    } catch (const std::exception& e) {
        // Nowhere to keep credentials across launches: they last for this run only.
        logger.error("secret_storage_selected",
                     {{"backend", "memory"}, {"secret_service", whyNot}, {"error", e.what()}});
        return std::make_shared<InMemorySecretBackend>();
    }
}

AuthModeCache& authModeCache() {
    static AuthModeCache cache([] {
        const AuthModeResolver resolver{AppDependencies::customerTokenStore(),
                                        AppDependencies::cloudAuthStore(),
                                        AppDependencies::apiKeyStore(),
                                        processEnvironment(),
                                        false,
                                        StructuredLogger("auth-mode")};
        return resolver.resolve();
    });
    return cache;
}

}  // namespace

std::shared_ptr<SecretBackend> AppDependencies::secretBackend() {
    static const std::shared_ptr<SecretBackend> backend = chooseSecretBackend();
    return backend;
}

KeychainStore& AppDependencies::keychain() {
    static KeychainStore store(
        KeychainStore::serviceName(processEnvironment(), AppEnvironment::bundleIdentifier()),
        secretBackend(), StructuredLogger("keychain"));
    return store;
}

const CloudConfig& AppDependencies::cloudConfig() {
    static const CloudConfig config =
        CloudConfig::resolve(processEnvironment(), StructuredLogger("cloud-config"));
    return config;
}

CloudAuthStore& AppDependencies::cloudAuthStore() {
    static CloudAuthStore store(keychain(), StructuredLogger("cloud-auth"));
    return store;
}

CustomerTokenStore& AppDependencies::customerTokenStore() {
    static CustomerTokenStore store(keychain(), StructuredLogger("customer-token"));
    return store;
}

APIKeyStore& AppDependencies::apiKeyStore() {
    static APIKeyStore store(keychain(), StructuredLogger("api-key-store"));
    return store;
}

AuthMode AppDependencies::authMode() {
    return authModeCache().get();
}

void AppDependencies::resetAuthMode() {
    authModeCache().reset();
}

AccessTokenRefresher& AppDependencies::accessTokenRefresher() {
    static AccessTokenRefresher refresher(
        cloudAuthStore(), customerTokenStore(), cloudConfig().baseURL, [] { resetAuthMode(); },
        StructuredLogger("token-refresher"));
    return refresher;
}

TokenRefreshCoordinator& AppDependencies::tokenRefreshCoordinator() {
    static TokenRefreshCoordinator coordinator(
        TokenRefreshCoordinator::refreshing(accessTokenRefresher()), [] { return authMode(); });
    return coordinator;
}

}  // namespace vask
