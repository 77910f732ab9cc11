#pragma once

#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/http_client.h"
#include "platform/url.h"
#include "sources/vision_parser_providing.h"

namespace vask {

class VisionClientError : public Error {
  public:
    enum class Case { requestFailed, decodingFailed };

    // "Corvane request failed (status 413)", with ": " and the body when there is one.
    static VisionClientError requestFailed(int status, std::string body);
    // "Corvane response could not be decoded: " and what was wrong.
    static VisionClientError decodingFailed(const std::string& message);

    Case kind() const { return kind_; }
    int status() const { return status_; }
    const std::string& body() const { return body_; }

  private:
    VisionClientError(Case kind, int status, std::string body, const std::string& description);

    Case kind_;
    int status_;
    std::string body_;
};

// The relay's responses and models endpoints, for the file access service. It throws every
// failure (a status outside 200-299, a reply it cannot decode, HttpClient::Error for transport
// failures and time-outs) and never logs, retries or refreshes a token.
class CorvaneVisionClient final : public VisionParserProviding {
  public:
    static constexpr std::string_view clientName = "vask-file-parser";
    static constexpr std::string_view systemPrompt =
        "You are a document parser. Return only markdown.";
    static constexpr int maxOutputTokens = 2048;

    // `baseURL` is the relay's root; `timeout` bounds each whole exchange (never above 60
    // seconds, the requests' own limit).
    static CorvaneVisionClient withCustomerToken(std::string customerToken, double timeout,
                                                 const Url& baseURL, const HttpClient& http);
    static CorvaneVisionClient withApiKey(std::string apiKey, double timeout, const Url& baseURL,
                                          const HttpClient& http);
    // Without either credential the requests go out with no credential header.
    CorvaneVisionClient(std::optional<std::string> apiKey, std::optional<std::string> customerToken,
                        double timeout, const Url& baseURL, const HttpClient& http);

    VisionParseOutput parseMarkdown(std::string_view prompt, std::string_view fileData,
                                    std::string_view mimeType, std::string_view filename,
                                    const std::optional<std::string>& model,
                                    std::stop_token stop = {}) const override;

    std::set<std::string> fetchVisionModels(std::stop_token stop = {}) const override;

    const std::optional<std::string>& apiKey() const { return apiKey_; }
    const std::optional<std::string>& customerToken() const { return customerToken_; }
    double timeout() const { return timeout_; }

    static std::string requestBody(std::string_view prompt, std::string_view fileData,
                                   std::string_view mimeType, std::string_view filename,
                                   const std::optional<std::string>& model);
    // Throws VisionClientError::decodingFailed.
    static VisionParseOutput decodeResponse(std::string_view body);
    static std::set<std::string> decodeModels(std::string_view body);

  private:
    HttpResponse send(HttpRequest request, std::stop_token stop) const;

    std::optional<std::string> apiKey_;
    std::optional<std::string> customerToken_;
    double timeout_;
    Url responsesURL_;
    Url modelsURL_;
    const HttpClient* http_;
};

}  // namespace vask
