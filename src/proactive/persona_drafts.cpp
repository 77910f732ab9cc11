#include "proactive/persona_drafts.h"

#include "foundation/app_environment.h"
#include "proactive/proactive_surfaces.h"

namespace vask {

std::string PersonaDrafts::enabledKey() {
    return AppEnvironment::instanceScopedKey(enabledKeyBase);
}

std::string PersonaDrafts::migratedKey() {
    return AppEnvironment::instanceScopedKey(migratedKeyBase);
}

bool PersonaDrafts::isEnabled(const UserDefaults& defaults) {
    if (!ProactiveSurfaces::isEnabled(defaults)) {
        return false;
    }
    return defaults.boolValue(enabledKey()).valueOr(true);
}

void PersonaDrafts::migrateLegacyOptOut(UserDefaults& defaults) {
    if (defaults.boolValue(migratedKey()).valueOr(false)) {
        return;
    }
    if (!defaults.value(enabledKey()).has_value() && ProactiveSurfaces::isEnabled(defaults)) {
        defaults.set(enabledKey(), false);
    }
    defaults.set(migratedKey(), true);
}

}  // namespace vask
