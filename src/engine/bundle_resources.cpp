#include "engine/bundle_resources.h"

#include <system_error>

namespace vask {

std::optional<std::filesystem::path> bundleResourceDirectory() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return std::nullopt;
    }
    auto resources = executable.parent_path().parent_path() / "share" / "vask";
    if (!std::filesystem::is_directory(resources, error)) {
        return std::nullopt;
    }
    return resources;
}

}  // namespace vask
