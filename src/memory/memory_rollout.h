#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/environment.h"
#include "platform/user_defaults.h"

namespace vask {

// Whether private memory exists at all in this run.
class MemoryRollout {
  public:
    static constexpr const char* environmentVariable = "VASK_MEMORY_ENABLED";
    static constexpr std::string_view defaultsKey = "privateMemoryEnabled";

    // VASK_MEMORY_ENABLED when it reads as a Boolean, else the instance-scoped user default when
    // it holds one, else on. `bundleId` picks the instance as AppEnvironment does.
    static bool isEnabled(const Environment& environment, const UserDefaults& defaults,
                          const std::optional<std::string>& bundleId);

  private:
    static std::optional<bool> parseBoolean(std::string_view value);
};

}  // namespace vask
