#pragma once

#include <cstdint>
#include <filesystem>
#include <stop_token>
#include <string>

#include "platform/unique_fd.h"

// Opening and reading a user's file so that what is read is what was checked: the path is
// walked from an allowed folder without following any symbolic link, the file must be a
// regular one, and every later step uses only the descriptor.
namespace vask::FileBeneath {

enum class Walk {
    // openat2 with RESOLVE_BENEATH and RESOLVE_NO_SYMLINKS, or the component walk on kernels
    // without it.
    automatic,
    // One openat with O_NOFOLLOW per component.
    componentByComponent,
};

// `relative` (no "..", no leading "/") inside the folder `root` (itself not a link, though the
// folders above it may be: pass it resolved), opened read-only and without
// blocking, so that a FIFO put in the file's place cannot hang the reader. Throws FileError when
// a component is a link or missing, and vask::Error when the file is not a regular file.
UniqueFd openRegularFile(const std::filesystem::path& root, const std::filesystem::path& relative,
                         Walk walk = Walk::automatic);

// The whole file behind `fd`. Throws FileAccessError(tooLarge) past `maxBytes`, vask::Error when
// `stop` is requested before the end, FileError when reading fails.
std::string readAll(const UniqueFd& fd, std::uintmax_t maxBytes, std::stop_token stop = {});

}  // namespace vask::FileBeneath
