#pragma once

#include <string_view>
#include <vector>

#include "sources/calendar_event_store.h"

namespace vask {

// Turns iCalendar text into the occurrences of its events that overlap a range, the way a
// calendar store answers a date-range query.
//
// A repeating event (RRULE and RDATE, less EXDATE) yields one occurrence per start in the range,
// each lasting as long as the first and carrying the series' identifier and rules; an occurrence
// that was changed on its own (a VEVENT with a RECURRENCE-ID) takes the place of the one it
// replaces. Floating times and all-day dates are read in the local time zone. Occurrences come
// back in order of start, then identifier.
class IcsCalendarParser {
  public:
    // `calendarTitle` names the calendar unless the text names its own (X-WR-CALNAME). Text that
    // holds no calendar yields nothing.
    static std::vector<CalendarEvent> occurrences(std::string_view text,
                                                  std::string_view calendarTitle,
                                                  CalendarEvent::Time rangeStart,
                                                  CalendarEvent::Time rangeEnd);
};

}  // namespace vask
