// Feeds arbitrary bytes to the calendar reader as a file's contents and expands its events over
// January 2024 with small limits, so that one input stays fast. Every occurrence must end no
// earlier than it starts and touch the range, and their texts together stay within the bytes
// the file may yield.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string_view>

#include "quiet_log.h"
#include "sources/ics_calendar_parser.h"

namespace {

using Time = vask::CalendarEvent::Time;

// 2024-01-01T00:00:00Z and 2024-02-01T00:00:00Z.
const Time kRangeStart{std::chrono::seconds(1704067200)};
const Time kRangeEnd{std::chrono::seconds(1706745600)};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Floating times are read on the local clock; pin it so that runs repeat.
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    vask::fuzz::silenceLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    vask::IcsCalendarParser::Limits limits;
    limits.maxStepsPerRule = 2'000;
    limits.maxStepsPerFile = 10'000;
    limits.maxTimePerRule = std::chrono::milliseconds(100);
    limits.maxTimePerFile = std::chrono::milliseconds(500);
    limits.maxOccurrencesPerEvent = 200;
    const auto events = vask::IcsCalendarParser::occurrences(text, "Fuzz", kRangeStart, kRangeEnd,
                                                             "fuzz.ics", limits);
    std::size_t textBytes = 0;
    for (const auto& event : events) {
        if (event.endDate < event.startDate || event.startDate > kRangeEnd ||
            event.endDate < kRangeStart) {
            std::abort();
        }
        textBytes += event.calendarItemIdentifier.size() + event.title.value_or("").size() +
                     event.location.value_or("").size() + event.notes.value_or("").size();
    }
    // What a file yields follows the file, however often its events repeat.
    if (textBytes > std::max(limits.minYieldBytesPerFile, size * limits.yieldBytesPerFileByte)) {
        std::abort();
    }
    return 0;
}
