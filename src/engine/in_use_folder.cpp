#include "engine/in_use_folder.h"

#include <cerrno>

namespace vask {
namespace fs = std::filesystem;

void InUseFolder::sweepLocked(
    const fs::path& parent, const std::function<bool(const fs::path&)>& isCandidate,
    const std::function<void(const fs::path&, const std::error_code&)>& swept) {
    std::error_code error;
    for (fs::directory_iterator it(parent, error), end; !error && it != end; it.increment(error)) {
        std::error_code ignored;
        if (!it->is_directory(ignored) || !isCandidate(it->path())) {
            continue;
        }
        if (FileLock::tryAcquire(it->path())) {
            std::error_code removal;
            fs::remove_all(it->path(), removal);
            swept(it->path(), removal);
        }
    }
}

void InUseFolder::sweep(const fs::path& parent,
                        const std::function<bool(const fs::path&)>& isCandidate,
                        const std::function<void(const fs::path&, const std::error_code&)>& swept) {
    std::error_code error;
    if (!fs::is_directory(parent, error)) {
        return;
    }
    const auto guard = FileLock::acquire(parent);
    sweepLocked(parent, isCandidate, swept);
}

InUseFolder InUseFolder::create(
    const fs::path& parent, const std::string& name,
    const std::function<bool(const fs::path&)>& isCandidate,
    const std::function<void(const fs::path&, const std::error_code&)>& swept) {
    fs::create_directories(parent);
    const auto guard = FileLock::acquire(parent);
    sweepLocked(parent, isCandidate, swept);
    const fs::path path = parent / name;
    fs::create_directory(path);
    auto lock = FileLock::tryAcquire(path);
    if (!lock) {
        const std::error_code cause(errno, std::generic_category());
        std::error_code ignored;
        fs::remove_all(path, ignored);
        throw fs::filesystem_error("cannot mark the folder as in use", path, cause);
    }
    return {path, std::move(*lock)};
}

}  // namespace vask
