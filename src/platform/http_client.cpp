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

size_t appendBody(char* data, size_t size, size_t count, void* userData) {
    static_cast<HttpResponse*>(userData)->body.append(data, size * count);
    return size * count;
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

HttpClient::HttpClient() {
    ensureGlobalInit();
}

HttpClient& HttpClient::shared() {
    static HttpClient instance;
    return instance;
}

HttpResponse HttpClient::send(const HttpRequest& request, std::stop_token stop) const {
    std::unique_ptr<CURL, EasyCleanup> easy(curl_easy_init());
    std::unique_ptr<CURLM, MultiCleanup> multi(curl_multi_init());
    if (!easy || !multi) {
        throw Error(Error::Kind::transport, "Could not start an HTTP request");
    }
    CURL* handle = easy.get();
    HttpResponse response;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    std::unique_ptr<curl_slist, ListFree> headers;
    for (const auto& [name, value] : request.headers) {
        const auto line = name + ": " + value;
        headers.reset(curl_slist_append(headers.release(), line.c_str()));
    }
    // Without this curl waits for a "100 Continue" before sending larger bodies.
    headers.reset(curl_slist_append(headers.release(), "Expect:"));

    curl_easy_setopt(handle, CURLOPT_URL, request.url.absoluteString().c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, appendHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &response);
    if (request.method == "HEAD") {
        curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    } else if (request.method != "GET" || !request.body.empty()) {
        curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
    if (!request.body.empty() || request.method == "POST" || request.method == "PUT" ||
        request.method == "PATCH") {
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.body.data());
    }

    MultiAttachment attachment(multi.get(), handle);
    // A stop request wakes the poll below at once instead of at its next timeout.
    std::stop_callback wake(stop, [&] { curl_multi_wakeup(multi.get()); });
    int running = 1;
    while (running > 0) {
        if (stop.stop_requested()) {
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
    return response;
}

}  // namespace vask
