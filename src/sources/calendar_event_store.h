#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/subscription.h"

namespace vask {

// Raw values are the ones the platform defines and callers may persist or log.
enum class CalendarAuthorizationStatus : int {
    notDetermined = 0,
    restricted = 1,
    denied = 2,
    fullAccess = 3,
    writeOnly = 4,
};

// Only full access lets events be read; write-only access does not.
constexpr bool hasReadAccess(CalendarAuthorizationStatus status) {
    return status == CalendarAuthorizationStatus::fullAccess;
}

// Someone taking part in an event, as the calendar names them.
struct CalendarParticipant {
    // Usually a "mailto:" address; empty when the calendar gives none.
    std::string url;
    std::string name;
    bool operator==(const CalendarParticipant&) const = default;
};

// One occurrence of an event as the calendar store reports it: a recurring event comes back once
// per occurrence in the requested range, every occurrence with the series' identifier and rules.
struct CalendarEvent {
    using Time = std::chrono::system_clock::time_point;

    std::string calendarItemIdentifier;
    std::optional<std::string> title;
    Time startDate;
    Time endDate;
    bool isAllDay = false;
    std::optional<std::string> location;
    std::optional<std::string> notes;
    std::string calendarTitle;
    // Each rule in the calendar's own text form; empty for an event that does not repeat.
    std::vector<std::string> recurrenceRules;
    std::optional<CalendarParticipant> organizer;
    std::vector<CalendarParticipant> attendees;
    std::optional<Time> creationDate;
    std::optional<Time> lastModifiedDate;
    // Some occurrences of this event in the requested range were left out (the reader's bounds
    // on what one file may cost): the ones present are its first, not all of them.
    bool occurrencesLeftOut = false;
};

class CalendarEventStoreError : public Error {
  public:
    enum class Case { accessRequestFailed, fetchFailed };

    CalendarEventStoreError(Case kind, std::string message);
    Case kind() const { return kind_; }
    const std::string& message() const { return message_; }

  private:
    Case kind_;
    std::string message_;
};

// The user's calendars as the platform keeps them: permission, the events of a date range and
// their changes.
class CalendarEventStore {
  public:
    // Reports whether full access was granted, or the reason the request itself failed. May call
    // back on any thread, at most once.
    using AccessCompletion =
        std::function<void(bool granted, const std::optional<std::string>& error)>;

    virtual ~CalendarEventStore() = default;

    virtual CalendarAuthorizationStatus authorizationStatus() const = 0;
    virtual void requestFullAccessToEvents(AccessCompletion completion) = 0;
    // Every occurrence, in any calendar, overlapping [start, end]. Throws CalendarEventStoreError.
    virtual std::vector<CalendarEvent> events(CalendarEvent::Time start,
                                              CalendarEvent::Time end) = 0;
    // `changed` runs on the store's own thread after each change of the calendars (once per
    // burst of changes), for as long as the subscription lives.
    [[nodiscard]] virtual Subscription observeChanges(std::function<void()> changed) = 0;
};

}  // namespace vask
