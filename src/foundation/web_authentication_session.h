#pragma once

#include <functional>
#include <string>

#include "platform/error.h"
#include "platform/result.h"
#include "platform/url.h"

namespace vask {

// Why a web authentication flow ended without a callback URL.
class WebAuthenticationSessionError : public Error {
  public:
    enum class Kind {
        // The user (or a newer flow) ended the flow.
        canceledLogin,
        // The browser could not be opened on the start page.
        launchFailed,
        // No callback arrived within the session's time limit.
        timedOut
    };

    WebAuthenticationSessionError(Kind kind, const std::string& description)
        : Error(description), kind_(kind) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

// A sign-in page shown outside the application that ends by sending the user to a URL of the
// application's own callback scheme. One flow is pending at a time.
class WebAuthenticationSession {
  public:
    using Outcome = Result<Url, WebAuthenticationSessionError>;
    using Completion = std::function<void(Outcome)>;

    virtual ~WebAuthenticationSession() = default;

    // Opens `url` and calls `completion` exactly once, on the main executor, with the callback
    // URL or the error that ended the flow. A flow still pending is completed as cancelled
    // first. False when the page could not be opened at all; `completion` is never called then.
    virtual bool start(const Url& url, const std::string& callbackScheme,
                       Completion completion) = 0;
    // Completes the pending flow, if any, as cancelled.
    virtual void cancel() = 0;
    // Waits for the callback of a flow whose start page the user opened by hand (its link
    // copied into a browser), opening nothing; completes as start() does, replacing a pending
    // flow the same way. False when this session cannot take a callback it did not open.
    // NOLINTNEXTLINE(performance-unnecessary-value-param): sessions that wait keep the completion.
    virtual bool await(const std::string& /*callbackScheme*/, Completion /*completion*/) {
        return false;
    }
};

}  // namespace vask
