#include "proactive/proactive_surfaces.h"

#include "foundation/app_environment.h"

namespace vask {

std::string ProactiveSurfaces::enabledKey() {
    return AppEnvironment::instanceScopedKey(enabledKeyBase);
}

bool ProactiveSurfaces::isEnabled(const UserDefaults& defaults) {
    return defaults.boolValue(enabledKey()).valueOr(false);
}

}  // namespace vask
