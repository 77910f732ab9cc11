#pragma once

#include <filesystem>
#include <optional>

namespace vask {

// The application's bundled resources: <install prefix>/share/vask, found from the running
// executable (<prefix>/bin/vask). Nothing when that folder does not exist.
std::optional<std::filesystem::path> bundleResourceDirectory();

}  // namespace vask
