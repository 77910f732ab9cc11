#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

#include "platform/file_lock.h"

namespace vask {

// A private folder that a live run marks as in use by holding its lock. Locks end with the
// process that held them, so a folder whose lock is free belongs to a run that crashed.
struct InUseFolder {
    std::filesystem::path path;
    FileLock lock;

    // Under `parent`'s own lock (so that a sweep never finds a new folder before it is locked):
    // removes every unlocked folder in `parent` that `isCandidate` accepts, telling `swept` how
    // each removal went, then creates `parent`/`name` and locks it. Throws
    // std::filesystem::filesystem_error.
    static InUseFolder create(
        const std::filesystem::path& parent, const std::string& name,
        const std::function<bool(const std::filesystem::path&)>& isCandidate,
        const std::function<void(const std::filesystem::path&, const std::error_code&)>& swept);

    // The sweep of create() alone, under `parent`'s lock: for a start-up that clears what a
    // dead run left before any new run begins. Nothing happens when `parent` does not exist.
    static void sweep(
        const std::filesystem::path& parent,
        const std::function<bool(const std::filesystem::path&)>& isCandidate,
        const std::function<void(const std::filesystem::path&, const std::error_code&)>& swept);

  private:
    static void sweepLocked(
        const std::filesystem::path& parent,
        const std::function<bool(const std::filesystem::path&)>& isCandidate,
        const std::function<void(const std::filesystem::path&, const std::error_code&)>& swept);
};

}  // namespace vask
