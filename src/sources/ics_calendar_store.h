#pragma once

#include "sources/calendar_event_store.h"
#include "sources/data_folder_store.h"

namespace vask {

inline constexpr DataFolderKind icsFolderKind{
    .extension = ".ics",
    .accessGrantKey = "calendarAccessGrant",
    .grantedValue = "fullAccess",
    .loggerCategory = "calendar-store",
    .eventPrefix = "calendar",
    .folderVariable = "VASK_CALENDAR_DIR",
    .dataSubfolder = "calendars",
    // The calendar parser holds several times a file's size (its text, its plan and its
    // occurrences), on every query; a calendar of many years of events is a few MiB.
    .maxFileBytes = std::uintmax_t{8} * 1024 * 1024,
};

// The calendars on Linux: a folder of iCalendar files as CalDAV sync tools keep it (one folder
// per calendar, one .ics per event) or as calendar programs export it (one .ics per calendar).
// A calendar's title is its X-WR-CALNAME, else the name of its folder, else the file's name.
//
// Access is a grant kept in the user's settings under `accessGrantKey` ("fullAccess" or
// "denied"); the access request records "fullAccess", because opening the folder is the user's
// own choice and nothing else can be asked. Its observers hear of each burst of changes of the
// folder once.
class IcsCalendarStore final : public DataFolderStore<CalendarEventStore, icsFolderKind> {
  public:
    using DataFolderStore::DataFolderStore;

    CalendarAuthorizationStatus authorizationStatus() const override;
    void requestFullAccessToEvents(AccessCompletion completion) override;
    // A missing folder holds no events; a file that cannot be read fails the whole query rather
    // than dropping its events, and a file that holds no calendar, or is larger than the cap, is
    // logged and passed over.
    std::vector<CalendarEvent> events(CalendarEvent::Time start, CalendarEvent::Time end) override;
};

}  // namespace vask
