#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string_view>
#include <thread>

#include "platform/file_io.h"

namespace vask::test {

// Waits for something another thread does. The cap only keeps a broken build from hanging.
inline bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 10'000; ++i) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

// Writes `text` to `path`, creating the folders it lies in.
inline void writeFileCreatingFolders(const std::filesystem::path& path, std::string_view text) {
    std::filesystem::create_directories(path.parent_path());
    writeFileAtomically(path, text);
}

}  // namespace vask::test
