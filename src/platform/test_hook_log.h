#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace vask::test_hook_log {

// One record: "[YYYY-MM-DD HH:MM:SS +0000] " + message + "\n". A line break inside the message
// is followed by one blank, so that no continuation line can begin with a record's prefix (an
// answer quoting a log line must not forge a record); readers drop that blank again.
std::string record(std::string_view message, Clock::WallTime now);

// Appends `bytes` to `file`, creating it 0600. Refuses a symbolic link, anything other than a
// regular file and a file owned by another user: the log may live in a shared folder where
// another user could plant one. An existing file of ours that others could read is narrowed to
// 0600 first. Returns whether the bytes were written; never throws.
bool appendOwnerOnly(const std::filesystem::path& file, std::string_view bytes) noexcept;

}  // namespace vask::test_hook_log
