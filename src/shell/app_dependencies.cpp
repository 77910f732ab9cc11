#include "shell/app_dependencies.h"

#include "chat/chat_helper_runner.h"
#include "chat/title_completion.h"
#include "engine/file_access_prefetch.h"
#include "memory/memory_rollout.h"
#include "proactive/loopback_persona_context_host.h"
#include "records/citation_service.h"
#include "records/shadow_citation_reader.h"
#include "records/sqlite_session_store.h"

#include <stdexcept>

#include "foundation/app_environment.h"
#include "foundation/application_secrets.h"
#include "foundation/auth_mode_resolver.h"
#include "foundation/secret_storage_choice.h"
#include "memory/memory_store_changes.h"
#include "platform/deferred_secret_backend.h"
#include "platform/file_problem.h"
#include "platform/http_client.h"
#include "platform/text.h"
#include "platform/uuid.h"
#include "platform/worker_pool.h"
#include "proactive/awaiting_screen_presenter.h"
#include "proactive/proactive_surfaces.h"
#include "shell/window_coordinator.h"
#include "sources/contacts_trace.h"
#include "sources/vcard_contact_store.h"
#include "store/chat_db_reader.h"
#include "store/full_disk_access_checker.h"
#include "store/message_retention_detector.h"
#include "store/sqlite_connection.h"

