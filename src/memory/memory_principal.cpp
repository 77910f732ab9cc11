#include "memory/memory_principal.h"

#include "platform/text.h"

namespace vask {

std::optional<MemoryPrincipal> MemoryPrincipal::make(std::string rawValue) {
    if (text::trimmed(rawValue).empty()) {
        return std::nullopt;
    }
    return MemoryPrincipal(std::move(rawValue));
}

}  // namespace vask
