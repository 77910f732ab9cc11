#pragma once

#include <filesystem>
#include <string>
#include <system_error>

namespace vask {

// `path` with symbolic links resolved, or `path` itself when it cannot be resolved (a file that
// does not exist yet, a folder that cannot be read).
inline std::string realpathOrSame(const std::string& path) {
    std::error_code error;
    const auto resolved = std::filesystem::canonical(path, error);
    return error ? path : resolved.string();
}

}  // namespace vask
