#include "sources/corvane_vision_client.h"

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "platform/base64.h"
#include "platform/text.h"

namespace vask {
namespace {

using nlohmann::json;

const json& required(const json& object, const char* key, json::value_t type,
                     const std::string& where) {
    const auto it = object.find(key);
    if (it == object.end()) {
        throw VisionClientError::decodingFailed(where + " has no \"" + key + "\"");
    }
    const bool matches =
        type == json::value_t::number_integer ? it->is_number_integer() : it->type() == type;
    if (!matches) {
        throw VisionClientError::decodingFailed("\"" + std::string(key) + "\" of " + where +
                                                " has the wrong type");
    }
    return *it;
}

json parse(std::string_view body) {
    try {
        auto value = json::parse(body);
        if (!value.is_object()) {
            throw VisionClientError::decodingFailed("the reply is not a JSON object");
        }
        return value;
    } catch (const json::exception& error) {
        throw VisionClientError::decodingFailed(error.what());
    }
}

std::chrono::milliseconds exchangeLimit(double timeout) {
    const double seconds = std::clamp(timeout, 0.001, 60.0);
    return std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000.0));
}

}  // namespace

VisionClientError::VisionClientError(Case kind, int status, std::string body,
                                     const std::string& description)
    : Error(description), kind_(kind), status_(status), body_(std::move(body)) {}

VisionClientError VisionClientError::requestFailed(int status, std::string body) {
    auto description = "Corvane request failed (status " + std::to_string(status) + ")";
    if (!body.empty()) {
        description += ": " + body;
    }
    return {Case::requestFailed, status, std::move(body), description};
}

VisionClientError VisionClientError::decodingFailed(const std::string& message) {
    return {Case::decodingFailed, 0, {}, "Corvane response could not be decoded: " + message};
}

CorvaneVisionClient::CorvaneVisionClient(std::optional<std::string> apiKey,
                                         std::optional<std::string> customerToken, double timeout,
                                         const Url& baseURL, const HttpClient& http)
    : apiKey_(std::move(apiKey)),
      customerToken_(std::move(customerToken)),
      timeout_(timeout),
      responsesURL_(baseURL.appendingPath("api/v1/responses")),
      modelsURL_(baseURL.appendingPath("api/v1/models")),
      http_(&http) {}

CorvaneVisionClient CorvaneVisionClient::withCustomerToken(std::string customerToken,
                                                           double timeout, const Url& baseURL,
                                                           const HttpClient& http) {
    return {std::nullopt, std::move(customerToken), timeout, baseURL, http};
}

CorvaneVisionClient CorvaneVisionClient::withApiKey(std::string apiKey, double timeout,
                                                    const Url& baseURL, const HttpClient& http) {
    return {std::move(apiKey), std::nullopt, timeout, baseURL, http};
}

