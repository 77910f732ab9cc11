#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/uuid.h"
#include "records/record_date.h"
#include "records/record_decoding_error.h"

// Reading and writing the JSON of chat records. A missing key and a null value both count as
// absent for optional keys; a present value of the wrong type is an error, never a default.
namespace vask::record_json {

using Json = nlohmann::json;

// The object itself; throws typeMismatch when `json` is not an object.
const Json& object(const Json& json, std::string_view what);

// The value under `key`; throws keyNotFound when missing, valueNotFound when null.
const Json& required(const Json& object, std::string_view key);
// The value under `key`, or nullptr when missing or null.
const Json* optional(const Json& object, std::string_view key);

std::string string(const Json& value, std::string_view key);
bool boolean(const Json& value, std::string_view key);
std::int64_t integer(const Json& value, std::string_view key);
Uuid uuid(const Json& value, std::string_view key);
RecordDate date(const Json& value, std::string_view key);
const Json& array(const Json& value, std::string_view key);

std::string requiredString(const Json& object, std::string_view key);
std::optional<std::string> optionalString(const Json& object, std::string_view key);
bool requiredBoolean(const Json& object, std::string_view key);
std::optional<bool> optionalBoolean(const Json& object, std::string_view key);
std::int64_t requiredInteger(const Json& object, std::string_view key);

Json dateValue(RecordDate date);
Json uuidValue(const Uuid& id);

// Parses stored text; throws RecordDecodingError (dataCorrupted) when it is not JSON.
Json parse(std::string_view text);
// Compact text with object keys in sorted order; nothing when a string is not valid UTF-8.
std::optional<std::string> dump(const Json& json) noexcept;
// The same text, every ill-formed UTF-8 sequence inside a string written as U+FFFD.
std::string dumpRepairingText(const Json& json);

}  // namespace vask::record_json
