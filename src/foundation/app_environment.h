#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/environment.h"
#include "platform/error.h"

namespace vask {

// Which instance of Vask is running and where it keeps its data. Nothing is cached: each call
// reads the environment again. The overloads that take an environment and a bundle identifier
// apply the same rules to explicit inputs.
class AppEnvironment {
  public:
    class Error : public vask::Error {
      public:
        using vask::Error::Error;
    };

    static constexpr std::string_view productionBundleIdentifier = "ai.ternwick.Vask";
    static constexpr std::string_view productionSupportDirectoryName = "Vask";
    static constexpr const char* supportDirectoryVariable = "VASK_SUPPORT_DIR";

    // This build's bundle identifier; nothing when the build gives none.
    static std::optional<std::string> bundleIdentifier();

    static std::string supportDirectoryName();
    static std::string supportDirectoryName(const Environment& env,
                                            const std::optional<std::string>& bundleId);

    static bool isProductionInstance();
    static bool isProductionInstance(const Environment& env,
                                     const std::optional<std::string>& bundleId);

    // $XDG_DATA_HOME/<instance name>, created 0700 when missing; an existing folder loses any
    // access by group and others. Throws AppEnvironment::Error when the
    // data folder cannot be named or created, or when the instance name is not a folder name.
    static std::filesystem::path supportDirectoryURL();
    static std::filesystem::path supportDirectoryURL(const Environment& env,
                                                     const std::optional<std::string>& bundleId);

    // `key` in the production instance; key + "." + instance name in any other.
    static std::string instanceScopedKey(std::string_view key);
    static std::string instanceScopedKey(std::string_view key, const Environment& env,
                                         const std::optional<std::string>& bundleId);
};

}  // namespace vask
