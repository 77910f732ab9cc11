#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "chat/chat_view_model.h"

#include "engine/persona_context_host.h"
#include "foundation/access_token_refresher.h"
#include "foundation/api_key_store.h"
#include "foundation/auth_mode.h"
#include "foundation/auth_mode_cache.h"
#include "foundation/browser_authentication_session.h"
#include "foundation/cloud_auth_store.h"
#include "foundation/cloud_config.h"
#include "foundation/config_manager.h"
#include "foundation/customer_token_store.h"
#include "foundation/google_auth_service.h"
#include "foundation/google_sign_in_view_model.h"
#include "foundation/keychain_store.h"
#include "foundation/sign_in_record.h"
#include "foundation/token_refresh_coordinator.h"
#include "memory/memory_account_lifecycle_coordinator.h"
#include "memory/memory_authorization_gate.h"
#include "memory/memory_principal.h"
#include "memory/memory_settings_navigation.h"
#include "memory/memory_settings_view_model.h"
#include "memory/memory_store.h"
#include "platform/environment.h"
#include "platform/executor.h"
#include "platform/http_client.h"
#include "platform/open_command.h"
#include "platform/published.h"
#include "platform/scheduler.h"
#include "platform/secret_backend.h"
#include "platform/url.h"
#include "platform/user_defaults.h"
#include "proactive/awaiting_reply_notifier.h"
#include "proactive/awaiting_reply_view_model.h"
#include "proactive/needs_reply_service.h"
#include "proactive/notification_service.h"
#include "proactive/user_notification_center.h"
#include "relay/billing_view_model.h"
#include "relay/corvane_billing_service.h"
#include "relay/corvane_responses.h"
#include "relay/preset_catalog_service.h"
#include "shell/application_activation.h"
#include "shell/contacts_sync_view_model.h"
#include "shell/full_disk_access_view_model.h"
#include "shell/keyring_follower.h"
#include "shell/lazy.h"
#include "shell/onboarding_state.h"
#include "shell/onboarding_steps_model.h"
#include "shell/shadow_sync_view_model.h"
#include "shell/system_settings_opener.h"
#include "shell/window_coordinator.h"
#include "sources/system_contact_store.h"

namespace vask {

// The composition root: the application's shared services, each built on first use (also under
// concurrent first uses) and kept for the root's life. Components below the shell never reach in
// here; they get what they need as constructor parameters, wired here.
//
// The root reads nothing process-wide by itself: what it depends on around it (environment,
// defaults, executors, secret storage, the window layer's services) comes in through Context, so
// tests build as many independent roots as they like. The application's composition
// (AppComposition, src/app) builds one with the process's context at start-up and owns it.
class AppDependencies {
  public:
    struct Context {
        Environment environment;
        std::optional<std::string> bundleIdentifier;
        UserDefaults& defaults;
        MainExecutor& main;
        Executor& worker;
        Scheduler& scheduler;
        // Absent: the Secret Service with the data folder's record beside it, whether one
        // answers on the session bus or not (the 0600 file "credentials.json" alone where the
        // environment sets VASK_CREDENTIAL_STORE=file); chosen on the worker after first use
        // and logged (SecretStorageChoice).
        std::shared_ptr<SecretBackend> secretBackend = nullptr;
        // The keyring's own coming (true) and going (false), called on any thread. Absent: the
        // Secret Service's name on the session bus where the root chose the storage
        // (LibsecretBackend::watchService); nothing with the storage given above.
        std::function<Subscription(std::function<void(bool present)>)> watchKeyring = nullptr;
        // Absent: none can be opened (the Linux default; callers show their failure text).
        std::shared_ptr<SystemSettingsOpener> settingsOpener = nullptr;
        // Absent: a headless application that is never active.
        std::shared_ptr<ApplicationActivation> application = nullptr;
        // Absent: the vCard folder of the environment, opened on first use.
        std::shared_ptr<SystemContactStore> contactStore = nullptr;
        // Shows folders in the file manager. Absent: none opens (callers say so).
        std::shared_ptr<UrlOpener> folderOpener = nullptr;
        // Waits for the desktop openers (file manager, browser) the root starts; stopped by
        // shutDown(). Absent: each opener has a runner of its own.
        std::shared_ptr<OpenCommandRunner> openers = nullptr;
        // Where the files Vask could not keep are reported (the settings, the credentials file,
        // memory.db), for the user. Absent: the root keeps its own.
        std::shared_ptr<FileProblems> fileProblems = nullptr;

