#pragma once

#include <optional>

#include "platform/published.h"
#include "platform/uuid.h"

namespace vask {

// Carries a chat's request to open the memory manager in Settings; the composition root holds
// one and hands it to both sides. Main executor only.
class MemorySettingsNavigation {
  public:
    Published<std::optional<Uuid>> managerRequestID;

    // Clears the request only when it is still `id`, so a newer request is never lost.
    void consumeManagerRequest(const Uuid& id);
};

}  // namespace vask
