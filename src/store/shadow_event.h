#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vask {

// One calendar event as the shadow database keeps it; the calendar engine replaces them all at
// once. Dates are Unix seconds.
struct ShadowEvent {
    std::string id;  // recurring occurrences carry distinct ids
    std::string title;
    std::int64_t startDate = 0;
    std::optional<std::int64_t> endDate;
    std::optional<std::string> location;
    std::optional<std::string> notes;
    std::optional<std::string> calendarName;
    bool isAllDay = false;
    std::optional<std::string> recurrenceRule;
    std::optional<std::string> participants;
    std::optional<std::int64_t> createdAt;
    std::optional<std::int64_t> modifiedAt;

    bool operator==(const ShadowEvent&) const = default;
};

}  // namespace vask
