#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Token counts for display, with the grouping and separators of a locale given by its ICU id
// ("en_US", "de_DE"); an empty id means the process's current locale.
namespace vask::TokenCountFormat {

// The count in full: 1,200,000.
std::string exact(std::int64_t count, std::string_view locale = {});

// Below 1000 the exact form; then thousands with "k" up to 999949 and millions with "m" from
// 999950, at most one fractional digit: 1.5k, 999.9k, 1m, 2,500m.
std::string compact(std::int64_t count, std::string_view locale = {});

}  // namespace vask::TokenCountFormat
