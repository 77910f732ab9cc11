#pragma once

#include <chrono>
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
// exchange itself failing throws. Redirects are followed (http and https only), as the
// platform's URL session does.
class HttpClient {
  public:
    class Error : public vask::Error {
      public:
        enum class Kind { transport, timedOut, cancelled };
        Error(Kind kind, const std::string& description) : vask::Error(description), kind_(kind) {}
        Kind kind() const { return kind_; }

      private:
        Kind kind_;
    };

    HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Throws HttpClient::Error; a stop request ends the exchange at once with Kind::cancelled.
    HttpResponse send(const HttpRequest& request, std::stop_token stop = {}) const;

    // The process-wide client.
    static HttpClient& shared();
};

}  // namespace vask
