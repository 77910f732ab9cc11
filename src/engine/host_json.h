#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/error.h"
#include "platform/json_value.h"

// Strict reading of the helper's response: a key that is present must have its stated type, or
// the whole response is undecodable. Every failure throws HostJSONError with what is wrong.
namespace vask::host_json {

using Json = nlohmann::json;

class HostJSONError : public Error {
  public:
    using Error::Error;
};

const Json& object(const Json& json, std::string_view what);
// The value under `key`, or nullptr when it is missing or null.
const Json* find(const Json& object, std::string_view key);
const Json& required(const Json& object, std::string_view key);

std::string string(const Json& value, std::string_view key);
// A JSON number that is a whole number in range (5.0 counts as 5).
std::int64_t integer(const Json& value, std::string_view key);
double number(const Json& value, std::string_view key);
bool boolean(const Json& value, std::string_view key);
JSONValue::Object jsonObject(const Json& value, std::string_view key);

std::optional<std::string> optionalString(const Json& object, std::string_view key);
std::optional<std::int64_t> optionalInteger(const Json& object, std::string_view key);
std::optional<double> optionalNumber(const Json& object, std::string_view key);
std::optional<bool> optionalBoolean(const Json& object, std::string_view key);

// Shortest text that reads back as the same double.
std::string shortestDecimal(double value);

}  // namespace vask::host_json
