#include "sources/contacts_trace.h"

#include <chrono>

#include "platform/test_hook_log.h"

namespace vask {

std::filesystem::path ContactsTrace::defaultPath() {
    std::error_code error;
    auto folder = std::filesystem::temp_directory_path(error);
    return (error ? std::filesystem::path("/tmp") : folder) / "vask_contacts.log";
}

void ContactsTrace::log(std::string_view message) noexcept {
    try {
        log(message, processEnvironment(), defaultPath());
    } catch (...) {
        // The trace is best effort by contract: it must never reach the permission flow.
    }
}

void ContactsTrace::log(std::string_view message, const Environment& env,
                        const std::filesystem::path& file) noexcept {
    try {
        const auto hooks = env.find("VASK_TEST_HOOKS");
        if (hooks == env.end() || hooks->second != "1") {
            return;
        }
        test_hook_log::appendOwnerOnly(
            file, test_hook_log::record(message, std::chrono::system_clock::now()));
    } catch (...) {
        // As above: tracing never fails its caller.
    }
}

}  // namespace vask
