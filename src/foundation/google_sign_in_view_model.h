#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "foundation/account_storage.h"
#include "foundation/api_key_store.h"
#include "foundation/auth_mode.h"
#include "foundation/cloud_auth_store.h"
#include "foundation/customer_token_store.h"
#include "foundation/google_auth_service.h"
#include "foundation/managed_tier_snapshot.h"
#include "foundation/sign_in_record.h"
#include "foundation/structured_logger.h"
#include "platform/executor.h"
#include "platform/ordered_executor.h"
#include "platform/published.h"
#include "platform/user_defaults.h"

namespace vask {

class GoogleSignInState {
  public:
    enum class Kind { idle, signingIn, success, error };

    static GoogleSignInState idle() { return GoogleSignInState(Kind::idle, {}); }
    static GoogleSignInState signingIn() { return GoogleSignInState(Kind::signingIn, {}); }
    static GoogleSignInState success() { return GoogleSignInState(Kind::success, {}); }
    static GoogleSignInState error(std::string text) {
        return GoogleSignInState(Kind::error, std::move(text));
    }
    // No browser could be opened: the user can open `link` by hand, and the sign-in still
    // finishes when its callback arrives.
    static GoogleSignInState browserUnavailable(std::string text, std::string link) {
        GoogleSignInState state(Kind::error, std::move(text));
        state.link_ = std::move(link);
        return state;
    }

    GoogleSignInState() = default;

    Kind kind() const { return kind_; }
    // The text shown to the user, for Kind::error.
    const std::string& errorText() const { return text_; }
    // The sign-in page to open by hand, when no browser could be opened.
    const std::optional<std::string>& link() const { return link_; }

    bool operator==(const GoogleSignInState&) const = default;

  private:
    GoogleSignInState(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

    Kind kind_ = Kind::idle;
    std::string text_;
    std::optional<std::string> link_;
};

// What signing out needs of private memory, which lives above this module. Principals are
// passed as their raw values; every member may be empty (memory not in use).
struct SignOutMemorySteps {
    // The current account's memory principal, if any.
    std::function<std::optional<std::string>()> currentPrincipal;
    // Refuses every memory write authorised so far and holds new ones back. Never fails.
    std::function<void(const std::string& principal)> suspend;
    // Lifts the suspension, keeping the account's memory on this machine. Never fails.
    std::function<void(const std::optional<std::string>& principal)> finishSignOut;
};

// Where an account begins and ends: signing in runs the Google flow and stores the customer
// token and cloud session; signing out suspends private memory, removes every credential and
// the account's cached plan data, and finishes the memory side. Lives on the main executor.
// Everything that reaches secret storage (which may wait on a keyring) runs on the worker, the
// code exchange too; the storage steps run one at a time in the order they were asked for, so
// a sign-out asked while a sign-in stores its account removes what that sign-in stored.
class GoogleSignInViewModel : public std::enable_shared_from_this<GoogleSignInViewModel> {
  public:
    static constexpr const char* notConfiguredText = "Google Sign-In is not configured.";
    static constexpr const char* signOutFailedPrefix = "Failed to sign out: ";

    struct Dependencies {
        // Absent when sign-in is not available.
        std::shared_ptr<const GoogleAuthService> authService;
        CustomerTokenStore& customerTokenStore;
        AuthSessionStorage& cloudAuthStore;
        APIKeyStore& apiKeyStore;
        // As in AccountStorage.
        SecureStorage* keychain = nullptr;
        // Called on the worker.
        std::function<AuthMode()> authModeProvider;
        // Empties the cached authentication mode, so the next read resolves from the stores.
        // Called on the worker, followed there by authModeProvider().
        std::function<void()> resetAuthMode = {};
        SignOutMemorySteps memory = {};
        // Starts a background refresh of the preset catalog and returns at once.
        std::function<void()> refreshPresetCatalog = {};
        // Forgets the signed-in account's preset catalog record.
        std::function<void()> clearPresetAccountState = {};
        UserDefaults& defaults;
        StructuredLogger logger = StructuredLogger("google-signin-vm");
        // As in AccountStorage.
        SignInRecord* signInRecord = nullptr;
        MainExecutor& main;
        Executor& worker;
    };

    // Fills userEmail from the keychain (later, from the worker) when the current mode is a
    // managed account.
    static std::shared_ptr<GoogleSignInViewModel> make(Dependencies dependencies);

    GoogleSignInViewModel(const GoogleSignInViewModel&) = delete;
    GoogleSignInViewModel& operator=(const GoogleSignInViewModel&) = delete;

    Published<GoogleSignInState> state;
    Published<std::optional<std::string>> userEmail;

    // Main executor; returns at once, the outcome arrives in state and userEmail.
    void signIn();
    // Main executor; returns at once. The outcome arrives in state and userEmail, and `done`
    // (if any) runs on the main executor after it, whether it succeeded or not.
    void signOut(std::function<void()> done = {});

    // Fills userEmail from the keychain (from the worker) when the current mode is a managed
    // account: at start, and again once a keyring that held the account back answers.
    void loadStoredEmail();

    // The sign-in page for the user to open by hand; nothing when sign-in is not available.
    std::optional<std::string> signInLink() const;

  private:
    explicit GoogleSignInViewModel(Dependencies dependencies);

    // Signed out at start with a customer token but no cloud session stored: removes the token
    // and e-mail of that sign-in cut short. On the storage queue only.
    void clearSignInCutShort();
    // loadStoredEmail's reading, on the storage queue once the mode was resolved.
    void loadStoredEmailNow();
    void exchange(std::uint64_t attempt, const std::string& code);
    // Stores the account on the worker, then reports success.
    void finishSignIn(std::uint64_t attempt, const GoogleAuthResult& result);
    void signedIn(const GoogleAuthResult& result);
    void failSignIn(std::uint64_t attempt, const std::exception_ptr& error);
    // The code of the sign-in `attempt`, or why there is none.
    void codeArrived(std::uint64_t attempt, const GoogleAuthService::CodeResult& code);
    // From the worker: `step` runs on the main executor while the model lives.
    void onMain(std::function<void(GoogleSignInViewModel&)> step);
    AccountStorage accountStorage() const;
    // On the worker; throws the first store error.
    void clearStoredCredentials();
    // Back on the main executor.
    void signedOut(const std::optional<std::string>& principal, const std::exception_ptr& failure);

    Dependencies deps_;
    // Every step that reaches secret storage, in order.
    OrderedExecutor storage_;
    // Numbers sign-in attempts, so that a superseded attempt's failure cannot overwrite the
    // state of the one the user is now looking at.
    std::uint64_t currentAttempt_ = 0;
};

}  // namespace vask
