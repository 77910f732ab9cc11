#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/error.h"

namespace vask {

// A member of a parsed JSON object that is missing or of the wrong type. what() names the key,
// never its value: the objects read this way carry tokens.
class JsonFieldError : public Error {
  public:
    using Error::Error;
};

// `value` as a 64-bit signed integer when it is a whole number that fits: an integer, or a
// number written with a zero fraction (10.0). Nothing for anything else, integers past the
// signed range included (18446744073709551615 must not read as -1).
std::optional<std::int64_t> jsonWholeNumber(const nlohmann::json& value);

// The string member `key` of `object`. `path` ("user.") goes in front of the key in errors.
// Throws JsonFieldError when the key is missing or its value is not a string.
std::string jsonRequiredString(const nlohmann::json& object, std::string_view key,
                               std::string_view path = {});

}  // namespace vask
