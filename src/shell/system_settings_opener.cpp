#include "shell/system_settings_opener.h"

namespace vask {

std::string SystemSettingsOpener::link(std::string_view pane, std::string_view anchor) {
    std::string text = "x-apple.systempreferences:";
    text.append(pane).append("?").append(anchor);
    return text;
}

std::string SystemSettingsOpener::openFirst(const std::vector<std::string>& links) {
    for (const auto& candidate : links) {
        if (open(candidate)) {
            return candidate;
        }
    }
    return {};
}

bool UnavailableSystemSettingsOpener::open(const std::string& /*link*/) {
    return false;
}

}  // namespace vask
