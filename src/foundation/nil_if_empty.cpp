#include "foundation/nil_if_empty.h"

#include "platform/text.h"

namespace vask {

std::optional<std::string> nilIfEmpty(std::string_view s) {
    const auto trimmed = text::trimmed(s);
    if (trimmed.empty()) {
        return std::nullopt;
    }
    return std::string(trimmed);
}

}  // namespace vask
