#include "engine/host_json.h"

#include "platform/exact_int64.h"

#include <charconv>
#include <cmath>

namespace vask::host_json {

namespace {

std::string quoted(std::string_view key) {
    return "\"" + std::string(key) + "\"";
}

[[noreturn]] void mismatch(std::string_view key, std::string_view expected) {
    throw HostJSONError("Expected " + std::string(expected) + " under key " + quoted(key) + ".");
}

}  // namespace

const Json& object(const Json& json, std::string_view what) {
    if (!json.is_object()) {
        throw HostJSONError("Expected an object for " + std::string(what) + ".");
    }
    return json;
}

const Json* find(const Json& object, std::string_view key) {
    const auto found = object.find(std::string(key));
    if (found == object.end() || found->is_null()) {
        return nullptr;
    }
    return &*found;
}

const Json& required(const Json& object, std::string_view key) {
    const auto* value = find(object, key);
    if (value == nullptr) {
        throw HostJSONError("No value associated with key " + quoted(key) + ".");
    }
    return *value;
}

std::string string(const Json& value, std::string_view key) {
    if (!value.is_string()) {
        mismatch(key, "a string");
    }
    return value.get<std::string>();
}

std::int64_t integer(const Json& value, std::string_view key) {
    if (value.is_number_integer() && !value.is_number_unsigned()) {
        return value.get<std::int64_t>();
    }
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() <= static_cast<std::uint64_t>(INT64_MAX)) {
        return static_cast<std::int64_t>(value.get<std::uint64_t>());
    }
    if (value.is_number_float()) {
        if (const auto whole = exactInt64(value.get<double>())) {
            return *whole;
        }
    }
    mismatch(key, "a whole number");
}

double number(const Json& value, std::string_view key) {
    if (!value.is_number()) {
        mismatch(key, "a number");
    }
    return value.get<double>();
}

bool boolean(const Json& value, std::string_view key) {
    if (!value.is_boolean()) {
        mismatch(key, "a Boolean");
    }
    return value.get<bool>();
}

JSONValue::Object jsonObject(const Json& value, std::string_view key) {
    if (!value.is_object()) {
        mismatch(key, "an object");
    }
    try {
        return *JSONValue::fromJson(value).asObject();
    } catch (const JSONValue::DecodeError& e) {
        throw HostJSONError(e.what());
    }
}

std::optional<std::string> optionalString(const Json& object, std::string_view key) {
    const auto* value = find(object, key);
    return value ? std::optional(string(*value, key)) : std::nullopt;
}

std::optional<std::int64_t> optionalInteger(const Json& object, std::string_view key) {
    const auto* value = find(object, key);
    return value ? std::optional(integer(*value, key)) : std::nullopt;
}

std::optional<double> optionalNumber(const Json& object, std::string_view key) {
    const auto* value = find(object, key);
    return value ? std::optional(number(*value, key)) : std::nullopt;
}

std::optional<bool> optionalBoolean(const Json& object, std::string_view key) {
    const auto* value = find(object, key);
    return value ? std::optional(boolean(*value, key)) : std::nullopt;
}

std::string shortestDecimal(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

}  // namespace vask::host_json
