#include "sources/ics_calendar_store.h"

#include <algorithm>

#include "foundation/structured_logger.h"
#include "platform/text.h"
#include "sources/ics_calendar_parser.h"

namespace vask {
namespace {

const StructuredLogger& logger() {
    static const StructuredLogger log(std::string(icsFolderKind.loggerCategory));
    return log;
}

CalendarEventStoreError fetchFailure(const std::string& message) {
    return CalendarEventStoreError(CalendarEventStoreError::Case::fetchFailed, message);
}

// The calendar a file belongs to when the file does not name it: the collection folder it sits
// in, or the file itself when it lies at the top of the folder.
std::string fallbackTitle(const std::filesystem::path& folder, const std::filesystem::path& file) {
    const auto relative = file.lexically_relative(folder);
    const auto first = relative.begin();
    if (std::next(first) == relative.end()) {
        return file.stem().string();
    }
    return first->string();
}

}  // namespace

CalendarAuthorizationStatus IcsCalendarStore::authorizationStatus() const {
    switch (grant_.state()) {
        case FolderAccessGrant::State::notDetermined:
            return CalendarAuthorizationStatus::notDetermined;
        case FolderAccessGrant::State::granted:
            return CalendarAuthorizationStatus::fullAccess;
        case FolderAccessGrant::State::denied:
            break;
    }
    return CalendarAuthorizationStatus::denied;
}

void IcsCalendarStore::requestFullAccessToEvents(AccessCompletion completion) {
    grant_.request(completion);
}

std::vector<CalendarEvent> IcsCalendarStore::events(CalendarEvent::Time start,
                                                    CalendarEvent::Time end) {
    std::vector<CalendarEvent> events;
    const auto read = [&](const std::filesystem::path& file, const std::string& contents) {
        auto found =
            IcsCalendarParser::occurrences(contents, fallbackTitle(folder(), file), start, end,
                                           file.lexically_relative(folder()).generic_string());
        if (found.empty() && text::toLower(contents).find("begin:vcalendar") == std::string::npos) {
            logger().warning("calendar_file_without_calendar", {{"path", file.string()}});
        }
        std::move(found.begin(), found.end(), std::back_inserter(events));
    };
    try {
        folder_.readDataFiles(logger(), icsFolderKind.eventPrefix, read);
    } catch (const WatchedDataFolderError& failure) {
        throw fetchFailure(failure.what());
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const CalendarEvent& a, const CalendarEvent& b) {
                         return std::tie(a.startDate, a.calendarItemIdentifier) <
                                std::tie(b.startDate, b.calendarItemIdentifier);
                     });
    return events;
}

}  // namespace vask
