#include "relay/billing_view_model.h"

#include "foundation/managed_tier_snapshot.h"
#include "platform/error.h"

namespace vask {
namespace {

BillingError billingError(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const CorvaneServiceError& e) {
        if (e.errorCase() == CorvaneServiceError::Case::clientError) {
            return BillingError::networkError(e.what());
        }
        return BillingError::noCredentials();
    } catch (const std::exception& e) {
        return BillingError::networkError(e.what());
    } catch (...) {
        return BillingError::networkError("Unknown error");
    }
}

}  // namespace

std::shared_ptr<BillingViewModel> BillingViewModel::make(Dependencies dependencies) {
    std::shared_ptr<BillingViewModel> model(new BillingViewModel(std::move(dependencies)));
    std::weak_ptr<BillingViewModel> weak = model;
    model->usageSubscription_ = model->deps_.usageChanges.subscribe(
        [weak, &main = model->deps_.main](std::uint64_t) {
            main.post([weak] {
                if (auto self = weak.lock()) {
                    self->usageDidChange();
                }
            });
        },
        Delivery::changesOnly);
    return model;
}

BillingViewModel::BillingViewModel(Dependencies dependencies)
    : state(BillingState::idle()), deps_(std::move(dependencies)) {}

BillingViewModel::~BillingViewModel() = default;

void BillingViewModel::usageDidChange() {
    switch (state.get().kind()) {
        case BillingState::Kind::loaded:
        case BillingState::Kind::error:
            state.set(BillingState::idle());
            loadBillingInfo();
            break;
        case BillingState::Kind::loading:
            pendingUsageRefresh_ = true;
            break;
        case BillingState::Kind::idle:
            // A panel never loaded stays unloaded.
            break;
    }
}

void BillingViewModel::loadBillingInfo(std::function<void()> done) {
    if (state.get().kind() == BillingState::Kind::loading) {
        if (done) {
            done();
        }
        return;
    }
    state.set(BillingState::loading());

    std::weak_ptr<BillingViewModel> weak = weak_from_this();
    // What the dependencies refer to outlives the view model, but the model itself may go
    // during the load: the worker works on its own copy and never touches the model.
    deps_.worker.post([weak, deps = deps_, done = std::move(done)]() mutable {
        auto askedWith = AuthMode::none();
        try {
            auto info = fetchBillingInfo(deps, askedWith);
            deps.main.post([weak, info = std::move(info), askedWith = std::move(askedWith),
                            done = std::move(done)]() mutable {
                if (auto self = weak.lock()) {
                    if (self->answersCurrentAccount(askedWith, done)) {
                        self->finishLoad(std::move(info), std::move(done));
                    }
                }
            });
        } catch (...) {
            deps.main.post([weak, error = std::current_exception(),
                            askedWith = std::move(askedWith), done = std::move(done)]() mutable {
                if (auto self = weak.lock()) {
                    if (self->answersCurrentAccount(askedWith, done)) {
                        self->failLoad(error, std::move(done));
                    }
                }
            });
        }
    });
}

bool BillingViewModel::answersCurrentAccount(const AuthMode& askedWith,
                                             std::function<void()>& done) {
    const auto current = deps_.authModeProvider();
    if (isAnswerFor(askedWith, current)) {
        return true;
    }
    // Signed out, or another account (or renewed credentials) since the request: what came
    // back is not this account's to show or to remember. The current account, if any, is
    // asked afresh.
    deps_.logger.info("billing_answer_dropped", {{"signed_in", current.isNone() ? "no" : "yes"}});
    pendingUsageRefresh_ = false;
    state.set(BillingState::idle());
    if (current.isNone()) {
        if (done) {
            done();
        }
    } else {
        loadBillingInfo(std::move(done));
    }
    return false;
}

bool BillingViewModel::isAnswerFor(const AuthMode& askedWith, const AuthMode& current) {
    return askedWith == current;
}

BillingInfo BillingViewModel::fetchBillingInfo(const Dependencies& deps, AuthMode& askedWith) {
    const auto mode = deps.authModeProvider();
    askedWith = mode;
    if (const auto* key = mode.asAPIKey()) {
        return deps.service.getDeveloperBilling(key->key);
    }
    const auto* managed = mode.asManaged();
    if (managed == nullptr) {
        throw CorvaneServiceError::noCredentials();
    }
    try {
        return deps.service.getManagedBilling(managed->customerToken);
    } catch (const CorvaneServiceError& e) {
        if (e.errorCase() != CorvaneServiceError::Case::unauthorized) {
            throw;
        }
    }
    if (deps.tokenRefresh.refreshForRetry(managed->customerToken)) {
        const auto renewed = deps.authModeProvider();
        askedWith = renewed;
        if (const auto* again = renewed.asManaged()) {
            deps.logger.info("managed_billing_auth_refreshed_retry");
            return deps.service.getManagedBilling(again->customerToken);
        }
    }
    throw CorvaneServiceError::unauthorized();
}

void BillingViewModel::finishLoad(BillingInfo info, std::function<void()> done) {
    const auto* managed = std::get_if<ManagedBillingInfo>(&info);
    if (managed == nullptr) {
        show(std::move(info), std::move(done));
        return;
    }
    if (managed->tierCode.empty()) {
        deps_.defaults.remove(managedTierSnapshotKey);
    } else {
        deps_.defaults.set(managedTierSnapshotKey, managed->tierCode);
    }
    if (!deps_.catalogService) {
        show(std::move(info), std::move(done));
        return;
    }
    // The panel keeps showing "loading" until the presets the plan allows are known.
    std::weak_ptr<BillingViewModel> weak = weak_from_this();
    deps_.catalogService->refresh([weak, info = std::move(info), done = std::move(done)] {
        if (auto self = weak.lock()) {
            self->show(info, done);
        }
    });
}

void BillingViewModel::show(BillingInfo info, std::function<void()> done) {
    StructuredLogger::Metadata metadata;
    if (const auto* managed = std::get_if<ManagedBillingInfo>(&info)) {
        metadata = {{"account_type", "managed"},
                    {"plan", managed->tierCode},
                    {"cost_microcents", std::to_string(managed->totalCostMicrocents)}};
    } else {
        metadata = {
            {"account_type", "developer"},
            {"balance_cents", std::to_string(std::get<DeveloperBillingInfo>(info).balanceCents)}};
    }
    state.set(BillingState::loaded(std::move(info)));
    deps_.logger.info("billing_info_loaded", metadata);
    endLoad(std::move(done));
}

void BillingViewModel::failLoad(const std::exception_ptr& error, std::function<void()> done) {
    deps_.logger.error("billing_load_failed", {{"error", describeException(error)}});
    state.set(BillingState::error(billingError(error)));
    endLoad(std::move(done));
}

void BillingViewModel::endLoad(std::function<void()> done) {
    if (pendingUsageRefresh_) {
        pendingUsageRefresh_ = false;
        state.set(BillingState::idle());
        loadBillingInfo(std::move(done));
        return;
    }
    if (done) {
        done();
    }
}

}  // namespace vask
