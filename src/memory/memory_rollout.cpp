#include "memory/memory_rollout.h"

#include "foundation/app_environment.h"
#include "platform/text.h"

namespace vask {

std::optional<bool> MemoryRollout::parseBoolean(std::string_view value) {
    const auto normalized = text::toLower(text::trimmed(value));
    if (normalized == "1" || normalized == "true" || normalized == "yes" || normalized == "on") {
        return true;
    }
    if (normalized == "0" || normalized == "false" || normalized == "no" || normalized == "off") {
        return false;
    }
    return std::nullopt;
}

bool MemoryRollout::isEnabled(const Environment& environment, const UserDefaults& defaults,
                              const std::optional<std::string>& bundleId) {
    if (const auto found = environment.find(environmentVariable); found != environment.end()) {
        if (const auto parsed = parseBoolean(found->second)) {
            return *parsed;
        }
    }
    const auto key = AppEnvironment::instanceScopedKey(defaultsKey, environment, bundleId);
    return defaults.boolValue(key).valueOr(true);
}

}  // namespace vask
