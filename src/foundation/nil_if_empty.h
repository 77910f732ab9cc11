#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vask {

// `s` trimmed of whitespace and newlines, or nothing when nothing is left. Environment values,
// tokens and keys that may be blank go through this, so a blank value counts as unset.
std::optional<std::string> nilIfEmpty(std::string_view s);

}  // namespace vask
