#pragma once

#include <cstdint>
#include <optional>

namespace vask {

// `x` as a 64-bit integer when it is finite, whole, at least -2^63 and below 2^63, as a JSON
// number read as a double must be to count as an integer; nothing otherwise.
std::optional<std::int64_t> exactInt64(double x);

}  // namespace vask
