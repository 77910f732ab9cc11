// Billing look-ups around the usage limit: the plan's tier for the card, the recheck when the
// application becomes active again, and the tier snapshot of the first managed question.
#include "chat/chat_view_model.h"
#include "foundation/managed_tier_snapshot.h"
#include "foundation/nil_if_empty.h"
#include "relay/corvane_billing_service.h"
#include "relay/corvane_service_error.h"

namespace vask {

namespace {

struct BillingLookup {
    std::optional<BillingInfo> info;
    // Why the look-up failed; neither this nor `info` when it ended silently.
    std::optional<std::string> error;
};

// A managed account's billing; after an unauthorised reply, one more call with the refreshed
// token. Worker thread.
BillingLookup managedBillingWithRetry(const CorvaneBillingService& service,
                                      const std::string& customerToken,
                                      const ChatViewModel::RefreshForRetry& refreshForRetry,
                                      const ChatViewModel::AuthModeProvider& authModeProvider) {
    try {
        return {service.getManagedBilling(customerToken), std::nullopt};
    } catch (const CorvaneServiceError& e) {
        if (e.errorCase() != CorvaneServiceError::Case::unauthorized) {
            return {std::nullopt, e.what()};
        }
    } catch (const std::exception& e) {
        return {std::nullopt, e.what()};
    }
    if (!refreshForRetry || !refreshForRetry(customerToken) || !authModeProvider) {
        return {};
    }
    const AuthMode mode = authModeProvider();
    const auto* managed = mode.asManaged();
    const auto token = managed ? nilIfEmpty(managed->customerToken) : std::nullopt;
    if (!token) {
        return {};
    }
    try {
        return {service.getManagedBilling(*token), std::nullopt};
    } catch (const std::exception& e) {
        return {std::nullopt, e.what()};
    }
}

}  // namespace

void ChatViewModel::writeTierSnapshot(const std::string& tierCode) {
    if (tierCode.empty()) {
        deps_.defaults.remove(managedTierSnapshotKey);
    } else {
        deps_.defaults.set(managedTierSnapshotKey, tierCode);
    }
}

void ChatViewModel::fetchAndApplyUsageLimitTier(const std::string& customerToken,
                                                const Uuid& questionID) {
    if (!deps_.billingService) {
        return;
    }
    std::weak_ptr<ChatViewModel> weak = weak_from_this();
    deps_.worker.post([weak, &main = deps_.main, service = deps_.billingService, customerToken,
                       questionID, refresh = deps_.refreshForRetry,
                       authModeProvider = deps_.authModeProvider] {
        if (weak.expired()) {
            return;
        }
        auto lookup = managedBillingWithRetry(*service, customerToken, refresh, authModeProvider);
        main.post([weak, lookup = std::move(lookup), questionID] {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            if (lookup.error) {
                self->logger_.info("usage_limit_tier_lookup_failed", {{"error", *lookup.error}});
                return;
            }
            const auto* managed =
                lookup.info ? std::get_if<ManagedBillingInfo>(&*lookup.info) : nullptr;
            if (!managed) {
                return;
            }
            self->writeTierSnapshot(managed->tierCode);
            const auto* limit = self->state.get().asUsageLimitReached();
            if (limit && limit->question.id == questionID) {
                self->state.set(ChatState::usageLimitReached(limit->question, limit->authType,
                                                             managed->tierCode));
            }
        });
    });
}

void ChatViewModel::refreshTierSnapshotOnFirstManagedAsk(const std::string& customerToken) {
    if (!deps_.billingService) {
        return;
    }
    std::weak_ptr<ChatViewModel> weak = weak_from_this();
    deps_.worker.post([weak, &main = deps_.main, service = deps_.billingService, customerToken,
                       refresh = deps_.refreshForRetry, authModeProvider = deps_.authModeProvider] {
        if (weak.expired()) {
            return;
        }
        auto lookup = managedBillingWithRetry(*service, customerToken, refresh, authModeProvider);
        main.post([weak, lookup = std::move(lookup)] {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            if (lookup.error) {
                self->logger_.info("tier_snapshot_refresh_failed", {{"error", *lookup.error}});
            } else if (const auto* managed =
                           lookup.info ? std::get_if<ManagedBillingInfo>(&*lookup.info) : nullptr) {
                self->writeTierSnapshot(managed->tierCode);
            }
        });
    });
}

void ChatViewModel::recheckUsageAfterReturn(std::function<void()> done) {
    const auto finish = [](const std::function<void()>& callback) {
        if (callback) {
            callback();
        }
    };
    if (!usageLimit() || !deps_.billingService) {
        finish(done);
        return;
    }
    const AuthMode mode = deps_.authModeProvider ? deps_.authModeProvider() : AuthMode::none();
    std::optional<std::string> apiKey;
    std::optional<std::string> customerToken;
    if (const auto* key = mode.asAPIKey()) {
        apiKey = nilIfEmpty(key->key);
    } else if (const auto* managed = mode.asManaged()) {
        customerToken = nilIfEmpty(managed->customerToken);
    }
    if (!apiKey && !customerToken) {
        finish(done);
        return;
    }
    std::weak_ptr<ChatViewModel> weak = weak_from_this();
    deps_.worker.post([weak, &main = deps_.main, service = deps_.billingService, apiKey,
                       customerToken, finish, done = std::move(done)]() mutable {
        BillingLookup lookup;
        try {
            lookup.info = apiKey ? service->getDeveloperBilling(*apiKey)
                                 : service->getManagedBilling(*customerToken);
        } catch (const std::exception& e) {
            lookup.error = e.what();
        }
        main.post([weak, lookup = std::move(lookup), managedCall = !apiKey, finish,
                   done = std::move(done)] {
            auto self = weak.lock();
            if (!self) {
                finish(done);
                return;
            }
            if (lookup.error) {
                self->logger_.info("usage_recheck_failed", {{"error", *lookup.error}});
                finish(done);
                return;
            }
            bool capacityBack = false;
            const auto* managed = std::get_if<ManagedBillingInfo>(&*lookup.info);
            const auto* developer = std::get_if<DeveloperBillingInfo>(&*lookup.info);
            if (managedCall && managed) {
                self->writeTierSnapshot(managed->tierCode);
                capacityBack =
                    !(managed->spendRemainingMicrocents && *managed->spendRemainingMicrocents < 1);
            } else if (!managedCall && developer) {
                capacityBack = developer->balanceCents >= 1;
            } else {
                finish(done);
                return;
            }
            if (capacityBack && self->usageLimit()) {
                // Every out-of-credit card goes, not only the last question's.
                std::erase_if(self->endedTurns_, [](const auto& entry) {
                    return entry.second.asUsageLimitReached() != nullptr;
                });
                self->state.set(ChatState::idle());
                self->logger_.info("usage_capacity_restored_upsell_dismissed");
            }
            if (self->deps_.usageChanged) {
                self->deps_.usageChanged();
            }
            finish(done);
        });
    });
}

}  // namespace vask
