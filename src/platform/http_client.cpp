#include "platform/http_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "platform/text.h"

namespace vask {
namespace {

struct EasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiCleanup {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct ListFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// Removes the easy handle from the multi handle before either is cleaned up.
class MultiAttachment {
  public:
    MultiAttachment(CURLM* multi, CURL* easy) : multi_(multi), easy_(easy) {
        curl_multi_add_handle(multi_, easy_);
    }
    ~MultiAttachment() { curl_multi_remove_handle(multi_, easy_); }
    MultiAttachment(const MultiAttachment&) = delete;
    MultiAttachment& operator=(const MultiAttachment&) = delete;

  private:
    CURLM* multi_;
    CURL* easy_;
};

struct BodySink {
    HttpResponse& response;
    std::size_t limit;
    bool overflowed = false;
};

size_t appendBody(char* data, size_t size, size_t count, void* userData) {
    auto* sink = static_cast<BodySink*>(userData);
    const auto bytes = size * count;
    if (bytes > sink->limit - sink->response.body.size()) {
        sink->overflowed = true;
        return 0;  // ends the transfer with a write error
    }
    sink->response.body.append(data, bytes);
    return bytes;
}

size_t appendHeader(char* data, size_t size, size_t count, void* userData) {
    auto* response = static_cast<HttpResponse*>(userData);
    const std::string_view line(data, size * count);
    if (line.starts_with("HTTP/")) {
        // A new status line: an interim (100) or redirect response's headers are dropped.
        response->headers.clear();
        return size * count;
    }
    const auto colon = line.find(':');
    if (colon != std::string_view::npos) {
        response->headers.emplace_back(std::string(text::trimmed(line.substr(0, colon))),
                                       std::string(text::trimmed(line.substr(colon + 1))));
    }
    return size * count;
}

bool isFollowedStatus(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

int effectivePort(const Url& url) {
    if (const auto port = url.port()) {
        return *port;
    }
    return text::toLower(url.scheme()) == "https" ? 443 : 80;
}

bool sameOrigin(const Url& a, const Url& b) {
    return text::toLower(a.scheme()) == text::toLower(b.scheme()) &&
           text::toLower(a.host()) == text::toLower(b.host()) &&
           effectivePort(a) == effectivePort(b);
}

std::string originOf(const Url& url) {
    return text::toLower(url.scheme()) + "://" + text::toLower(url.host()) + ":" +
           std::to_string(effectivePort(url));
}

void ensureGlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

std::optional<std::string> HttpResponse::header(std::string_view name) const {
    const auto lowered = text::toLower(name);
    const auto it = std::find_if(headers.begin(), headers.end(), [&](const auto& header) {
        return text::toLower(header.first) == lowered;
    });
    if (it == headers.end()) {
        return std::nullopt;
    }
    return it->second;
}

struct HttpClient::Hop {
    const std::string& method;
    const Url& url;
    const HttpHeaders& headers;
    const std::string& body;
};

HttpClient::HttpClient(std::size_t maxReplyBytes) : maxReplyBytes_(maxReplyBytes) {
    ensureGlobalInit();
}

void HttpClient::stopAll() {
    stoppedForGood_.request_stop();
}

HttpResponse HttpClient::send(const HttpRequest& request, std::stop_token stop) const {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + request.timeout;
    std::string method = request.method;
    Url url = request.url;
    const std::string noBody;
    const std::string* body = &request.body;
    for (int redirects = 0;; ++redirects) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            throw Error(Error::Kind::timedOut, "The request timed out");
        }
        std::optional<Url> next;
        auto response = perform({method, url, request.headers, *body}, left, stop, next);
        if (!next) {
            return response;
        }
        if (redirects == maxRedirects) {
            throw Error(Error::Kind::transport, "Too many redirects");
        }
        if (!sameOrigin(url, *next)) {
            throw Error(Error::Kind::redirectRefused,
                        "Refused a redirect from " + originOf(url) + " to " + originOf(*next));
        }
        // As browsers do: 303 always, and 301 and 302 after a POST, continue as a GET without
        // the body; 307 and 308 repeat the request as it was.
        if ((response.status == 303 && method != "HEAD") ||
            ((response.status == 301 || response.status == 302) && method == "POST")) {
            method = "GET";
            body = &noBody;
        }
        url = std::move(*next);
    }
}

HttpResponse HttpClient::perform(const Hop& hop, std::chrono::milliseconds timeout,
                                 const std::stop_token& stop, std::optional<Url>& redirect) const {
    std::unique_ptr<CURL, EasyCleanup> easy(curl_easy_init());
    std::unique_ptr<CURLM, MultiCleanup> multi(curl_multi_init());
    if (!easy || !multi) {
        throw Error(Error::Kind::transport, "Could not start an HTTP request");
    }
    CURL* handle = easy.get();
    HttpResponse response;
    BodySink sink{response, maxReplyBytes_};
    char errorBuffer[CURL_ERROR_SIZE] = {};

    std::unique_ptr<curl_slist, ListFree> headers;
    for (const auto& [name, value] : hop.headers) {
        auto line = name;
        line.append(": ").append(value);
        headers.reset(curl_slist_append(headers.release(), line.c_str()));
    }
    // Without this curl waits for a "100 Continue" before sending larger bodies.
    headers.reset(curl_slist_append(headers.release(), "Expect:"));

    const auto address = hop.url.absoluteString();
    curl_easy_setopt(handle, CURLOPT_URL, address.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    // Redirects are followed by send(), which checks each one's origin first.
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, appendHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &response);
    if (hop.method == "HEAD") {
        curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    } else if (hop.method != "GET" || !hop.body.empty()) {
        curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, hop.method.c_str());
    }
    if (!hop.body.empty() || hop.method == "POST" || hop.method == "PUT" || hop.method == "PATCH") {
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(hop.body.size()));
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, hop.body.data());
    }

    MultiAttachment attachment(multi.get(), handle);
    // A stop request wakes the poll below at once instead of at its next timeout.
    std::stop_callback wake(stop, [&] { curl_multi_wakeup(multi.get()); });
    const std::stop_token stoppedForGood = stoppedForGood_.get_token();
    std::stop_callback wakeForGood(stoppedForGood, [&] { curl_multi_wakeup(multi.get()); });
    int running = 1;
    while (running > 0) {
        if (stop.stop_requested() || stoppedForGood.stop_requested()) {
            throw Error(Error::Kind::cancelled, "The request was cancelled");
        }
        const CURLMcode performed = curl_multi_perform(multi.get(), &running);
        if (performed != CURLM_OK) {
            throw Error(Error::Kind::transport, curl_multi_strerror(performed));
        }
        if (running > 0) {
            curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr);
        }
    }

    CURLcode result = CURLE_OK;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
        if (message->msg == CURLMSG_DONE) {
            result = message->data.result;
        }
    }
    if (sink.overflowed) {
        throw Error(Error::Kind::replyTooLarge,
                    "The reply is larger than " + std::to_string(maxReplyBytes_) + " bytes");
    }
    if (result != CURLE_OK) {
        const std::string description =
            errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(result);
        const auto kind =
            result == CURLE_OPERATION_TIMEDOUT ? Error::Kind::timedOut : Error::Kind::transport;
        throw Error(kind, description);
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    response.status = static_cast<int>(status);
    if (isFollowedStatus(status)) {
        // Absolute, resolved against the request's address; null without a Location.
        char* location = nullptr;
        curl_easy_getinfo(handle, CURLINFO_REDIRECT_URL, &location);
        if (location != nullptr) {
            redirect = Url::parse(location);
            if (!redirect) {
                throw Error(Error::Kind::redirectRefused,
                            "Refused a redirect to an invalid address");
            }
        }
    }
    return response;
}

}  // namespace vask
