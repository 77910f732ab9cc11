#pragma once

#include <filesystem>
#include <string_view>

#include "platform/file_io.h"
#include "support/eventually.h"

namespace vask::test {

// Writes `text` to `path`, creating the folders it lies in.
inline void writeFileCreatingFolders(const std::filesystem::path& path, std::string_view text) {
    std::filesystem::create_directories(path.parent_path());
    writeFileAtomically(path, text);
}

}  // namespace vask::test
