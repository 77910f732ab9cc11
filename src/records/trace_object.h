#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

// Readers of one decoded relay event line. Only JSON numbers with a whole value count as
// integers: strings that look like numbers and Booleans never do.
namespace vask::trace {

std::optional<std::int64_t> integer(const nlohmann::json& object, std::string_view key);
std::optional<std::int64_t> nonnegativeInteger(const nlohmann::json& object, std::string_view key);
// The string under `key`, or nothing when the key is missing or holds another type.
const std::string* string(const nlohmann::json& object, std::string_view key);

}  // namespace vask::trace
