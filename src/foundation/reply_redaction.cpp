#include "foundation/reply_redaction.h"

#include <array>
#include <cctype>

#include <nlohmann/json.hpp>

#include "platform/text.h"

namespace vask {
namespace {

constexpr std::array<std::string_view, 6> tokenKeys = {"customer_token", "access_token",
                                                       "refresh_token",  "customerToken",
                                                       "accessToken",    "refreshToken"};

bool isTokenKey(std::string_view key) {
    for (const auto token : tokenKeys) {
        if (key == token) {
            return true;
        }
    }
    return false;
}

// Characters that tokens and codes are made of: an occurrence of the secret inside a longer run
// of them is some other word, which stays as it is.
bool isWordCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '~' ||
           c == '+' || c == '/' || c == '=';
}

std::string replaceWholeWords(std::string_view text, std::string_view secret,
                              std::string_view placeholder) {
    if (secret.empty()) {
        return std::string(text);
    }
    std::string out;
    std::size_t from = 0;
    for (auto at = text.find(secret); at != std::string_view::npos;
         at = text.find(secret, at + 1)) {
        if (at < from) {
            continue;
        }
        const auto end = at + secret.size();
        const bool startsWord = at == 0 || !isWordCharacter(text[at - 1]);
        const bool endsWord = end == text.size() || !isWordCharacter(text[end]);
        if (startsWord && endsWord) {
            out.append(text.substr(from, at - from));
            out.append(placeholder);
            from = end;
        }
    }
    out.append(text.substr(from));
    return out;
}

void redact(nlohmann::json& value, std::string_view secret, std::string_view placeholder) {
    if (value.is_object()) {
        for (auto& [key, member] : value.items()) {
            if (isTokenKey(key)) {
                member = "[redacted]";
            } else {
                redact(member, secret, placeholder);
            }
        }
    } else if (value.is_array()) {
        for (auto& element : value) {
            redact(element, secret, placeholder);
        }
    } else if (value.is_string()) {
        value = replaceWholeWords(value.get_ref<const std::string&>(), secret, placeholder);
    }
}

}  // namespace

std::string redactedRefusal(std::string_view body, std::string_view secret,
                            std::string_view placeholder) {
    if (!text::isValidUtf8(body)) {
        return "Unknown error";
    }
    std::string message;
    if (auto json = nlohmann::json::parse(body, nullptr, false);
        !json.is_discarded() && (json.is_object() || json.is_array())) {
        const auto original = json;
        redact(json, secret, placeholder);
        // An untouched body is kept as the backend wrote it.
        message = json == original ? std::string(body) : json.dump();
    } else {
        message = replaceWholeWords(body, secret, placeholder);
    }
    return text::clipped(message, maxRefusalCharacters);
}

}  // namespace vask
