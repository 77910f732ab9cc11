#pragma once

#include <string>

#include "platform/user_defaults.h"

namespace vask {

// The proactive master switch, read at the moment each proactive component acts.
class ProactiveSurfaces {
  public:
    static constexpr const char* enabledKeyBase = "showProactiveSurfaces";

    // The instance-scoped key of the switch.
    static std::string enabledKey();
    // Absent or not a Boolean: off.
    static bool isEnabled(const UserDefaults& defaults);
};

}  // namespace vask
