#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>
#include <vector>

#include "sources/calendar_event_store.h"

namespace vask {

// How much expanding the rules of one file may cost.
struct IcsExpansionLimits {
    std::size_t maxStepsPerRule = 200'000;
    std::size_t maxStepsPerFile = 1'000'000;
    std::chrono::milliseconds maxTimePerRule{std::chrono::seconds(2)};
    std::chrono::milliseconds maxTimePerFile{std::chrono::seconds(10)};
    std::size_t maxOccurrencesPerEvent = 5'000;
    // Every occurrence carries its event's texts, so what a file yields is bounded in bytes:
    // this many per byte of the file, and never less than the floor.
    std::size_t yieldBytesPerFileByte = 4;
    std::size_t minYieldBytesPerFile = std::size_t{4} * 1024 * 1024;
};

// Turns iCalendar text into the occurrences of its events that overlap a range, the way a
// calendar store answers a date-range query.
//
// A repeating event (RRULE and RDATE, less EXDATE) yields one occurrence per start in the range,
// each lasting as long as the first and carrying the series' identifier and rules; an occurrence
// that was changed on its own (a VEVENT with a RECURRENCE-ID) takes the place of the one it
// replaces, and one changed to STATUS:CANCELLED removes it. Floating times and all-day dates are
// read in the local time zone; a TZID that names a zone of the system's time-zone database is
// read in that zone, whatever the file's own definition of it says. Occurrences come back in
// order of start, then identifier.
//
// A component without its END is left out (and logged) and the rest of the file read; lines may
// end in CR LF, LF or CR alone.
//
// Text that is not UTF-8 is read in the encoding it most likely is. An event without a UID is
// known by `fallbackIdentifier` (the file's place in its folder), followed by "#" and its place
// in the file for any but the first event.
//
// A few bytes of rules can ask for millions of occurrences, so the work is bounded: a rule that
// repeats more often than hourly, or more often than the per-event cap allows across the range,
// is skipped (its first start still counts); expansion stops after a number of steps or a time
// per rule and per file; each event keeps at most a capped number of occurrences; and the
// occurrences of a file hold at most a bounded number of bytes, in proportion to the file, so
// that one long text repeated thousands of times cannot fill memory (later occurrences are left
// out). Each cut is logged, and the occurrences kept of an event that lost some to a cut say so
// (`CalendarEvent::occurrencesLeftOut`). Past the bound on EXDATE lines, a series keeps no
// occurrence an unread deletion could name.
//
// Times are held in nanoseconds: a start or end outside the years 1677 to 2262 is clamped to the
// nearest representable time, a creation or change date there is left out, each logged with the
// file's place.
class IcsCalendarParser {
  public:
    using Limits = IcsExpansionLimits;

    // `calendarTitle` names the calendar unless the text names its own (X-WR-CALNAME). Text that
    // holds no calendar yields nothing.
    static std::vector<CalendarEvent> occurrences(std::string_view text,
                                                  std::string_view calendarTitle,
                                                  CalendarEvent::Time rangeStart,
                                                  CalendarEvent::Time rangeEnd,
                                                  std::string_view fallbackIdentifier = "event",
                                                  const Limits& limits = Limits{});
};

}  // namespace vask
