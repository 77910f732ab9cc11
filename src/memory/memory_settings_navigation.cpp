#include "memory/memory_settings_navigation.h"

namespace vask {

void MemorySettingsNavigation::consumeManagerRequest(const Uuid& id) {
    if (managerRequestID.get() == id) {
        managerRequestID.set(std::nullopt);
    }
}

}  // namespace vask