namespace vask {
AppDependencies::Context AppDependencies::Context::forProcess(MainExecutor& main,
                                                              Executor& worker) {
    static const auto problems = std::make_shared<FileProblems>();
    static JsonFileDefaults defaults(UserDefaults::standardPath(), problems);
    auto openers = std::make_shared<OpenCommandRunner>(isApplicationSecret);
    return Context{
        .environment = processEnvironment(),
        .bundleIdentifier = AppEnvironment::bundleIdentifier(),
        .defaults = defaults,
        .main = main,
        .worker = worker,
        .scheduler = Scheduler::system(),
        .folderOpener =
            std::make_shared<CommandUrlOpener>(std::vector<std::string>{"xdg-open"}, openers),
        .openers = openers,
        .fileProblems = problems,
    };
}

AppDependencies::AppDependencies(Context context)
    : context_(std::move(context)),
      fileProblems_(context_.fileProblems ? context_.fileProblems
                                          : std::make_shared<FileProblems>()),
      settingsOpener_(context_.settingsOpener
                          ? context_.settingsOpener
                          : std::make_shared<UnavailableSystemSettingsOpener>()),
      application_(context_.application ? context_.application
                                        : std::make_shared<HeadlessApplication>()),
      keyring_({
          .main = context_.main,
          .scheduler = context_.scheduler,
          .latestMode = [this] { return authModeCache_.latest(); },
          .reconnect = [this] { secretBackend()->askAgain(); },
          .unlock = [this] { keychain().unlock(); },
          .resolveAgain =
              [this] {
                  resetAuthMode();
                  authModeCache_.get();
              },
          .arrived = [this] { authModeArrived(); },
          .observeActivation =
              [this](std::function<void()> activated) {
                  return application().observeDidBecomeActive(std::move(activated));
              },
      }),
      authModeCache_(
          [this] {
              const AuthModeResolver resolver{customerTokenStore(),
                                              cloudAuthStore(),
                                              apiKeyStore(),
                                              context_.environment,
                                              false,
                                              StructuredLogger("auth-mode"),
                                              &signInRecord()};
              auto mode = resolver.resolve();
              // The account's user id, for the main thread's memory principal (the store is read
              // and cached here already).
              std::optional<std::string> userID;
              if (mode.asManaged() != nullptr) {
                  try {
                      if (auto session = cloudAuthStore().load()) {
                          userID = session->userID;
                      }
                  } catch (const std::exception&) {
                      // Logged by the store; the principal is asked again off the main thread.
                  }
              }
              std::lock_guard lock(resolvedUserIDMutex_);
              resolvedUserID_ = std::move(userID);
              return mode;
          },
          std::chrono::seconds(2), Clock::system(),
          // A keyring that did not answer is connected to again outside the
          // resolution and the stores' locks: a sign-out meanwhile goes on.
          [this] { secretBackend()->askAgain(); }) {}

AppDependencies::~AppDependencies() {
    keyring_.shutDown();
}

std::filesystem::path AppDependencies::supportDirectory() const {
    return AppEnvironment::supportDirectoryURL(context_.environment, context_.bundleIdentifier);
}

std::string AppDependencies::instanceScopedKey(std::string_view key) const {
    return AppEnvironment::instanceScopedKey(key, context_.environment, context_.bundleIdentifier);
}

std::shared_ptr<SecretBackend> AppDependencies::secretBackend() {
    return secretBackend_.get([this]() -> std::shared_ptr<SecretBackend> {
        if (context_.secretBackend) {
            if (context_.watchKeyring) {
                keyring_.watch(context_.watchKeyring);
            }
            return context_.secretBackend;
        }
        // VASK_CREDENTIAL_STORE=file: the file, whatever keyring runs (the demo's made-up
        // account stays out of the user's keyring).
        const auto chosen = context_.environment.find("VASK_CREDENTIAL_STORE");
        const bool fileChosen =
            chosen != context_.environment.end() && text::trimmed(chosen->second) == "file";
        auto keyring = SecretStorageChoice::Keyring::secretService();
        if (!fileChosen) {
            keyring_.watch(context_.watchKeyring
                               ? context_.watchKeyring
                               : [](std::function<void(bool)> changed) {
                                     return LibsecretBackend::watchService(std::move(changed));
                                 });
        }
        // A keyring may take D-Bus's whole time limit to answer, or not answer: the choice is
        // made on the worker, and every operation waits for it there.
        return std::make_shared<DeferredSecretBackend>(
            context_.worker,
            [choice = SecretStorageChoice{
                 .keyring = std::move(keyring),
                 // By value: the choice may run after the root is gone.
                 .supportDirectory =
                     [environment = context_.environment, bundle = context_.bundleIdentifier] {
                         return AppEnvironment::supportDirectoryURL(environment, bundle);
                     },
                 .defaults = context_.defaults,
                 .keptKey = instanceScopedKey("secretStorage.credentialFileKept"),
                 .problems = fileProblems_,
                 .fileOnly = fileChosen ? std::optional<std::string>("VASK_CREDENTIAL_STORE=file")
                                        : std::nullopt,
             }] { return choice.choose(); });
    });
}

KeychainStore& AppDependencies::keychain() {
    return *keychain_.get([this] {
        return std::make_shared<KeychainStore>(
            KeychainStore::serviceName(context_.environment, context_.bundleIdentifier),
            secretBackend(), StructuredLogger("keychain"));
    });
}

const CloudConfig& AppDependencies::cloudConfig() {
    return *cloudConfig_.get([this] {
        return std::make_shared<CloudConfig>(
            CloudConfig::resolve(context_.environment, StructuredLogger("cloud-config")));
    });
}

CloudAuthStore& AppDependencies::cloudAuthStore() {
    return *cloudAuthStore_.get([this] {
        return std::make_shared<CloudAuthStore>(keychain(), StructuredLogger("cloud-auth"));
    });
}

CustomerTokenStore& AppDependencies::customerTokenStore() {
    return *customerTokenStore_.get([this] {
        return std::make_shared<CustomerTokenStore>(keychain(), StructuredLogger("customer-token"));
    });
}

APIKeyStore& AppDependencies::apiKeyStore() {
    return *apiKeyStore_.get([this] {
        return std::make_shared<APIKeyStore>(keychain(), StructuredLogger("api-key-store"));
    });
}

SignInRecord& AppDependencies::signInRecord() {
    return *signInRecord_.get([this] {
        // Settings an earlier version kept hold no record: its finished onboarding (which
        // needs a sign-in, and starts over at a sign-out) stands for one.
        return std::make_shared<SignInRecord>(
            context_.defaults, instanceScopedKey("account.signedIn"),
            [this] {
                return context_.defaults
                    .boolValue(instanceScopedKey(OnboardingState::completedBaseKey))
                    .valueOr(false);
            },
            // Every view hears of a sign-in or sign-out at once: a chat drops what it held for
            // the keyring under the account that is gone.
            [this, &main = context_.main, alive = std::weak_ptr(lifetime_)] {
                main.post([this, alive] {
                    if (alive.lock()) {
                        refreshAuthModeInBackground();
                    }
                });
            });
    });
}

bool AppDependencies::onMainWhileStorageMayBlock() {
    return std::this_thread::get_id() == mainThread_ && secretBackend()->mayBlock();
}

AuthMode AppDependencies::authMode() {
    if (!onMainWhileStorageMayBlock()) {
        return authModeCache_.get();
    }
    if (!authModeCache_.isCurrent()) {
        refreshAuthModeInBackground();
    }
    return authModeCache_.latest().value_or(AuthMode::none());
}

void AppDependencies::refreshAuthModeInBackground() {
    if (authModeRefreshing_.exchange(true)) {
        return;
    }
    context_.worker.post([this, alive = std::weak_ptr(lifetime_)] {
        if (!alive.lock()) {
            return;
        }
        authModeCache_.get();
        authModeRefreshing_.store(false);
        context_.main.post([this, alive] {
            if (alive.lock()) {
                authModeArrived();
            }
        });
    });
}

void AppDependencies::authModeArrived() {
    if (!authModeCache_.latest()) {
        refreshAuthModeInBackground();
        return;
    }
    for (auto& action : std::exchange(whenAuthModeKnown_, {})) {
        action();
    }
    // A keyring that held the account back and answers now (unlocked here or elsewhere): the
    // account's e-mail, which could not be read at start, is read now.
    std::shared_ptr<GoogleSignInViewModel> signIn;
    {
        std::lock_guard lock(sharedSignInMutex_);
        signIn = sharedSignIn_.lock();
    }
    if (signIn && authModeCache_.latest()->asManaged() != nullptr && !signIn->userEmail.get()) {
        signIn->loadStoredEmail();
    }
    authModeArrivals_.set(authModeArrivals_.get() + 1);
    keyring_.modeArrived();
}

void AppDependencies::whenAuthModeKnown(std::function<void()> action) {
    // Resolves now when storage answers at once; else on the worker.
    authMode();
    if (authModeCache_.latest()) {
        action();
        return;
    }
    whenAuthModeKnown_.push_back(std::move(action));
}

Subscription AppDependencies::observeAuthModeArrivals(std::function<void()> changed) {
    return authModeArrivals_.subscribe([changed = std::move(changed)](std::uint64_t) { changed(); },
                                       Delivery::changesOnly);
}

void AppDependencies::resetAuthMode() {
    authModeCache_.reset();
}

bool AppDependencies::authModeKnown() {
    // A mode the keyring held back is asked again on the worker once it is due, so a question
    // after the keyring was unlocked elsewhere, or came back, goes out with the credentials.
    return !onMainWhileStorageMayBlock() || authModeCache_.latestIsUsable();
}

void AppDependencies::unlockKeyring(std::function<void(std::optional<std::string>)> done) {
    keyring_.unlock(std::move(done));
}

bool AppDependencies::keyringUnlockUnderWay() const {
    return keyring_.unlockUnderWay();
}

void AppDependencies::askKeyringAgain(std::function<void()> done) {
    keyring_.askAgain(std::move(done));
}

AccessTokenRefresher& AppDependencies::accessTokenRefresher() {
    return *accessTokenRefresher_.get([this] {
        return std::make_shared<AccessTokenRefresher>(
            cloudAuthStore(), customerTokenStore(), cloudConfig().baseURL,
            [this] { resetAuthMode(); }, http_, StructuredLogger("token-refresher"));
    });
}

TokenRefreshCoordinator& AppDependencies::tokenRefreshCoordinator() {
    return *tokenRefreshCoordinator_.get([this] {
        return std::make_shared<TokenRefreshCoordinator>(
            TokenRefreshCoordinator::refreshing(accessTokenRefresher()),
            [this] { return authMode(); });
    });
}

const Url& AppDependencies::relayBaseURL() {
    return *relayBaseURL_.get([this] {
        return std::make_shared<Url>(CorvaneBillingService::resolveBaseURL(context_.environment));
    });
}

const CorvaneBillingService& AppDependencies::billingService() {
    return *billingService_.get([this] {
        return std::make_shared<CorvaneBillingService>(http_, relayBaseURL(), context_.scheduler);
    });
}

const CorvaneResponses& AppDependencies::responses() {
    return *responses_.get([this] {
        return std::make_shared<CorvaneResponses>(
            http_, relayBaseURL(), presetSelection_,
            CorvaneResponses::refreshingThrough(
                [this](const std::optional<std::string>& failedToken) {
                    return tokenRefreshCoordinator().refreshForRetry(failedToken);
                },
                [this] { return authMode(); }));
    });
}

std::shared_ptr<PresetCatalogService> AppDependencies::presetCatalogService() {
    return presetCatalogService_.get([this] {
        return PresetCatalogService::create({
            .fetchCatalog =
                [this](const std::string& customerToken) {
                    return billingService().getCustomerModels(customerToken);
                },
            .authModeProvider = [this] { return authMode(); },
            .presets = presetSelection_,
            .main = context_.main,
            .background = context_.worker,
        });
    });
}

std::optional<std::filesystem::path> AppDependencies::memoryDBPath() {
    if (!MemoryRollout::isEnabled(context_.environment, context_.defaults,
                                  context_.bundleIdentifier)) {
        return std::nullopt;
    }
    try {
        return supportDirectory() / "memory.db";
    } catch (const std::exception& error) {
        StructuredLogger("memory-settings")
            .error("memory_db_path_unavailable", {{"error", error.what()}});
        return std::nullopt;
    }
}

std::shared_ptr<MemoryStore> AppDependencies::canonicalMemoryStore() {
    return canonicalMemoryStore_.get([this]() -> std::shared_ptr<MemoryStore> {
        std::filesystem::path path;
        try {
            path = supportDirectory() / "memory.db";
            return std::make_shared<MemoryStore>(path, MemoryStoreChanges::make());
        } catch (const std::exception& error) {
            StructuredLogger("memory-settings")
                .error("memory_store_unavailable", {{"error", error.what()}});
            if (!path.empty()) {
                fileProblems_->report(
                    {FileProblem::Kind::memoryUnavailable, path, std::nullopt, error.what()});
            }
            return nullptr;
        }
    });
}

std::shared_ptr<MemoryAuthorizationGate> AppDependencies::memoryAuthorizationGate() {
    return memoryAuthorizationGate_.get([] { return std::make_shared<MemoryAuthorizationGate>(); });
}

std::optional<MemoryPrincipal> AppDependencies::canonicalMemoryPrincipal() {
    const AuthMode mode = authMode();
    if (mode.asAPIKey() != nullptr) {
        // The local principal, made once per instance and kept in the defaults.
        const std::string key = instanceScopedKey("memory.local-principal");
        if (auto stored = context_.defaults.stringValue(key).optional();
            stored && !text::trimmed(*stored).empty()) {
            return MemoryPrincipal::make(*stored);
        }
        const std::string made = Uuid::random().lowercaseString();
        context_.defaults.set(key, made);
        return MemoryPrincipal::make(made);
    }
    if (mode.asManaged() != nullptr) {
        if (onMainWhileStorageMayBlock()) {
            std::lock_guard lock(resolvedUserIDMutex_);
            return resolvedUserID_ ? MemoryPrincipal::make(*resolvedUserID_) : std::nullopt;
        }
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

const MemoryAccountLifecycleCoordinator& AppDependencies::memoryAccountLifecycle() {
    return *memoryAccountLifecycle_.get([this] {
        return std::make_shared<MemoryAccountLifecycleCoordinator>(
            MemoryAccountLifecycleCoordinator{canonicalMemoryStore(), memoryAuthorizationGate(),
                                              StructuredLogger("memory-account-lifecycle")});
    });
}

std::shared_ptr<MemorySettingsViewModel> AppDependencies::makeMemorySettingsViewModel() {
    const bool enabled = memoryDBPath().has_value();
    return MemorySettingsViewModel::make(
        context_.main, context_.worker, enabled ? canonicalMemoryStore() : nullptr,
        [this] {
            return memoryDBPath() ? canonicalMemoryPrincipal() : std::optional<MemoryPrincipal>();
        },
        memoryAuthorizationGate(), StructuredLogger("memory-settings"));
}

std::shared_ptr<const GoogleAuthService> AppDependencies::googleAuthService() {
    return std::make_shared<GoogleAuthService>(cloudConfig().baseURL, "vask",
                                               StructuredLogger("google-auth"),
                                               webAuthenticationSession(), http_);
}

BrowserAuthenticationSession& AppDependencies::webAuthenticationSession() {
    return *webAuthenticationSession_.get([this] {
        return std::make_shared<BrowserAuthenticationSession>(
            context_.main, context_.scheduler, std::vector<std::string>{"xdg-open"},
            BrowserAuthenticationSession::defaultTimeLimit, StructuredLogger("web-auth-session"),
            context_.openers);
    });
}

std::shared_ptr<GoogleSignInViewModel> AppDependencies::makeGoogleSignInViewModel() {
    return GoogleSignInViewModel::make({
        .authService = googleAuthService(),
        .customerTokenStore = customerTokenStore(),
        .cloudAuthStore = cloudAuthStore(),
        .apiKeyStore = apiKeyStore(),
        .keychain = &keychain(),
        .authModeProvider = [this] { return authMode(); },
        .resetAuthMode = [this] { resetAuthMode(); },
        .memory =
            {
                .currentPrincipal = [this]() -> std::optional<std::string> {
                    if (auto principal = canonicalMemoryPrincipal()) {
                        return principal->rawValue();
                    }
                    return std::nullopt;
                },
                .suspend =
                    [this](const std::string& raw) {
                        if (auto principal = MemoryPrincipal::make(raw)) {
                            memoryAuthorizationGate()->suspend(*principal);
                        }
                    },
                .finishSignOut =
                    [this](const std::optional<std::string>& raw) {
                        memoryAccountLifecycle().finishSignOut(raw ? MemoryPrincipal::make(*raw)
                                                                   : std::nullopt);
                    },
            },
        .refreshPresetCatalog = [this] { presetCatalogService()->refreshInBackground(); },
        .clearPresetAccountState = [this] { presetCatalogService()->clearAccountState(); },
        .defaults = context_.defaults,
        .signInRecord = &signInRecord(),
        .main = context_.main,
        .worker = context_.worker,
    });
}

std::shared_ptr<GoogleSignInViewModel> AppDependencies::sharedGoogleSignInViewModel() {
    return sharedGoogleSignInViewModel_.get([this] {
        auto model = makeGoogleSignInViewModel();
        std::lock_guard lock(sharedSignInMutex_);
        sharedSignIn_ = model;
        return model;
    });
}

std::shared_ptr<BillingViewModel> AppDependencies::makeBillingViewModel() {
    return BillingViewModel::make({
        .service = billingService(),
        .authModeProvider = [this] { return authMode(); },
        .catalogService = presetCatalogService(),
        .tokenRefresh = tokenRefreshCoordinator(),
        .defaults = context_.defaults,
        .main = context_.main,
        .worker = context_.worker,
        .usageChanges = usageChanges_,
    });
}

SystemSettingsOpener& AppDependencies::settingsOpener() {
    return *settingsOpener_;
}

ApplicationActivation& AppDependencies::application() {
    return *application_;
}

std::shared_ptr<ShadowSyncViewModel> AppDependencies::shadowSyncViewModel() {
    return shadowSyncViewModel_.get([this] {
        return ShadowSyncViewModel::make({
            .supportDirectory = [this] { return supportDirectory(); },
            .chatDBPath = ChatDBReader::defaultChatDBPath(context_.environment),
            .defaults = context_.defaults,
            .fileAccessEnabledKey = instanceScopedKey("fileAccessEnabled"),
            .keepMessagesPreference =
                [env = context_.environment] {
                    return MessageRetentionDetector::keepMessagesPreference(env);
                },
            .main = context_.main,
            .worker = context_.worker,
            .scheduler = context_.scheduler,
        });
    });
}

std::shared_ptr<ContactsSyncViewModel> AppDependencies::contactsSyncViewModel() {
    return contactsSyncViewModel_.get([this] { return buildContactsSyncViewModel(); });
}

void AppDependencies::startContactsSync() {
    // Without access this only logs that it was skipped; the onboarding's and the settings'
    // requests start it later.
    contactsSyncViewModel()->syncNow();
}

std::shared_ptr<ContactsSyncViewModel> AppDependencies::buildContactsSyncViewModel() {
    const StructuredLogger logger("contacts-sync");
    std::string path;
    std::shared_ptr<ContactsSyncControlling> controller;
    std::optional<std::string> initialError;
    try {
        path = (supportDirectory() / "contacts.db").string();
    } catch (const std::exception& error) {
        logger.error("contacts_path_error", {{"error", error.what()}});
        initialError = error.what();
    }
    if (!path.empty()) {
        try {
            std::shared_ptr<SystemContactStore> platformStore = context_.contactStore;
            if (!platformStore) {
                const auto folder = VCardContactStore::defaultFolder(context_.environment);
                if (!folder) {
                    throw Error("No folder for the address book: no home folder");
                }
                platformStore = std::make_shared<VCardContactStore>(*folder, context_.defaults,
                                                                    context_.scheduler);
            }
            controller = LiveContactsSyncController::make(ContactsManager(platformStore),
                                                          ContactsStore(path), context_.main);
        } catch (const std::exception& error) {
            logger.error("contacts_store_open_failed", {{"error", error.what()}});
            initialError = error.what();
        }
    }
    return ContactsSyncViewModel::make({
        .contactsDBPath = path,
        .controller = std::move(controller),
        .initialError = std::move(initialError),
        .contactsSettingsOpener =
            [opener = settingsOpener_] {
                return ContactsSyncViewModel::openContactsSettings(*opener);
            },
        .application = *application_,
        .main = context_.main,
        .scheduler = context_.scheduler,
        .trace =
            [env = context_.environment](std::string_view line) {
                ContactsTrace::log(line, env, ContactsTrace::defaultPath());
            },
    });
}

std::shared_ptr<FullDiskAccessViewModel> AppDependencies::makeFullDiskAccessViewModel() {
    const auto chatDB = ChatDBReader::defaultChatDBPath(context_.environment);
    return FullDiskAccessViewModel::make({
        .probe =
            [path = chatDB](const StructuredLogger& logger) {
                // Nothing grants access here: the database Vask reads is the one to probe,
                // CHAT_DB_PATH included, or a copy placed there could never pass.
                return FullDiskAccessChecker::checkDatabaseAccess(path, logger);
            },
        .chatDBPath = chatDB,
        .folderOpener = context_.folderOpener,
        .main = context_.main,
        .worker = context_.worker,
    });
}

OnboardingState& AppDependencies::onboardingState() {
    return *onboardingState_.get([this] {
        return std::make_shared<OnboardingState>(context_.defaults, context_.environment,
                                                 context_.bundleIdentifier);
    });
}

bool AppDependencies::shouldPresentOnboardingAtLaunch() {
    return onboardingState().shouldPresentAtLaunch(
        [this] { return authMode(); },
        [this] {
            return FullDiskAccessChecker::checkDatabaseAccess(
                ChatDBReader::defaultChatDBPath(context_.environment),
                StructuredLogger("setup-state"));
        });
}

std::shared_ptr<OnboardingStepsModel> AppDependencies::makeOnboardingStepsModel(
    OnboardingStepsModel::Actions actions, std::string locale) {
    return OnboardingStepsModel::make({
        .signIn = sharedGoogleSignInViewModel(),
        .access = makeFullDiskAccessViewModel(),
        .contacts = contactsSyncViewModel(),
        .sync = shadowSyncViewModel(),
        .state = onboardingState(),
        .authMode = [this] { return authMode(); },
        .shouldPresentAtLaunch = [this] { return shouldPresentOnboardingAtLaunch(); },
        .hasTray = [this] { return trayShown_.get(); },
        .chatDBPath = ChatDBReader::defaultChatDBPath(context_.environment),
        .main = context_.main,
        .scheduler = context_.scheduler,
        .actions = std::move(actions),
        .locale = std::move(locale),
    });
}

// --- Chat.

ConfigManager& AppDependencies::configManager() {
    return *configManager_.get([this] {
        std::optional<std::filesystem::path> file;
        try {
            file = supportDirectory() / "config.json";
        } catch (const std::exception& error) {
            StructuredLogger("config").error("config_location_unavailable",
                                             {{"error", error.what()}});
        }
        return std::make_shared<ConfigManager>(file, context_.environment);
    });
}

std::shared_ptr<ChatViewModel> AppDependencies::chatViewModel() {
    return chatViewModel_.get([this] { return buildChatViewModel(true); });
}

std::shared_ptr<ChatViewModel> AppDependencies::popoverChatViewModel() {
    return popoverChatViewModel_.get([this] { return buildChatViewModel(false); });
}

std::shared_ptr<ChatViewModel> AppDependencies::buildChatViewModel(bool persistsSessions) {
    std::string shadowDBPath;
    std::optional<std::string> shadowDBPathError;
    std::optional<std::filesystem::path> supportFolder;
    try {
        supportFolder = supportDirectory();
        shadowDBPath = (*supportFolder / "shadow.db").string();
    } catch (const std::exception& error) {
        shadowDBPathError = error.what();
    }
    const auto memoryPath = supportFolder ? memoryDBPath() : std::nullopt;
    const bool memoryOn = MemoryRollout::isEnabled(context_.environment, context_.defaults,
                                                   context_.bundleIdentifier);

    EngineChatHelperRunner::Settings settings;
    settings.runner.relayServiceHost = relayBaseURL().host();
    settings.runner.launchEnvironment = [env = context_.environment] { return env; };
    settings.attempt.loadConfig = [this]() -> std::optional<AppConfig> {
        auto loaded = configManager().loadResult();
        return loaded.ok() ? std::optional(std::move(loaded).value()) : std::nullopt;
    };
    settings.prefetch.fileAccessConfig = [this](std::optional<std::string> visionModel) {
        return configManager().fileAccessConfig(std::move(visionModel));
    };
    settings.prefetch.filePrefetchServiceFactory = fileAccessPrefetchFactory(relayBaseURL(), http_);
    settings.attempt.appVersion = VASK_APP_VERSION;

    auto citations = std::make_shared<CitationService>(std::make_shared<ShadowCitationReader>(),
                                                       [this] { return supportDirectory(); });
    return ChatViewModel::make({
        .main = context_.main,
        .worker = context_.worker,
        .defaults = context_.defaults,
        .presets = presetSelection_,
        .usageChanged = [this] { countUsageChange(usageChanges_); },
        .shadowDBPath = shadowDBPath,
        .shadowDBPathError = shadowDBPathError,
        .historyIndex = shadowSyncViewModel()->historyIndex(),
        .memoryDBPath = memoryPath ? std::optional(memoryPath->string()) : std::nullopt,
        .memoryPrincipalProvider = [this]() -> std::optional<MemoryPrincipal> {
            if (!MemoryRollout::isEnabled(context_.environment, context_.defaults,
                                          context_.bundleIdentifier)) {
                return std::nullopt;
            }
            return canonicalMemoryPrincipal();
        },
        .memoryStore = memoryOn ? canonicalMemoryStore() : nullptr,
        .memoryAuthorizationGate = memoryAuthorizationGate(),
        .authModeProvider = [this] { return authMode(); },
        .authModeKnown = [this] { return authModeKnown(); },
        .unlockKeyring = [this](auto done) { unlockKeyring(std::move(done)); },
        .askKeyringAgain = [this](auto done) { askKeyringAgain(std::move(done)); },
        .observeCredentials =
            [this](std::function<void()> changed) {
                return observeAuthModeArrivals(std::move(changed));
            },
        .keyringUnlockUnderWay = [this] { return keyringUnlockUnderWay(); },
        .accountChanges = [this] { return signInRecord().steps(); },
        .keeperOfHeldChats = persistsSessions ? std::function<std::shared_ptr<ChatViewModel>()>{}
                                              : [this] { return chatViewModel(); },
        .sessionStore = persistsSessions&& supportFolder
                            ? std::make_shared<SQLiteSessionStore>(*supportFolder / "sessions.db")
                            : nullptr,
        .accountURL = cloudConfig().baseURL.appendingPath("account").absoluteString(),
        .persistsSessions = persistsSessions,
        .supportDirectory = [this] { return supportDirectory(); },
        .helperRunnerFactory =
            EngineChatHelperRunner::factory(context_.environment, std::move(settings)),
        .personaContextHostFactory = personaContextHostFactory(),
        .resolveCitations =
            [citations](const std::vector<RLMEvidence>& evidence) {
                return citations->resolve(evidence);
            },
        .completeTitle = titleCompletionThrough(responses()),
        .refreshForRetry =
            [this](const std::optional<std::string>& failedToken) {
                return tokenRefreshCoordinator().refreshForRetry(failedToken);
            },
        .billingService = &billingService(),
    });
}

// --- Proactive assistance -------------------------------------------------------------------

UserNotificationCenter& AppDependencies::userNotificationCenter() {
    return *userNotificationCenter_.get([this]() -> std::shared_ptr<UserNotificationCenter> {
        return UserNotificationCenter::makeSystem(context_.environment);
    });
}

std::shared_ptr<NotificationService> AppDependencies::notificationService() {
    return notificationService_.get([this] {
        return std::make_shared<NotificationService>(userNotificationCenter(), context_.main);
    });
}

std::shared_ptr<NeedsReplyService> AppDependencies::needsReplyService() {
    return needsReplyService_.get([this] {
        return std::make_shared<NeedsReplyService>(
            context_.defaults, instanceScopedKey(NeedsReplyService::cacheKeyBase), context_.main,
            context_.worker, NeedsReplyService::credentialsFrom([this] { return authMode(); }),
            NeedsReplyService::classifierUsing(responses()));
    });
}

std::shared_ptr<AwaitingReplyViewModel> AppDependencies::awaitingReplyViewModel() {
    return awaitingReplyViewModel_.get([this] {
        auto seams = AwaitingReplyViewModel::standardSeams(
            [sync = shadowSyncViewModel()](std::function<void(std::int64_t)> deliver) {
                return sync->syncGeneration.subscribe(
                    [deliver = std::move(deliver)](int generation) { deliver(generation); });
            },
            context_.defaults,
            [this](const std::vector<AwaitingReply>& replies) {
                needsReplyService()->classifyIfNeeded(replies, [](const auto&) {});
            });
        seams.proactiveSurfacesEnabled = [this] {
            return context_.defaults.boolValue(instanceScopedKey(ProactiveSurfaces::enabledKeyBase))
                .valueOr(false);
        };
        // The root's own databases (its support directory comes from its environment).
        seams.databasePaths = [this]() -> std::optional<AwaitingReplyViewModel::DatabasePaths> {
            try {
                const auto folder = supportDirectory();
                return AwaitingReplyViewModel::DatabasePaths{(folder / "shadow.db").string(),
                                                             (folder / "contacts.db").string()};
            } catch (const std::exception&) {
                return std::nullopt;
            }
        };
        seams.contactsSynchronised =
            [contacts = contactsSyncViewModel()](std::function<void()> synchronised) {
                return contacts->lastSyncedAt.subscribe(
                    [synchronised = std::move(synchronised)](const auto&) { synchronised(); },
                    Delivery::changesOnly);
            };
        return std::make_shared<AwaitingReplyViewModel>(
            std::move(seams),
            AwaitingReadStore(context_.defaults, instanceScopedKey(AwaitingReadStore::keyBase)),
            context_.main, context_.worker, context_.scheduler);
    });
}

std::shared_ptr<AwaitingReplyNotifier> AppDependencies::awaitingReplyNotifier() {
    return awaitingReplyNotifier_.get([this] {
        auto awaiting = awaitingReplyViewModel();
        auto sync = shadowSyncViewModel();
        return std::make_shared<AwaitingReplyNotifier>(
            *notificationService(), context_.defaults,
            [this](std::string_view key) { return instanceScopedKey(key); },
            AwaitingReplyNotifier::Hooks{
                .subscribeReplies =
                    [awaiting](std::function<void(const AwaitingReplyNotifier::Replies&)> deliver) {
                        return awaiting->replies().subscribe(std::move(deliver));
                    },
                .hasSynced = [sync] { return sync->hasSynced.get(); },
                .listIsLoaded = [awaiting] { return awaiting->hasLoaded(); },
                .proactiveSurfacesEnabled =
                    [this] {
                        return context_.defaults
                            .boolValue(instanceScopedKey(ProactiveSurfaces::enabledKeyBase))
                            .valueOr(false);
                    },
                .classify =
                    [this](const AwaitingReplyNotifier::Replies& replies,
                           std::function<void(const AwaitingReplyNotifier::Verdicts&)> done) {
                        needsReplyService()->classifyIfNeeded(replies, std::move(done));
                    },
                .openMain = [this] { WindowCoordinator::run(windowCoordinator_.openMain); },
                .focusAwaitingScreen = [awaiting] { awaiting->pendingFocus().set(true); },
                .currentReplies = [awaiting] { return awaiting->replies().get(); },
                // Written where the sidebar and the awaiting screen read it.
                .showDays = AwaitingScreenPresenter::storeDisplayDays(context_.defaults),
            },
            context_.main, Clock::system(), context_.scheduler);
    });
}

std::filesystem::path AppDependencies::shadowDBPath() const {
    return supportDirectory() / "shadow.db";
}

PersonaContextHostFactory AppDependencies::personaContextHostFactory() {
    return LoopbackPersonaContextHost::factory();
}

void AppDependencies::closeDatabases() {
    const StructuredLogger logger("launch");
    const auto closed = SQLiteConnection::closeEveryConnection();
    // A database whose last connection was read-only keeps its write-ahead log (only a writer
    // folds it in): one writer, opened and closed, does that.
    std::size_t folded = 0;
    try {
        const auto support = supportDirectory();
        for (const auto& path : {shadowDBPath(), support / "contacts.db", support / "memory.db",
                                 support / "sessions.db"}) {
            std::error_code ignored;
            const auto wal = std::filesystem::path(path.string() + "-wal");
            if (std::filesystem::symlink_status(path, ignored).type() !=
                    std::filesystem::file_type::regular ||
                !std::filesystem::exists(wal, ignored)) {
                continue;
            }
            const auto writer =
                SQLiteConnection::open(path, SQLiteSupport::OpenMode::readWriteCreate);
            writer.execute("PRAGMA user_version");
            ++folded;
        }
    } catch (const std::exception& error) {
        logger.error("databases_fold_failed", {{"error", error.what()}});
    }
    logger.info("databases_closed",
                {{"count", std::to_string(closed)}, {"folded", std::to_string(folded)}});
}

void AppDependencies::shutDown() {
    // No opener's verdict reaches a view that is going.
    if (context_.openers) {
        context_.openers->stop();
    }
    shadowSyncViewModel()->stopSynchronising();
    // The popover first: a question of a session it handed over is stored by the main window's
    // chat, whose own stop then writes it.
    for (const auto& chat : {popoverChatViewModel(), chatViewModel()}) {
        chat->stopRunningTurns();
    }
    // The quit gave up the keyring's calls (LibsecretBackend::abandonCalls): an unlock whose
    // prompt is still open has answered. Nothing asks the keyring from here on.
    keyring_.shutDown();
}

}  // namespace vask
