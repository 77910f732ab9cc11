#pragma once

#include <filesystem>
#include <string_view>

#include "platform/environment.h"

namespace vask {

// A diagnostic trace of the contacts permission flow, written only when test hooks are on
// (VASK_TEST_HOOKS exactly "1"). It never fails and never affects its caller.
class ContactsTrace {
  public:
    ContactsTrace() = delete;

    // Appends to vask_contacts.log in the temporary folder.
    static void log(std::string_view message) noexcept;
    // Appends "[<UTC time>] <message>\n" to `file`. A symbolic link, or anything other than a
    // regular file, at that path is never written through: the trace lives in a shared folder
    // where another user could plant one.
    static void log(std::string_view message, const Environment& env,
                    const std::filesystem::path& file) noexcept;

    static std::filesystem::path defaultPath();
};

}  // namespace vask