        // The process's own: its environment, its settings file (UserDefaults::standardPath())
        // reporting to its file problems, the system scheduler, and folders opened by xdg-open,
        // whose exit status says whether the folder was shown. The settings file and the
        // problems are made once and kept for the process's life.
        static Context forProcess(MainExecutor& main, Executor& worker);
    };

    explicit AppDependencies(Context context);
    ~AppDependencies();
    AppDependencies(const AppDependencies&) = delete;
    AppDependencies& operator=(const AppDependencies&) = delete;

    const Context& context() const { return context_; }
    MainExecutor& mainExecutor() const { return context_.main; }

    // The support directory, created when missing; throws when it cannot be had.
    std::filesystem::path supportDirectory() const;
    // `key` in the production instance, key + "." + the instance name in any other.
    std::string instanceScopedKey(std::string_view key) const;

    std::shared_ptr<SecretBackend> secretBackend();
    KeychainStore& keychain();
    const CloudConfig& cloudConfig();
    CloudAuthStore& cloudAuthStore();
    CustomerTokenStore& customerTokenStore();
    APIKeyStore& apiKeyStore();
    // Whether the user signed in and has not signed out since, in the settings: what tells a
    // signed-in user behind a locked keyring from one who never signed in.
    SignInRecord& signInRecord();

    // The cached authentication mode, resolved from the stores when the cache is empty (API
    // keys not allowed). Safe from any thread. On the main thread (the one that built the root)
    // it never waits on a keyring: while storage may block and the cache is empty it answers
    // the mode known before the last emptying (none before the first), resolves on the worker,
    // and tells observeAuthModeArrivals() when the mode arrives.
    AuthMode authMode();
    // Main executor: runs `action` at once when a mode has been resolved, else once the first
    // one arrives.
    void whenAuthModeKnown(std::function<void()> action);
    // Main executor: `changed` runs each time a mode resolved on the worker arrives. While the
    // latest mode is one the keyring held back (locked, not answering) the keyring is asked
    // again from time to time, without any prompt, and when Vask becomes active: every view
    // that shows the keyring's state hears here when it answers, whoever unlocked it (another
    // view, or something outside Vask) or however long it hung.
    [[nodiscard]] Subscription observeAuthModeArrivals(std::function<void()> changed);
    // The first and the longest pause between those questions.
    static constexpr Clock::Duration keyringFollowFirst = KeyringFollower::followFirst;
    static constexpr Clock::Duration keyringFollowLongest = KeyringFollower::followLongest;
    // Empties the cache, so that the next authMode() resolves again: after a token refresh, a
    // sign-in and a sign-out.
    void resetAuthMode();
    // Whether authMode() answers from storage already (never waits).
    bool authModeKnown();
    // Asks the keyring that holds the credentials to unlock (its prompt may show: the user
    // asked), on a thread of its own (never the worker pool: a prompt may stay open for as long
    // as the user leaves it, and the quit gives it up); then the mode is resolved again and
    // `done` runs on the main executor with the failure's text, nothing once unlocked. One at a
    // time: asked while one is pending, `done` waits for that one's answer. Main executor.
    void unlockKeyring(std::function<void(std::optional<std::string>)> done);
    // Asks the keyring again, without any prompt, after it did not answer: the mode is resolved
    // again on the same thread as unlockKeyring (after any unlock pending), then `done` runs on
    // the main executor. Main executor.
    void askKeyringAgain(std::function<void()> done);
    // Whether an unlock is under way (its prompt open, or its answer not in yet) or waits for
    // the question to the keyring before it: unlockKeyring() then joins it. Main executor.
    bool keyringUnlockUnderWay() const;

    AccessTokenRefresher& accessTokenRefresher();
    // The one coordinator every caller with an unauthorised reply goes through.
    TokenRefreshCoordinator& tokenRefreshCoordinator();

    // The relay service's root: VASK_RELAY_BASE_URL when set to an absolute http(s) URL, else the
    // built-in one.
    const Url& relayBaseURL();
    const CorvaneBillingService& billingService();
    const CorvaneResponses& responses();
    // The preset selection over the context's defaults, the one the chats, the utility calls and
    // the catalog service share.
    PresetSelection& presetSelection() { return presetSelection_; }
    std::shared_ptr<PresetCatalogService> presetCatalogService();

