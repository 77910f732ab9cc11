#include "relay/corvane_billing_service.h"

#include <algorithm>
#include <cmath>
#include <random>

#include <nlohmann/json.hpp>

#include "foundation/nil_if_empty.h"
#include "platform/text.h"
#include "relay/corvane_billing_wire.h"

namespace vask {
namespace {

constexpr int maxRequests = 3;
constexpr std::size_t messageLimit = 200;
// A message the relay wrote itself is kept whole up to this many characters: the error that
// carries it is logged.
constexpr std::size_t jsonMessageLimit = 1000;

// Thrown when a backoff wait is cut short by a stop request.
class CancelledError : public Error {
  public:
    CancelledError() : Error("The operation was cancelled.") {}
};

bool isRetriedStatus(int status) {
    return status == 429 || (status >= 500 && status <= 599);
}

int randomInclusive(int upper) {
    thread_local std::mt19937 generator{std::random_device{}()};
    return std::uniform_int_distribution<int>(0, upper)(generator);
}

}  // namespace

CorvaneBillingService::HTTPError::HTTPError(int status, std::optional<std::string> message)
    : Error("HTTP status " + std::to_string(status)),
      status_(status),
      message_(std::move(message)) {}

CorvaneBillingService::CorvaneBillingService(HttpClient& http, Url baseURL, Scheduler& scheduler,
                                             StructuredLogger logger)
    : http_(http),
      baseURL_(std::move(baseURL)),
      scheduler_(scheduler),
      logger_(std::move(logger)) {}

std::string CorvaneBillingService::fetch(std::string_view path, const Auth& auth,
                                         std::chrono::milliseconds timeout,
                                         std::stop_token stop) const {
    const auto url = baseURL_.appendingPath("api/v1").appendingPath(path);
    const auto backoff = [&](int attempt) {
        if (!scheduler_.sleepFor(std::chrono::milliseconds(backoffMilliseconds(attempt)), stop)) {
            throw CancelledError();
        }
    };
    for (int attempt = 0;; ++attempt) {
        HttpRequest request{"GET", url, {}, {}, timeout};
        request.headers.emplace_back("Accept", "application/json");
        request.headers.emplace_back(relayClientHeader, relayClientName);
        if (auth.kind == Auth::Kind::bearer) {
            request.headers.emplace_back("Authorization", "Bearer " + auth.value);
        } else {
            request.headers.emplace_back("X-Corvane-Api-Key", auth.value);
        }
        HttpResponse response;
        try {
            response = http_.send(request, stop);
        } catch (const HttpClient::Error& error) {
            // A cancelled exchange (the caller's stop, or the client stopped for a quit) is not
            // a transient failure: trying again would only wait out the backoff.
            if (error.kind() == HttpClient::Error::Kind::cancelled || attempt + 1 >= maxRequests) {
                throw;
            }
            backoff(attempt + 1);
            continue;
        }
        if (response.status >= 200 && response.status <= 299) {
            return std::move(response.body);
        }
        if (isRetriedStatus(response.status) && attempt + 1 < maxRequests) {
            backoff(attempt + 1);
            continue;
        }
        throw HTTPError(response.status, extractMessage(response.body));
    }
}

template <typename T>
T CorvaneBillingService::mapped(const std::function<T()>& call) {
    try {
        return call();
    } catch (...) {
        throw serviceError(std::current_exception());
    }
}

ModelPresetCatalog CorvaneBillingService::getCustomerModels(const std::string& customerToken,
                                                            std::stop_token stop) const {
    return mapped<ModelPresetCatalog>([&] {
        auto envelope = get(std::string_view("customers/me/models"), Auth::bearer(customerToken),
                            readTimeout, stop, &CorvaneBillingWire::ModelsEnvelope::decode);
        logger_.info("customer_models_fetched",
                     {{"presets", std::to_string(envelope.catalog.presets.size())}});
        return std::move(envelope.catalog);
    });
}

BillingInfo CorvaneBillingService::getDeveloperBilling(const std::string& apiKey,
                                                       std::stop_token stop) const {
    return mapped<BillingInfo>([&] {
        const auto balance = get(std::string_view("account/balance"), Auth::apiKey(apiKey),
                                 readTimeout, stop, &CorvaneBillingWire::AccountBalance::decode);
        logger_.info("developer_billing_fetched",
                     {{"balance_cents", std::to_string(balance.balanceCents)}});
        return BillingInfo(DeveloperBillingInfo{balance.balanceCents, balance.balanceFormatted,
                                                balance.currency,
                                                balance.lowBalanceThresholdCents});
    });
}

BillingInfo CorvaneBillingService::getManagedBilling(const std::string& customerToken,
                                                     std::stop_token stop) const {
    return mapped<BillingInfo>([&] {
        const auto auth = Auth::bearer(customerToken);
        const auto subscription =
            get(std::string_view("customers/me/subscription"), auth, readTimeout, stop,
                &CorvaneBillingWire::SubscriptionEnvelope::decode);
        const auto usage = get(std::string_view("customers/me/usage"), auth, readTimeout, stop,
                               &CorvaneBillingWire::UsageEnvelope::decode);
        ManagedBillingInfo info{
            text::toLower(text::trimmed(subscription.tierCode)),
            subscription.tierDisplayName,
            subscription.priceAmountCents,
            subscription.priceInterval,
            subscription.currentPeriodEnd,
            usage.spendLimitCents,
            usage.spendRemainingMicrocents,
            usage.totalCostMicrocents,
            usage.percentageUsed,
            usage.low.value_or(false),
            usage.windowEnd,
            usage.requests,
        };
        logger_.info("managed_billing_fetched",
                     {{"plan", info.tierCode},
                      {"cost_microcents", std::to_string(info.totalCostMicrocents)},
                      {"requests", std::to_string(info.requests)}});
        return BillingInfo(std::move(info));
    });
}

CorvaneServiceError CorvaneBillingService::serviceError(std::exception_ptr error) {
    try {
        std::rethrow_exception(std::move(error));
    } catch (const CorvaneServiceError& e) {
        return e;
    } catch (const HTTPError& e) {
        if (e.status() == 401) {
            return CorvaneServiceError::unauthorized();
        }
        auto text = "API error (" + std::to_string(e.status()) + ")";
        if (e.message()) {
            text += ": " + *e.message();
        }
        return CorvaneServiceError::clientError(text);
    } catch (const std::exception& e) {
        return CorvaneServiceError::clientError(e.what());
    } catch (...) {
        return CorvaneServiceError::clientError("Unknown error");
    }
}

std::optional<std::string> CorvaneBillingService::extractMessage(std::string_view body) {
    const auto json = nlohmann::json::parse(body, nullptr, false);
    if (json.is_object()) {
        for (const char* key : {"message", "error"}) {
            if (const auto it = json.find(key); it != json.end() && it->is_string()) {
                return text::clipped(it->get_ref<const std::string&>(), jsonMessageLimit);
            }
        }
    }
    if (!text::isValidUtf8(body)) {
        return std::nullopt;
    }
    const auto trimmed = text::trimmed(body);
    if (trimmed.empty()) {
        return std::nullopt;
    }
    return std::string(text::graphemePrefix(trimmed, messageLimit));
}

int CorvaneBillingService::backoffMilliseconds(int attempt) {
    const double base = 200.0 * std::pow(2.0, attempt - 1);
    if (base >= 2000.0) {
        return 2000 + randomInclusive(250);
    }
    const auto whole = static_cast<int>(base);
    return whole + randomInclusive(std::min(whole / 2, 250));
}

const Url& CorvaneBillingService::defaultBaseURL() {
    static const Url url = *Url::parse("https://relay.corvane.ai");
    return url;
}

Url CorvaneBillingService::resolveBaseURL(const Environment& env) {
    if (const auto it = env.find("VASK_RELAY_BASE_URL"); it != env.end()) {
        if (const auto value = nilIfEmpty(it->second)) {
            if (auto url = Url::parse(*value);
                url && (url->scheme() == "http" || url->scheme() == "https")) {
                return std::move(*url);
            }
        }
    }
    return defaultBaseURL();
}

}  // namespace vask
