#include "platform/json_value.h"

#include <charconv>
#include <cmath>
#include <cstdint>

#include <nlohmann/json.hpp>

namespace vask {
namespace {

std::string numberText(double x) {
    if (std::isfinite(x) && std::nearbyint(x) == x && std::fabs(x) < 1e15) {
        return std::to_string(static_cast<std::int64_t>(x));
    }
    char buffer[32];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, x);
    return error == std::errc() ? std::string(buffer, end) : std::string("nan");
}

JSONValue::DecodeError tooDeep() {
    return JSONValue::DecodeError("JSON value nested deeper than " +
                                  std::to_string(JSONValue::maximumDepth) + " levels");
}

}  // namespace

bool JSONValue::nestsTooDeeply(std::string_view text) {
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maximumDepth) {
                return true;
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

JSONValue JSONValue::fromJson(const nlohmann::json& json) {
    return fromJson(json, 0);
}

JSONValue JSONValue::fromJson(const nlohmann::json& json, std::size_t depth) {
    if (json.is_structured() && depth >= maximumDepth) {
        throw tooDeep();
    }
    switch (json.type()) {
        case nlohmann::json::value_t::null:
            return null();
        case nlohmann::json::value_t::boolean:
            return boolean(json.get<bool>());
        case nlohmann::json::value_t::number_integer:
        case nlohmann::json::value_t::number_unsigned:
        case nlohmann::json::value_t::number_float:
            return number(json.get<double>());
        case nlohmann::json::value_t::string:
            return string(json.get<std::string>());
        case nlohmann::json::value_t::array: {
            Array elements;
            elements.reserve(json.size());
            for (const auto& element : json) {
                elements.push_back(fromJson(element, depth + 1));
            }
            return array(std::move(elements));
        }
        case nlohmann::json::value_t::object: {
            Object entries;
            for (const auto& [key, value] : json.items()) {
                entries.insert_or_assign(key, fromJson(value, depth + 1));
            }
            return object(std::move(entries));
        }
        default:
            throw DecodeError();
    }
}

JSONValue JSONValue::parse(std::string_view text) {
    if (nestsTooDeeply(text)) {
        throw tooDeep();
    }
    auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded()) {
        throw DecodeError();
    }
    return fromJson(json);
}

std::string JSONValue::description() const {
    switch (kind()) {
        case Kind::string:
            return "\"" + *asString() + "\"";
        case Kind::number:
            return numberText(*asNumber());
        case Kind::boolean:
            return *asBool() ? "true" : "false";
        case Kind::object: {
            std::string text = "{";
            bool first = true;
            for (const auto& [key, value] : *asObject()) {
                text += first ? "" : ", ";
                text += key + ": " + value.description();
                first = false;
            }
            return text + "}";
        }
        case Kind::array: {
            std::string text = "[";
            bool first = true;
            for (const auto& element : *asArray()) {
                text += first ? "" : ", ";
                text += element.description();
                first = false;
            }
            return text + "]";
        }
        case Kind::null:
            return "null";
    }
    return "null";
}

std::optional<std::int64_t> exactInt64(double x) {
    // Both bounds are powers of two, so every double between them converts exactly.
    if (!std::isfinite(x) || std::trunc(x) != x || x < -9223372036854775808.0 ||
        x >= 9223372036854775808.0) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(x);
}

}  // namespace vask
