#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "foundation/structured_logger.h"
#include "platform/environment.h"
#include "platform/http_client.h"
#include "platform/scheduler.h"
#include "platform/url.h"
#include "relay/billing_info.h"
#include "relay/corvane_service_error.h"
#include "relay/json_reader.h"
#include "relay/model_preset.h"

namespace vask {

// The relay service's read calls: the preset catalog, a managed account's plan and usage, and a
// developer account's balance. Blocking: call it from a worker thread. Each read makes at most
// three requests, retrying transport failures, 429 and 5xx after a short randomised backoff on
// the scheduler's clock; a stop request ends a backoff wait and the call.
class CorvaneBillingService {
  public:
    // The credential one request carries.
    struct Auth {
        enum class Kind { apiKey, bearer };
        Kind kind;
        std::string value;

        static Auth apiKey(std::string key) { return Auth{Kind::apiKey, std::move(key)}; }
        static Auth bearer(std::string token) { return Auth{Kind::bearer, std::move(token)}; }
    };

    // A final non-2xx reply; never leaves the client (serviceError turns it into the public
    // error).
    class HTTPError : public Error {
      public:
        HTTPError(int status, std::optional<std::string> message);
        int status() const { return status_; }
        const std::optional<std::string>& message() const { return message_; }

      private:
        int status_;
        std::optional<std::string> message_;
    };

    static constexpr std::chrono::milliseconds readTimeout = std::chrono::seconds(20);

    // `baseURL` is the relay service's root ("https://relay.corvane.ai"); API paths go under
    // "/api/v1/".
    CorvaneBillingService(HttpClient& http, Url baseURL, Scheduler& scheduler,
                          StructuredLogger logger = StructuredLogger("corvane-billing"));

    // Each throws only CorvaneServiceError.
    ModelPresetCatalog getCustomerModels(const std::string& customerToken,
                                         std::stop_token stop = {}) const;
    BillingInfo getDeveloperBilling(const std::string& apiKey, std::stop_token stop = {}) const;
    // Subscription, then usage, never overlapping; no partial result.
    BillingInfo getManagedBilling(const std::string& customerToken,
                                  std::stop_token stop = {}) const;

    // One logical GET with retries, decoded by `decode`. Throws CorvaneServiceError for an
    // undecodable 2xx body, HTTPError for a final non-2xx status, HttpClient::Error for a final
    // transport failure, and a cancellation error when stopped during a backoff wait.
    template <typename T>
    T get(std::string_view path, const Auth& auth, std::chrono::milliseconds timeout,
          std::stop_token stop, T (*decode)(const JsonReader&)) const {
        const auto body = fetch(path, auth, timeout, std::move(stop));
        try {
            const auto document = parseJsonDocument(body);
            return decode(JsonReader(document, ""));
        } catch (const DecodingError& error) {
            throw CorvaneServiceError::clientError(std::string("Decoding error: ") + error.what());
        }
    }

    // Any error as the public error: 401 becomes unauthorized, another status "API error (N)"
    // with ": message" when the body gave one, anything else its own description.
    static CorvaneServiceError serviceError(std::exception_ptr error);
    // The message of an error body: a JSON "message" or "error" string, else the trimmed text
    // cut at 200 user-perceived characters; nothing for blank or non-UTF-8 bodies.
    static std::optional<std::string> extractMessage(std::string_view body);
    // The wait before retry `attempt` (1 for the first): 200 ms doubling, capped at 2000 ms,
    // plus up to half of that (at most 250 ms) of random jitter.
    static int backoffMilliseconds(int attempt);

    // The built-in relay root, "https://relay.corvane.ai".
    static const Url& defaultBaseURL();
    // VASK_RELAY_BASE_URL when it holds an absolute http(s) URL (end-to-end tests point the
    // application at a local stand-in with it); otherwise the built-in root.
    static Url resolveBaseURL(const Environment& env);

    const Url& baseURL() const { return baseURL_; }

  private:
    std::string fetch(std::string_view path, const Auth& auth, std::chrono::milliseconds timeout,
                      std::stop_token stop) const;
    // Runs `call`, rethrowing whatever it throws as CorvaneServiceError.
    template <typename T>
    static T mapped(const std::function<T()>& call);

    HttpClient& http_;
    Url baseURL_;
    Scheduler& scheduler_;
    StructuredLogger logger_;
};

// Headers every relay request carries, in order, before any credential header.
inline constexpr std::string_view relayClientHeader = "X-Corvane-Client";
inline constexpr std::string_view relayClientName = "vask-swift";

}  // namespace vask
