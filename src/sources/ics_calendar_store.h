#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "platform/environment.h"
#include "platform/notification_center.h"
#include "platform/scheduler.h"
#include "platform/user_defaults.h"
#include "sources/calendar_event_store.h"
#include "sources/folder_access_grant.h"
#include "sources/folder_watcher.h"
#include "sources/watched_data_folder.h"

namespace vask {

// The calendars on Linux: a folder of iCalendar files as CalDAV sync tools keep it (one folder
// per calendar, one .ics per event) or as calendar programs export it (one .ics per calendar).
// A calendar's title is its X-WR-CALNAME, else the name of its folder, else the file's name.
//
// Access is a grant kept in the user's settings under `accessGrantKey` ("fullAccess" or
// "denied"); the access request records "fullAccess", because opening the folder is the user's
// own choice and nothing else can be asked. Any change of the folder posts
// `changedNotification` with this store as sender, once per burst of changes.
class IcsCalendarStore final : public CalendarEventStore {
  public:
    static constexpr std::string_view accessGrantKey = "calendarAccessGrant";
    // A larger file is passed over (and logged): the calendar parser holds several times a
    // file's size (its text, its plan and its occurrences), on every query. A calendar of many
    // years of events is a few MiB.
    static constexpr std::uintmax_t kMaxFileBytes = std::uintmax_t{8} * 1024 * 1024;

    // Watches `folder` from now on. Throws vask::Error when the folder cannot be watched.
    IcsCalendarStore(std::filesystem::path folder, UserDefaults& defaults,
                     NotificationCenter& center = NotificationCenter::shared(),
                     Scheduler& scheduler = Scheduler::system(),
                     Scheduler::Duration changeLatency = FolderWatcher::defaultLatency,
                     std::uintmax_t maxFileBytes = kMaxFileBytes);

    // VASK_CALENDAR_DIR when set, else the "calendars" folder of the user's data folder.
    static std::optional<std::filesystem::path> defaultFolder(const Environment& env);

    CalendarAuthorizationStatus authorizationStatus() const override;
    void requestFullAccessToEvents(AccessCompletion completion) override;
    // A missing folder holds no events; a file that cannot be read fails the whole query rather
    // than dropping its events, and a file that holds no calendar, or is larger than the cap, is
    // logged and passed over.
    std::vector<CalendarEvent> events(CalendarEvent::Time start, CalendarEvent::Time end) override;

    const std::filesystem::path& folder() const { return folder_.path(); }
    const FolderWatcher& watcher() const { return folder_.watcher(); }

  private:
    FolderAccessGrant grant_;
    WatchedDataFolder folder_;
};

}  // namespace vask