    // memory.db in the support directory while private memory is on; nothing when it is off or
    // the support directory cannot be had.
    std::optional<std::filesystem::path> memoryDBPath();
    // The one memory store, opened on first use; null when it cannot be opened (logged).
    std::shared_ptr<MemoryStore> canonicalMemoryStore();
    std::shared_ptr<MemoryAuthorizationGate> memoryAuthorizationGate();
    // The account scope of private memory: the local principal with an API key, the signed-in
    // user with a managed account, none without credentials.
    std::optional<MemoryPrincipal> canonicalMemoryPrincipal();
    const MemoryAccountLifecycleCoordinator& memoryAccountLifecycle();
    // A new view model per call; without private memory it has no store.
    std::shared_ptr<MemorySettingsViewModel> makeMemorySettingsViewModel();

    // A new service on every call, for the cloud backend and the "vask" callback scheme.
    std::shared_ptr<const GoogleAuthService> googleAuthService();
    // The one pending Google sign-in flow: the URL handler hands it every "vask:" URL
    // (deliverCallback), and onboarding's cancel button ends it.
    BrowserAuthenticationSession& webAuthenticationSession();
    std::shared_ptr<GoogleSignInViewModel> makeGoogleSignInViewModel();
    std::shared_ptr<GoogleSignInViewModel> sharedGoogleSignInViewModel();
    // A new view model per call (one per settings view).
    std::shared_ptr<BillingViewModel> makeBillingViewModel();

    // The platform services the view models reach.
    SystemSettingsOpener& settingsOpener();
    ApplicationActivation& application();
    // How the main and onboarding windows open and close; the window side fills it in.
    WindowCoordinator& windowCoordinator() { return windowCoordinator_; }
    // Whether Vask's icon is in a tray now; the tray side keeps it up to date (a tray may come
    // after Vask). What the windows say about finding Vask again depends on it.
    Published<bool>& trayShown() { return trayShown_; }
    // A chat's request to show the memory manager, read by every settings window.
    MemorySettingsNavigation& memorySettingsNavigation() { return memorySettingsNavigation_; }

    // The message synchronisation shared by every view.
    std::shared_ptr<ShadowSyncViewModel> shadowSyncViewModel();
    // The contacts permission and synchronisation shared by every view.
    std::shared_ptr<ContactsSyncViewModel> contactsSyncViewModel();
    // At launch: copies the address book into the contacts database when access was granted
    // and follows its changes from then on, whichever window or popover the user opens first
    // (the awaiting list takes its names from that database and waits for it).
    void startContactsSync();
    // Each view that shows Full Disk Access owns one.
    std::shared_ptr<FullDiskAccessViewModel> makeFullDiskAccessViewModel();
    OnboardingState& onboardingState();
    // Whether the onboarding window opens at launch: read afresh on each call (it probes the
    // Messages database).
    bool shouldPresentOnboardingAtLaunch();

    // One per onboarding window: the shared sign-in, contacts and message view models and an
    // access check of its own. Counts are grouped in `locale` (ICU id; empty: the process's).
    std::shared_ptr<OnboardingStepsModel> makeOnboardingStepsModel(
        OnboardingStepsModel::Actions actions, std::string locale = {});

    // The one HTTP client every service of the root talks through, so that stopAll() on it at
    // quit ends every exchange of the root at once.
    HttpClient& httpClient() { return http_; }
    // The context's file problems, else the root's own; the application listens to them.
    FileProblems& fileProblems() { return *fileProblems_; }

    // --- Chat.
    // config.json in the support directory, read afresh on every use.
    ConfigManager& configManager();
    // The main window's chat, which saves its sessions in sessions.db.
    std::shared_ptr<ChatViewModel> chatViewModel();
    // The popover's chat, which keeps its sessions in memory.
    std::shared_ptr<ChatViewModel> popoverChatViewModel();

    // --- Proactive assistance ---------------------------------------------------------------
    // The desktop's notification centre (the file sink when VASK_NOTIFICATION_SINK is set).
    UserNotificationCenter& userNotificationCenter();
    // The one gateway to notifications; taps are routed by its handlers.
    std::shared_ptr<NotificationService> notificationService();
    // Which awaiting conversations need a reply, judged through the relay.
    std::shared_ptr<NeedsReplyService> needsReplyService();
    // The conversations awaiting the user's reply, reloaded after every synchronisation.
    std::shared_ptr<AwaitingReplyViewModel> awaitingReplyViewModel();
    // Announces long-waiting conversations; a tap opens the main window on the awaiting screen.
    std::shared_ptr<AwaitingReplyNotifier> awaitingReplyNotifier();
    // shadow.db in the support directory (which may not exist yet); throws when the support
    // directory cannot be had.
    std::filesystem::path shadowDBPath() const;
    // What a chat turn starts its persona-context endpoint with, given shadowDBPath().
    PersonaContextHostFactory personaContextHostFactory();
    // --- end of proactive assistance ------------------------------------------------------

