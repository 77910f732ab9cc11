#pragma once

#include <httplib.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "foundation/web_authentication_session.h"
#include "platform/executor.h"

namespace vask::test {

// Stands in for the user's browser: fetches the start page and follows the backend's HTTP
// redirects until one points at the callback scheme, which it delivers as the callback URL. A
// page that does not redirect is where the user sits until the flow is cancelled.
class RedirectingAuthSession final : public WebAuthenticationSession {
  public:
    explicit RedirectingAuthSession(MainExecutor& main) : main_(main) {}
    ~RedirectingAuthSession() override { thread_ = {}; }

    bool start(const Url& url, const std::string& callbackScheme, Completion completion) override {
        finish(std::nullopt, failure(WebAuthenticationSessionError::Kind::canceledLogin));
        std::uint64_t id = 0;
        {
            std::lock_guard lock(mutex_);
            id = ++nextId_;
            pending_ = Pending{id, std::move(completion)};
        }
        onPage_ = false;
        thread_ =
            std::jthread([this, url, callbackScheme, id] { follow(url, callbackScheme, id); });
        return true;
    }

    void cancel() override {
        finish(std::nullopt, failure(WebAuthenticationSessionError::Kind::canceledLogin));
    }

    // The last flow reached a page that does not redirect.
    bool isOnPage() const { return onPage_; }

  private:
    struct Pending {
        std::uint64_t id;
        Completion completion;
    };

    static Outcome failure(WebAuthenticationSessionError::Kind kind) {
        return Outcome::failure(WebAuthenticationSessionError(kind, "browser stand-in"));
    }

    void follow(Url url, const std::string& callbackScheme, std::uint64_t id) {
        for (int hop = 0; hop < 10; ++hop) {
            httplib::Client client(url.scheme() + "://" + url.host() + ":" +
                                   std::to_string(url.port().value_or(80)));
            const auto target = (url.path().empty() ? "/" : url.path()) +
                                (url.query().empty() ? std::string() : "?" + url.query());
            const auto response = client.Get(target);
            if (!response) {
                finish(id, failure(WebAuthenticationSessionError::Kind::launchFailed));
                return;
            }
            const auto location = response->get_header_value("Location");
            if (response->status / 100 != 3 || location.empty()) {
                onPage_ = true;
                return;
            }
            const auto next = Url::parse(location);
            if (!next) {
                finish(id, failure(WebAuthenticationSessionError::Kind::launchFailed));
                return;
            }
            if (next->scheme() == callbackScheme) {
                finish(id, Outcome::success(*next));
                return;
            }
            url = *next;
        }
        finish(id, failure(WebAuthenticationSessionError::Kind::launchFailed));
    }

    void finish(std::optional<std::uint64_t> id, Outcome outcome) {
        std::optional<Pending> taken;
        {
            std::lock_guard lock(mutex_);
            if (!pending_ || (id && pending_->id != *id)) {
                return;
            }
            taken = std::move(pending_);
            pending_.reset();
        }
        main_.post([completion = std::move(taken->completion), outcome = std::move(outcome)] {
            completion(outcome);
        });
    }

    MainExecutor& main_;
    std::mutex mutex_;
    std::optional<Pending> pending_;
    std::uint64_t nextId_ = 0;
    std::atomic<bool> onPage_ = false;
    std::jthread thread_;
};

}  // namespace vask::test
