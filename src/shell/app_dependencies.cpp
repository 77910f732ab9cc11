#include "shell/app_dependencies.h"

#include <atomic>
#include <stdexcept>

#include "foundation/app_environment.h"
#include "foundation/auth_mode_cache.h"
#include "foundation/auth_mode_resolver.h"
#include "memory/memory_rollout.h"
#include "memory/memory_store_changes.h"
#include "platform/environment.h"
#include "platform/file_secret_backend.h"
#include "platform/http_client.h"
#include "platform/in_memory_secret_backend.h"
#include "platform/libsecret_backend.h"
#include "platform/notification_center.h"
#include "platform/scheduler.h"
#include "platform/text.h"
#include "platform/user_defaults.h"
#include "platform/uuid.h"
#include "platform/worker_pool.h"

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

std::atomic<MainExecutor*>& installedMainExecutor() {
    static std::atomic<MainExecutor*> main{nullptr};
    return main;
}

// The local principal of API-key use, made once per instance and kept in the user defaults.
std::optional<MemoryPrincipal> localMemoryPrincipal() {
    auto& defaults = UserDefaults::standard();
    const std::string key = AppEnvironment::instanceScopedKey("memory.local-principal");
    if (auto stored = defaults.stringValue(key).optional();
        stored && !text::trimmed(*stored).empty()) {
        return MemoryPrincipal::make(*stored);
    }
    const std::string made = Uuid::random().lowercaseString();
    defaults.set(key, made);
    return MemoryPrincipal::make(made);
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

std::optional<std::filesystem::path> AppDependencies::memoryDBPath() {
    if (!MemoryRollout::isEnabled(processEnvironment(), UserDefaults::standard(),
                                  AppEnvironment::bundleIdentifier())) {
        return std::nullopt;
    }
    try {
        return AppEnvironment::supportDirectoryURL() / "memory.db";
    } catch (const std::exception& error) {
        StructuredLogger("memory-settings")
            .error("memory_db_path_unavailable", {{"error", error.what()}});
        return std::nullopt;
    }
}

std::shared_ptr<MemoryStore> AppDependencies::canonicalMemoryStore() {
    static const std::shared_ptr<MemoryStore> store = []() -> std::shared_ptr<MemoryStore> {
        try {
            return std::make_shared<MemoryStore>(
                AppEnvironment::supportDirectoryURL() / "memory.db", MemoryStoreChanges::make());
        } catch (const std::exception& error) {
            StructuredLogger("memory-settings")
                .error("memory_store_unavailable", {{"error", error.what()}});
            return nullptr;
        }
    }();
    return store;
}

std::shared_ptr<MemoryAuthorizationGate> AppDependencies::memoryAuthorizationGate() {
    static const auto gate = std::make_shared<MemoryAuthorizationGate>();
    return gate;
}

std::optional<MemoryPrincipal> AppDependencies::canonicalMemoryPrincipal() {
    const AuthMode mode = authMode();
    if (mode.asAPIKey() != nullptr) {
        return localMemoryPrincipal();
    }
    if (mode.asManaged() != nullptr) {
        try {
            if (auto session = cloudAuthStore().load()) {
                return MemoryPrincipal::make(session->userID);
            }
        } catch (const std::exception& error) {
            StructuredLogger("memory-account-lifecycle")
                .error("memory_principal_unavailable", {{"error", error.what()}});
        }
    }
    return std::nullopt;
}

std::shared_ptr<MemorySettingsViewModel> AppDependencies::makeMemorySettingsViewModel(
    MainExecutor& main) {
    const bool enabled = memoryDBPath().has_value();
    return MemorySettingsViewModel::make(
        main, WorkerPool::shared(), enabled ? canonicalMemoryStore() : nullptr,
        [] {
            return memoryDBPath() ? canonicalMemoryPrincipal() : std::optional<MemoryPrincipal>();
        },
        memoryAuthorizationGate(), StructuredLogger("memory-settings"));
}

const MemoryAccountLifecycleCoordinator& AppDependencies::memoryAccountLifecycle() {
    static const MemoryAccountLifecycleCoordinator coordinator{
        canonicalMemoryStore(), memoryAuthorizationGate(),
        StructuredLogger("memory-account-lifecycle")};
    return coordinator;
}

void AppDependencies::installMainExecutor(MainExecutor& main) {
    installedMainExecutor().store(&main);
}

MainExecutor& AppDependencies::mainExecutor() {
    MainExecutor* main = installedMainExecutor().load();
    if (main == nullptr) {
        throw std::logic_error("AppDependencies: no main executor installed");
    }
    return *main;
}

const Url& AppDependencies::relayBaseURL() {
    static const Url url = CorvaneBillingService::resolveBaseURL(processEnvironment());
    return url;
}

const CorvaneBillingService& AppDependencies::billingService() {
    static const CorvaneBillingService service(HttpClient::shared(), relayBaseURL(),
                                               Scheduler::system());
    return service;
}

const CorvaneResponses& AppDependencies::responses() {
    static const CorvaneResponses client(
        HttpClient::shared(), relayBaseURL(), UserDefaults::standard(),
        NotificationCenter::shared(),
        CorvaneResponses::refreshingThrough(
            [](const std::optional<std::string>& failedToken) {
                return tokenRefreshCoordinator().refreshForRetry(failedToken);
            },
            [] { return authMode(); }));
    return client;
}

std::shared_ptr<PresetCatalogService> AppDependencies::presetCatalogService() {
    static const std::shared_ptr<PresetCatalogService> service = PresetCatalogService::create({
        .fetchCatalog =
            [](const std::string& customerToken) {
                return billingService().getCustomerModels(customerToken);
            },
        .authModeProvider = [] { return authMode(); },
        .defaults = UserDefaults::standard(),
        .main = mainExecutor(),
        .background = WorkerPool::shared(),
    });
    return service;
}

BrowserAuthenticationSession& AppDependencies::webAuthenticationSession() {
    static BrowserAuthenticationSession session(mainExecutor(), Scheduler::system());
    return session;
}

std::shared_ptr<GoogleSignInViewModel> AppDependencies::signInViewModel() {
    static const std::shared_ptr<GoogleSignInViewModel> viewModel = GoogleSignInViewModel::make({
        .authService = std::make_shared<GoogleAuthService>(cloudConfig().baseURL, "vask",
                                                           StructuredLogger("google-auth"),
                                                           webAuthenticationSession()),
        .customerTokenStore = customerTokenStore(),
        .cloudAuthStore = cloudAuthStore(),
        .apiKeyStore = apiKeyStore(),
        .authModeProvider = [] { return authMode(); },
        .resetAuthMode = [] { resetAuthMode(); },
        .memory =
            {
                .currentPrincipal = []() -> std::optional<std::string> {
                    if (auto principal = canonicalMemoryPrincipal()) {
                        return principal->rawValue();
                    }
                    return std::nullopt;
                },
                .suspend =
                    [](const std::string& raw) {
                        if (auto principal = MemoryPrincipal::make(raw)) {
                            memoryAuthorizationGate()->suspend(*principal);
                        }
                    },
                .finishSignOut =
                    [](const std::optional<std::string>& raw) {
                        memoryAccountLifecycle().finishSignOut(raw ? MemoryPrincipal::make(*raw)
                                                                   : std::nullopt);
                    },
            },
        .refreshPresetCatalog = [] { presetCatalogService()->refreshInBackground(); },
        .clearPresetAccountState = [] { presetCatalogService()->clearAccountState(); },
        .defaults = UserDefaults::standard(),
        .main = mainExecutor(),
        .worker = WorkerPool::shared(),
    });
    return viewModel;
}

std::shared_ptr<BillingViewModel> AppDependencies::billingViewModel() {
    static const std::shared_ptr<BillingViewModel> viewModel = BillingViewModel::make({
        .service = billingService(),
        .authModeProvider = [] { return authMode(); },
        .catalogService = presetCatalogService(),
        .tokenRefresh = tokenRefreshCoordinator(),
        .defaults = UserDefaults::standard(),
        .main = mainExecutor(),
        .worker = WorkerPool::shared(),
    });
    return viewModel;
}

}  // namespace vask