    // On quit, before the worker is joined: the synchronisation stops (between statements, or
    // inside one), and every chat turn of both chats stops with its question stored and every
    // pending save written. Network requests are the caller's to stop (httpClient().stopAll()).
    void shutDown();
    // At quit, after shutDown() and once nothing runs on the worker any more: every database
    // connection closes (services keep their objects, which open nothing from here on), so that
    // a clean quit leaves each database checkpointed, without -wal or -shm files, before the
    // single-instance lock is released.
    void closeDatabases();

  private:
    std::shared_ptr<ContactsSyncViewModel> buildContactsSyncViewModel();
    // Whether the caller is the main thread and secret storage may wait on a keyring: then
    // nothing may read storage here.
    bool onMainWhileStorageMayBlock();
    void refreshAuthModeInBackground();
    // A mode resolved on the worker (or by the keyring's follower) is in: every view hears.
    void authModeArrived();
    std::shared_ptr<ChatViewModel> buildChatViewModel(bool persistsSessions);

    Context context_;
    std::shared_ptr<FileProblems> fileProblems_;
    HttpClient http_;
    PresetSelection presetSelection_{context_.defaults};
    // Told by both chats, heard by every billing view model. Main executor only.
    UsageChanges usageChanges_{0};
    // Where the main executor runs: the root is built there, by the application and by tests.
    std::thread::id mainThread_ = std::this_thread::get_id();
    // Held weakly by tasks that come back to the root.
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
    std::atomic<bool> authModeRefreshing_{false};
    // Main executor only.
    std::vector<std::function<void()>> whenAuthModeKnown_;
    // The shared sign-in view model once built, for the e-mail a keyring held back.
    std::mutex sharedSignInMutex_;
    std::weak_ptr<GoogleSignInViewModel> sharedSignIn_;
    Published<std::uint64_t> authModeArrivals_{0};
    Published<bool> trayShown_{false};
    // The signed-in account's user id as of the last resolution of the mode.
    std::mutex resolvedUserIDMutex_;
    std::optional<std::string> resolvedUserID_;
    std::shared_ptr<SystemSettingsOpener> settingsOpener_;
    std::shared_ptr<ApplicationActivation> application_;
    // The unlock, the questions to a keyring that held the mode back, and its coming and going;
    // shut down at shutDown() and destruction, before anything it reaches goes.
    KeyringFollower keyring_;
    WindowCoordinator windowCoordinator_;
    MemorySettingsNavigation memorySettingsNavigation_;
    // Declared in the order they depend on each other, so that each is destroyed before what
    // it uses.
    Lazy<SecretBackend> secretBackend_;
    Lazy<KeychainStore> keychain_;
    Lazy<CloudConfig> cloudConfig_;
    Lazy<CloudAuthStore> cloudAuthStore_;
    Lazy<CustomerTokenStore> customerTokenStore_;
    Lazy<APIKeyStore> apiKeyStore_;
    Lazy<SignInRecord> signInRecord_;
    AuthModeCache authModeCache_;
    Lazy<AccessTokenRefresher> accessTokenRefresher_;
    Lazy<TokenRefreshCoordinator> tokenRefreshCoordinator_;
    Lazy<Url> relayBaseURL_;
    Lazy<CorvaneBillingService> billingService_;
    Lazy<CorvaneResponses> responses_;
    Lazy<PresetCatalogService> presetCatalogService_;
    Lazy<MemoryStore> canonicalMemoryStore_;
    Lazy<MemoryAuthorizationGate> memoryAuthorizationGate_;
    Lazy<MemoryAccountLifecycleCoordinator> memoryAccountLifecycle_;
    Lazy<BrowserAuthenticationSession> webAuthenticationSession_;
    Lazy<GoogleSignInViewModel> sharedGoogleSignInViewModel_;
    Lazy<OnboardingState> onboardingState_;
    Lazy<ShadowSyncViewModel> shadowSyncViewModel_;
    Lazy<ContactsSyncViewModel> contactsSyncViewModel_;
    Lazy<ConfigManager> configManager_;
    Lazy<ChatViewModel> chatViewModel_;
    Lazy<ChatViewModel> popoverChatViewModel_;

    // Proactive assistance: the centre outlives the service, the service the notifier.
    Lazy<UserNotificationCenter> userNotificationCenter_;
    Lazy<NotificationService> notificationService_;
    Lazy<NeedsReplyService> needsReplyService_;
    Lazy<AwaitingReplyViewModel> awaitingReplyViewModel_;
    Lazy<AwaitingReplyNotifier> awaitingReplyNotifier_;
};

}  // namespace vask
