#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

#include "platform/file_lock.h"

namespace vask {

// A private folder that a live run marks as in use by holding its lock. Locks end with the
// process that held them, so a folder whose lock is free belongs to a run that crashed.
//
// The parent is Vask's own (made 0700, refused when it is a link, another user's or open to
// others), and nothing here ever waits on a lock: a sweep takes only locks that are free at once,
// and a new folder that a concurrent sweep removed before it was locked is simply made again.
// So no other process, of this user or another, can stall a run by holding a lock.
struct InUseFolder {
    std::filesystem::path path;
    FileLock lock;

    // Removes every unlocked folder of ours in `parent` that `isCandidate` accepts, telling
    // `swept` how each removal went, then creates `parent`/`name` (0700) and locks it. Throws
    // vask::Error when `parent` is not fit, std::filesystem::filesystem_error when the folder
    // cannot be made.
    static InUseFolder create(
        const std::filesystem::path& parent, const std::string& name,
        const std::function<bool(const std::filesystem::path&)>& isCandidate,
        const std::function<void(const std::filesystem::path&, const std::error_code&)>& swept);

    // The sweep of create() alone: for a start-up that clears what a dead run left before any
    // new run begins. Nothing happens when `parent` does not exist.
    static void sweep(
        const std::filesystem::path& parent,
        const std::function<bool(const std::filesystem::path&)>& isCandidate,
        const std::function<void(const std::filesystem::path&, const std::error_code&)>& swept);
};

}  // namespace vask
