#include "records/record_json.h"

#include <limits>

namespace vask::record_json {
namespace {

std::string keyText(std::string_view key) {
    return std::string(key);
}

}  // namespace

const Json& object(const Json& json, std::string_view what) {
    if (!json.is_object()) {
        throw RecordDecodingError::typeMismatch(what, "an object");
    }
    return json;
}

const Json& required(const Json& object, std::string_view key) {
    const auto found = object.find(keyText(key));
    if (found == object.end()) {
        throw RecordDecodingError::keyNotFound(key);
    }
    if (found->is_null()) {
        throw RecordDecodingError::valueNotFound(key);
    }
    return *found;
}

const Json* optional(const Json& object, std::string_view key) {
    const auto found = object.find(keyText(key));
    if (found == object.end() || found->is_null()) {
        return nullptr;
    }
    return &*found;
}

std::string string(const Json& value, std::string_view key) {
    if (!value.is_string()) {
        throw RecordDecodingError::typeMismatch(key, "a string");
    }
    return value.get<std::string>();
}

bool boolean(const Json& value, std::string_view key) {
    if (!value.is_boolean()) {
        throw RecordDecodingError::typeMismatch(key, "a boolean");
    }
    return value.get<bool>();
}

std::int64_t integer(const Json& value, std::string_view key) {
    if (value.is_number_integer() && !value.is_number_unsigned()) {
        return value.get<std::int64_t>();
    }
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() <=
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return static_cast<std::int64_t>(value.get<std::uint64_t>());
    }
    throw RecordDecodingError::typeMismatch(key, "a whole number");
}

Uuid uuid(const Json& value, std::string_view key) {
    auto parsed = Uuid::parse(string(value, key));
    if (!parsed) {
        throw RecordDecodingError::dataCorrupted(
            "Attempted to decode UUID from invalid UUID string under key \"" + keyText(key) +
            "\".");
    }
    return *parsed;
}

RecordDate date(const Json& value, std::string_view key) {
    if (!value.is_number()) {
        throw RecordDecodingError::typeMismatch(key, "a number of seconds");
    }
    auto parsed = record_date::fromReferenceSeconds(value.get<double>());
    if (!parsed) {
        throw RecordDecodingError::dataCorrupted("Date out of range under key \"" + keyText(key) +
                                                 "\".");
    }
    return *parsed;
}

const Json& array(const Json& value, std::string_view key) {
    if (!value.is_array()) {
        throw RecordDecodingError::typeMismatch(key, "an array");
    }
    return value;
}

std::string requiredString(const Json& object, std::string_view key) {
    return string(required(object, key), key);
}

std::optional<std::string> optionalString(const Json& object, std::string_view key) {
    const auto* value = optional(object, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    return string(*value, key);
}

bool requiredBoolean(const Json& object, std::string_view key) {
    return boolean(required(object, key), key);
}

std::optional<bool> optionalBoolean(const Json& object, std::string_view key) {
    const auto* value = optional(object, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    return boolean(*value, key);
}

std::int64_t requiredInteger(const Json& object, std::string_view key) {
    return integer(required(object, key), key);
}

Json dateValue(RecordDate date) {
    return Json(record_date::referenceSeconds(date));
}

Json uuidValue(const Uuid& id) {
    return Json(id.uppercaseString());
}

Json parse(std::string_view text) {
    try {
        return Json::parse(text);
    } catch (const Json::parse_error& error) {
        throw RecordDecodingError::dataCorrupted(
            std::string("The given data was not valid JSON. ") + error.what());
    }
}

std::optional<std::string> dump(const Json& json) noexcept {
    try {
        return json.dump();
    } catch (...) {
        return std::nullopt;
    }
}

std::string dumpRepairingText(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace vask::record_json
