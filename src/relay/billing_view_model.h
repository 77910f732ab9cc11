#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "foundation/auth_mode.h"
#include "foundation/structured_logger.h"
#include "foundation/token_refresh_coordinator.h"
#include "platform/error.h"
#include "platform/executor.h"
#include "platform/published.h"
#include "platform/subscription.h"
#include "platform/user_defaults.h"
#include "relay/billing_info.h"
#include "relay/corvane_billing_service.h"
#include "relay/preset_catalog_service.h"

namespace vask {

// Counts the moments a chat turn may have changed the account's usage (a turn ended, a usage
// look-up came back); the billing view models reload on each. Main executor only.
using UsageChanges = Published<std::uint64_t>;

// Counts one more change of usage.
inline void countUsageChange(UsageChanges& changes) {
    changes.set(changes.get() + 1);
}

// What the plan panel shows when billing could not be loaded.
class BillingError : public Error {
  public:
    enum class Kind { networkError, noCredentials };

    static BillingError networkError(const std::string& message) {
        return BillingError(Kind::networkError, message);
    }
    static BillingError noCredentials() {
        return BillingError(Kind::noCredentials, "No API key or account configured");
    }

    Kind kind() const { return kind_; }

    bool operator==(const BillingError& other) const {
        return kind_ == other.kind_ && std::string_view(what()) == other.what();
    }

  private:
    BillingError(Kind kind, const std::string& description) : Error(description), kind_(kind) {}
    Kind kind_;
};

class BillingState {
  public:
    enum class Kind { loaded, error, idle, loading };

    static BillingState loaded(BillingInfo info) { return BillingState(std::move(info)); }
    static BillingState error(BillingError error) { return BillingState(std::move(error)); }
    static BillingState idle() { return BillingState(Kind::idle); }
    static BillingState loading() { return BillingState(Kind::loading); }

    BillingState() = default;

    Kind kind() const { return kind_; }
    // For Kind::loaded.
    const std::optional<BillingInfo>& info() const { return info_; }
    // For Kind::error.
    const std::optional<BillingError>& failure() const { return error_; }

    bool operator==(const BillingState&) const = default;

  private:
    explicit BillingState(Kind kind) : kind_(kind) {}
    explicit BillingState(BillingInfo info) : kind_(Kind::loaded), info_(std::move(info)) {}
    explicit BillingState(BillingError error) : kind_(Kind::error), error_(std::move(error)) {}

    Kind kind_ = Kind::idle;
    std::optional<BillingInfo> info_;
    std::optional<BillingError> error_;
};

// The account's plan and usage (managed) or balance (developer) for the plan panel. Loads go
// through the relay with the current credentials, retry once after a shared token refresh when
// a managed session has expired, and never overlap: a usage change during a load is folded into
// one reload after it. Lives on the main executor; relay calls and the token refresh run on the
// worker.
class BillingViewModel : public std::enable_shared_from_this<BillingViewModel> {
  public:
    using AuthModeProvider = std::function<AuthMode()>;

    struct Dependencies {
        const CorvaneBillingService& service;
        // Read afresh for every load and again after a token refresh. Any thread.
        AuthModeProvider authModeProvider;
        std::shared_ptr<PresetCatalogService> catalogService;
        TokenRefreshCoordinator& tokenRefresh;
        UserDefaults& defaults;
        StructuredLogger logger = StructuredLogger("billing-viewmodel");
        MainExecutor& main;
        Executor& worker;
        // The usage changes of every chat of the account.
        UsageChanges& usageChanges;
    };

    // Starts listening for usage changes.
    static std::shared_ptr<BillingViewModel> make(Dependencies dependencies);

    BillingViewModel(const BillingViewModel&) = delete;
    BillingViewModel& operator=(const BillingViewModel&) = delete;
    ~BillingViewModel();

    Published<BillingState> state;

    // Main executor. `done` runs once this load, and any reload it brings, has finished; at once
    // when a load is already running (which this call then leaves alone).
    void loadBillingInfo(std::function<void()> done = {});

    // Whether an answer to a load made with `askedWith` belongs to the account signed in now
    // (`current`). Credentials changed in between mean a sign-out, another account or renewed
    // tokens; the answer is dropped in each case and the current account, if any, asked again.
    static bool isAnswerFor(const AuthMode& askedWith, const AuthMode& current);

  private:
    explicit BillingViewModel(Dependencies dependencies);

    void usageDidChange();
    // Worker thread; throws CorvaneServiceError. `askedWith` is left holding the credentials
    // the last request went out with.
    static BillingInfo fetchBillingInfo(const Dependencies& deps, AuthMode& askedWith);
    // Main executor. False when the answer is dropped (and `done` handed on or run).
    bool answersCurrentAccount(const AuthMode& askedWith, std::function<void()>& done);
    void finishLoad(BillingInfo info, std::function<void()> done);
    void failLoad(const std::exception_ptr& error, std::function<void()> done);
    void show(BillingInfo info, std::function<void()> done);
    void endLoad(std::function<void()> done);

    Dependencies deps_;
    bool pendingUsageRefresh_ = false;
    Subscription usageSubscription_;
};

}  // namespace vask
