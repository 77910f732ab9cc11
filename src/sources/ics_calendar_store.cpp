#include "sources/ics_calendar_store.h"

#include <algorithm>
#include <system_error>

#include "foundation/structured_logger.h"
#include "platform/file_io.h"
#include "platform/text.h"
#include "sources/ics_calendar_parser.h"

namespace vask {
namespace {

const StructuredLogger& logger() {
    static const StructuredLogger log("calendar-store");
    return log;
}

bool isHidden(const std::filesystem::path& path) {
    const auto name = path.filename().string();
    return !name.empty() && name.front() == '.';
}

CalendarEventStoreError fetchFailure(const std::string& message) {
    return CalendarEventStoreError(CalendarEventStoreError::Case::fetchFailed, message);
}

std::vector<std::filesystem::path> calendarFiles(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    std::filesystem::recursive_directory_iterator it(folder, error);
    for (const std::filesystem::recursive_directory_iterator end; !error && it != end;
         it.increment(error)) {
        if (isHidden(it->path())) {
            // Sync tools keep their state and half-written files under hidden names.
            it.disable_recursion_pending();
            continue;
        }
        if (text::toLower(it->path().extension().string()) == ".ics" &&
            it->is_regular_file(error)) {
            files.push_back(it->path());
        }
    }
    if (error) {
        throw fetchFailure(folder.string() + ": " + error.message());
    }
    std::sort(files.begin(), files.end());
    return files;
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

IcsCalendarStore::IcsCalendarStore(std::filesystem::path folder, UserDefaults& defaults,
                                   NotificationCenter& center, Scheduler& scheduler,
                                   Scheduler::Duration changeLatency)
    : folder_(std::move(folder)), defaults_(defaults), center_(center) {
    watcher_ = std::make_unique<FolderWatcher>(
        folder_, ".ics",
        [this] {
            center_.post(std::string(changedNotification),
                         static_cast<const CalendarEventStore*>(this));
        },
        scheduler, changeLatency);
}

std::optional<std::filesystem::path> IcsCalendarStore::defaultFolder(const Environment& env) {
    if (const auto it = env.find("VASK_CALENDAR_DIR"); it != env.end() && !it->second.empty()) {
        return std::filesystem::path(it->second);
    }
    if (auto data = xdgDataHome(env)) {
        return *data / "calendars";
    }
    return std::nullopt;
}

CalendarAuthorizationStatus IcsCalendarStore::authorizationStatus() const {
    const auto grant = defaults_.stringValue(accessGrantKey);
    if (grant.isAbsent()) {
        return CalendarAuthorizationStatus::notDetermined;
    }
    if (grant.isPresent() && grant.value == "fullAccess") {
        return CalendarAuthorizationStatus::fullAccess;
    }
    if (grant.isPresent() && grant.value == "denied") {
        return CalendarAuthorizationStatus::denied;
    }
    // A value we did not write: treat it as a refusal rather than reading calendars unasked.
    logger().warning("calendar_access_grant_unreadable", {{"key", std::string(accessGrantKey)}});
    return CalendarAuthorizationStatus::denied;
}

void IcsCalendarStore::requestFullAccessToEvents(AccessCompletion completion) {
    switch (authorizationStatus()) {
        case CalendarAuthorizationStatus::fullAccess:
            completion(true, std::nullopt);
            return;
        case CalendarAuthorizationStatus::notDetermined:
            break;
        default:
            completion(false, std::nullopt);
            return;
    }
    try {
        defaults_.set(accessGrantKey, "fullAccess");
    } catch (const std::exception& error) {
        completion(false, std::string(error.what()));
        return;
    }
    logger().info("calendar_access_granted");
    completion(true, std::nullopt);
}

std::vector<CalendarEvent> IcsCalendarStore::events(CalendarEvent::Time start,
                                                    CalendarEvent::Time end) {
    std::error_code error;
    const auto status = std::filesystem::status(folder_, error);
    if (status.type() == std::filesystem::file_type::not_found) {
        logger().info("calendar_folder_missing", {{"path", folder_.string()}});
        return {};
    }
    if (error) {
        throw fetchFailure(folder_.string() + ": " + error.message());
    }
    if (status.type() != std::filesystem::file_type::directory) {
        throw fetchFailure(folder_.string() + ": not a folder");
    }

    std::vector<CalendarEvent> events;
    for (const auto& file : calendarFiles(folder_)) {
        std::optional<std::string> contents;
        try {
            contents = readFileIfExists(file);
        } catch (const FileError& failure) {
            throw fetchFailure(failure.what());
        }
        if (!contents) {
            // Removed between listing and reading: the next change notification covers it.
            continue;
        }
        auto found =
            IcsCalendarParser::occurrences(*contents, fallbackTitle(folder_, file), start, end);
        if (found.empty() &&
            text::toLower(*contents).find("begin:vcalendar") == std::string::npos) {
            logger().warning("calendar_file_without_calendar", {{"path", file.string()}});
        }
        std::move(found.begin(), found.end(), std::back_inserter(events));
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const CalendarEvent& a, const CalendarEvent& b) {
                         return std::tie(a.startDate, a.calendarItemIdentifier) <
                                std::tie(b.startDate, b.calendarItemIdentifier);
                     });
    return events;
}

}  // namespace vask
