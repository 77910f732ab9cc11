#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/url.h"

namespace vask {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method;
    Url url;
    HttpHeaders headers;
    std::string body;
    // The whole exchange, connection included.
    std::chrono::milliseconds timeout{std::chrono::seconds(60)};
};

struct HttpResponse {
    int status = 0;
    // In the order received, names as the server wrote them.
    HttpHeaders headers;
    std::string body;

    // The first header of that name, compared without regard to case.
    std::optional<std::string> header(std::string_view name) const;
};

// Blocking HTTP(S) over libcurl, for worker threads. Any status is a response; only the
// exchange itself failing throws. Redirects are followed only within the request's own origin
// (scheme, host and port): the headers and body of a request carry credentials, and another
// host must never see them. A redirect elsewhere, https to http included, is an error.
class HttpClient {
  public:
    // Far above any reply of the services this talks to; only a broken or hostile server
    // comes near it.
    static constexpr std::size_t defaultMaxReplyBytes = std::size_t{32} << 20;
    static constexpr int maxRedirects = 10;

    class Error : public vask::Error {
      public:
        enum class Kind { transport, timedOut, cancelled, redirectRefused, replyTooLarge };
        Error(Kind kind, const std::string& description) : vask::Error(description), kind_(kind) {}
        Kind kind() const { return kind_; }

      private:
        Kind kind_;
    };

    explicit HttpClient(std::size_t maxReplyBytes = defaultMaxReplyBytes);
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Throws HttpClient::Error; a stop request ends the exchange at once with Kind::cancelled.
    HttpResponse send(const HttpRequest& request, std::stop_token stop = {}) const;

    // Ends every exchange in flight at once and refuses every later one, all with
    // Kind::cancelled, whatever stop token their callers passed: a quitting application joins
    // the threads that wait on requests, and must not wait for any server's time limit.
    void stopAll();

  private:
    struct Hop;
    // One request and its response, redirects not followed. Throws as send() does.
    HttpResponse perform(const Hop& hop, std::chrono::milliseconds timeout,
                         const std::stop_token& stop, std::optional<Url>& redirect) const;

    std::size_t maxReplyBytes_;
    std::stop_source stoppedForGood_;
};

}  // namespace vask
