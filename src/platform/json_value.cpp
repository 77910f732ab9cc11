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

[[noreturn]] void throwTooDeep() {
    throw JSONValue::DecodeError("JSON value nested deeper than " +
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

JSONValue JSONValue::fromJson(const nlohmann::json& json, std::size_t depth) {
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
            if (depth >= maximumDepth) {
                throwTooDeep();
            }
            Array elements;
            elements.reserve(json.size());
            for (const auto& element : json) {
                elements.push_back(fromJson(element, depth + 1));
            }
            // Built in place: through the factory, GCC 12 wrongly warns of uninitialised reads.
            JSONValue value;
            value.value_.emplace<Array>(std::move(elements));
            return value;
        }
        case nlohmann::json::value_t::object: {
            if (depth >= maximumDepth) {
                throwTooDeep();
            }
            Object entries;
            for (const auto& [key, value] : json.items()) {
                entries.insert_or_assign(key, fromJson(value, depth + 1));
            }
            JSONValue value;
            value.value_.emplace<Object>(std::move(entries));
            return value;
        }
        default:
            throw DecodeError();
    }
}

JSONValue JSONValue::parse(std::string_view text) {
    if (nestsTooDeeply(text)) {
        throwTooDeep();
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

}  // namespace vask
