#include "engine/in_use_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/owner_only_file.h"

namespace vask {
namespace fs = std::filesystem;

namespace {

// A folder itself (not a link to one) that this user owns: nothing else is ever removed.
bool isOwnFolder(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid();
}

}  // namespace

void InUseFolder::sweep(const fs::path& parent,
                        const std::function<bool(const fs::path&)>& isCandidate,
                        const std::function<void(const fs::path&, const std::error_code&)>& swept) {
    std::error_code error;
    for (fs::directory_iterator it(parent, error), end; !error && it != end; it.increment(error)) {
        if (!isCandidate(it->path()) || !isOwnFolder(it->path())) {
            continue;
        }
        // Held through the removal, so a run that made this folder a moment ago and has not
        // locked it yet finds it gone (or held) and makes another.
        if (const auto abandoned = FileLock::tryAcquire(it->path())) {
            std::error_code removal;
            fs::remove_all(it->path(), removal);
            swept(it->path(), removal);
        }
    }
}

InUseFolder InUseFolder::create(
    const fs::path& parent, const std::string& name,
    const std::function<bool(const fs::path&)>& isCandidate,
    const std::function<void(const fs::path&, const std::error_code&)>& swept) {
    ensurePrivateFolder(parent);
    sweep(parent, isCandidate, swept);
    constexpr int attempts = 8;
    std::error_code cause;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const fs::path path =
            attempt == 0 ? parent / name : parent / (name + "-" + std::to_string(attempt));
        if (::mkdir(path.c_str(), S_IRWXU) != 0) {
            cause.assign(errno, std::generic_category());
            if (errno == EEXIST) {
                continue;  // a sweep is removing it, or the name is taken: another name
            }
            throw fs::filesystem_error("cannot make the folder", path, cause);
        }
        auto lock = FileLock::tryAcquire(path);
        // A sweep may have taken the new folder for an abandoned one and removed it between
        // the mkdir and the lock: the lock must be on the folder that is there now.
        if (lock && lock->isStillAt(path)) {
            if (::chmod(path.c_str(), S_IRWXU) != 0) {
                cause.assign(errno, std::generic_category());
                std::error_code ignored;
                fs::remove_all(path, ignored);
                throw fs::filesystem_error("cannot make the folder private", path, cause);
            }
            return {path, std::move(*lock)};
        }
        cause = std::make_error_code(std::errc::device_or_resource_busy);
    }
    throw fs::filesystem_error("cannot mark the folder as in use", parent / name, cause);
}

}  // namespace vask