std::string CorvaneVisionClient::requestBody(std::string_view prompt, std::string_view fileData,
                                             std::string_view mimeType, std::string_view filename,
                                             const std::optional<std::string>& model) {
    json body = json::object();
    if (model) {
        body["model"] = *model;
    }
    body["input"] = json::array({
        {{"type", "message"},
         {"role", "system"},
         {"content", json::array({{{"type", "text"}, {"text", systemPrompt}}})}},
        {{"type", "message"},
         {"role", "user"},
         {"content", json::array({
                         {{"type", "text"}, {"text", prompt}},
                         {{"type", "file"},
                          {"file",
                           {{"data_base64", base64Encode(fileData)},
                            {"mime_type", mimeType},
                            {"filename", filename}}}},
                     })}},
    });
    body["max_output_tokens"] = maxOutputTokens;
    // Invalid UTF-8 in a file name or prompt is replaced rather than failing the whole request.
    return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

VisionParseOutput CorvaneVisionClient::decodeResponse(std::string_view body) {
    const auto payload = parse(body);
    const auto& output = required(payload, "output", json::value_t::array, "the reply");
    VisionParseOutput result;
    for (const auto& item : output) {
        if (!item.is_object()) {
            throw VisionClientError::decodingFailed("an output item is not an object");
        }
        const auto& type = required(item, "type", json::value_t::string, "an output item");
        const auto role = item.find("role");
        const bool hasRole = role != item.end() && !role->is_null();
        if (hasRole && !role->is_string()) {
            throw VisionClientError::decodingFailed("\"role\" of an output item is not a string");
        }
        const auto& content = required(item, "content", json::value_t::array, "an output item");
        std::string itemText;
        for (const auto& part : content) {
            if (!part.is_object()) {
                throw VisionClientError::decodingFailed("a content part is not an object");
            }
            const auto& partType = required(part, "type", json::value_t::string, "a content part");
            if (partType == "text") {
                itemText +=
                    required(part, "text", json::value_t::string, "a text part").get<std::string>();
            }
        }
        if (type == "message" && hasRole && *role == "assistant") {
            result.markdown += itemText;
        }
    }
    if (const auto usage = payload.find("usage"); usage != payload.end() && !usage->is_null()) {
        if (!usage->is_object()) {
            throw VisionClientError::decodingFailed("\"usage\" is not an object");
        }
        result.tokenCost =
            required(*usage, "input_tokens", json::value_t::number_integer, "the usage")
                .get<std::int64_t>() +
            required(*usage, "output_tokens", json::value_t::number_integer, "the usage")
                .get<std::int64_t>();
    }
    return result;
}

std::set<std::string> CorvaneVisionClient::decodeModels(std::string_view body) {
    const auto payload = parse(body);
    std::set<std::string> ids;
    for (const auto& model : required(payload, "models", json::value_t::array, "the reply")) {
        if (!model.is_object()) {
            throw VisionClientError::decodingFailed("a model is not an object");
        }
        auto id = required(model, "model_id", json::value_t::string, "a model").get<std::string>();
        const auto& capabilities = required(model, "capabilities", json::value_t::array, "a model");
        bool vision = false;
        for (const auto& capability : capabilities) {
            if (!capability.is_string()) {
                throw VisionClientError::decodingFailed("a capability is not a string");
            }
            vision = vision || text::toLower(capability.get<std::string>()) == "vision";
        }
        if (vision) {
            ids.insert(std::move(id));
        }
    }
    return ids;
}

HttpResponse CorvaneVisionClient::send(HttpRequest request, std::stop_token stop) const {
    if (customerToken_) {
        request.headers.emplace_back("Authorization", "Bearer " + *customerToken_);
    } else if (apiKey_) {
        request.headers.emplace_back("X-Corvane-Api-Key", *apiKey_);
    }
    request.headers.emplace_back("X-Corvane-Client", std::string(clientName));
    request.timeout = exchangeLimit(timeout_);
    auto response = http_->send(request, stop);
    if (response.status < 200 || response.status > 299) {
        auto body = text::toValidUtf8(response.body) == response.body ? std::move(response.body)
                                                                      : std::string();
        throw VisionClientError::requestFailed(response.status, std::move(body));
    }
    return response;
}

VisionParseOutput CorvaneVisionClient::parseMarkdown(std::string_view prompt,
                                                     std::string_view fileData,
                                                     std::string_view mimeType,
                                                     std::string_view filename,
                                                     const std::optional<std::string>& model,
                                                     std::stop_token stop) const {
    HttpRequest request{"POST", responsesURL_, {}, {}, {}};
    request.headers = {{"Content-Type", "application/json"}, {"Accept", "application/json"}};
    request.body = requestBody(prompt, fileData, mimeType, filename, model);
    return decodeResponse(send(std::move(request), stop).body);
}

std::set<std::string> CorvaneVisionClient::fetchVisionModels(std::stop_token stop) const {
    HttpRequest request{"GET", modelsURL_, {}, {}, {}};
    request.headers = {{"Accept", "application/json"}};
    return decodeModels(send(std::move(request), stop).body);
}

}  // namespace vask
