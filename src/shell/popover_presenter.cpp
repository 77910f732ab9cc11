#include "shell/popover_presenter.h"

namespace vask::popover {

std::string formatCount(std::int64_t count, std::string_view unit) {
    const std::string plural = std::string(unit) + "s";
    if (count >= 1000) {
        return std::to_string(count / 1000) + "k " + plural;
    }
    return std::to_string(count) + " " + (count == 1 ? std::string(unit) : plural);
}

std::vector<ErrorEntry> activeErrors(const ErrorSources& sources) {
    std::vector<ErrorEntry> entries;
    const std::pair<const char*, const std::optional<std::string>*> ordered[] = {
        {"Config", &sources.config}, {"Sync", &sources.sync}, {"Contacts", &sources.contacts},
        {"Chat", &sources.chat},     {"Access", &sources.access}};
    for (const auto& [label, message] : ordered) {
        if (*message) {
            entries.push_back({label, **message});
        }
    }
    return entries;
}

std::string copiedErrorText(const ErrorEntry& entry) {
    return "[" + entry.label + "] " + entry.message;
}

}  // namespace vask::popover
