#include "relay/json_reader.h"

#include "platform/iso8601.h"
#include "platform/json_fields.h"

namespace vask {

JsonReader::JsonReader(const nlohmann::json& json, std::string path)
    : json_(json), path_(std::move(path)) {
    if (!json_.is_object()) {
        throw DecodingError((path_.empty() ? std::string("the reply") : path_) +
                            " must be an object");
    }
}

bool JsonReader::contains(std::string_view key) const {
    return json_.contains(key);
}

const nlohmann::json* JsonReader::find(std::string_view key) const {
    const auto it = json_.find(key);
    if (it == json_.end() || it->is_null()) {
        return nullptr;
    }
    return &*it;
}

const nlohmann::json& JsonReader::require(std::string_view key) const {
    const auto* value = find(key);
    if (value == nullptr) {
        fail(key, "is missing");
    }
    return *value;
}

std::string JsonReader::pathOf(std::string_view key) const {
    // Appended piece by piece: GCC 12 warns (-Wrestrict, wrongly) about "\"" + a temporary.
    std::string quoted(1, '"');
    quoted += key;
    quoted += '"';
    return path_.empty() ? quoted : path_ + "." + quoted;
}

void JsonReader::fail(std::string_view key, std::string_view problem) const {
    throw DecodingError(pathOf(key) + " " + std::string(problem));
}

std::string JsonReader::string(std::string_view key) const {
    const auto& value = require(key);
    if (!value.is_string()) {
        fail(key, "must be a string");
    }
    return value.get<std::string>();
}

std::optional<std::string> JsonReader::optionalString(std::string_view key) const {
    return find(key) ? std::optional(string(key)) : std::nullopt;
}

std::int64_t JsonReader::integer(std::string_view key) const {
    const auto& value = require(key);
    if (const auto whole = jsonWholeNumber(value)) {
        return *whole;
    }
    if (value.is_number_unsigned()) {
        fail(key, "does not fit a 64-bit integer");
    }
    fail(key, "must be a whole number");
}

std::optional<std::int64_t> JsonReader::optionalInteger(std::string_view key) const {
    return find(key) ? std::optional(integer(key)) : std::nullopt;
}

bool JsonReader::boolean(std::string_view key) const {
    const auto& value = require(key);
    if (!value.is_boolean()) {
        fail(key, "must be true or false");
    }
    return value.get<bool>();
}

std::optional<bool> JsonReader::optionalBoolean(std::string_view key) const {
    return find(key) ? std::optional(boolean(key)) : std::nullopt;
}

std::optional<double> JsonReader::optionalNumber(std::string_view key) const {
    const auto* value = find(key);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (!value->is_number()) {
        fail(key, "must be a number");
    }
    return value->get<double>();
}

std::optional<Clock::WallTime> JsonReader::optionalDate(std::string_view key) const {
    if (!find(key)) {
        return std::nullopt;
    }
    const auto text = string(key);
    if (auto date = parseRelayTimestamp(text)) {
        return date;
    }
    fail(key, "holds an unrecognized RFC 3339 timestamp: " + text);
}

JsonReader JsonReader::object(std::string_view key) const {
    const auto& value = require(key);
    if (!value.is_object()) {
        fail(key, "must be an object");
    }
    return JsonReader(value, pathOf(key));
}

std::optional<JsonReader> JsonReader::optionalObject(std::string_view key) const {
    return find(key) ? std::optional(object(key)) : std::nullopt;
}

std::vector<JsonReader> JsonReader::objectArray(std::string_view key) const {
    const auto& value = require(key);
    if (!value.is_array()) {
        fail(key, "must be an array");
    }
    std::vector<JsonReader> items;
    items.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        items.emplace_back(value[i], pathOf(key) + "[" + std::to_string(i) + "]");
    }
    return items;
}

nlohmann::json parseJsonDocument(std::string_view text) {
    try {
        return nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& error) {
        throw DecodingError(std::string("not valid JSON: ") + error.what());
    }
}

std::optional<Clock::WallTime> parseRelayTimestamp(std::string_view text) {
    // Every "." followed by digits goes, so that the whole-second parser accepts any precision.
    std::string withoutFractions;
    withoutFractions.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto isDigit = [&](std::size_t at) {
            return at < text.size() && text[at] >= '0' && text[at] <= '9';
        };
        if (text[i] == '.' && isDigit(i + 1)) {
            while (isDigit(i + 1)) {
                ++i;
            }
            continue;
        }
        withoutFractions.push_back(text[i]);
    }
    return parseISO8601(withoutFractions);
}

}  // namespace vask
