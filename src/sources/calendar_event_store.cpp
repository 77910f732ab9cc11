#include "sources/calendar_event_store.h"

namespace vask {
namespace {

std::string phrase(CalendarEventStoreError::Case kind) {
    switch (kind) {
        case CalendarEventStoreError::Case::accessRequestFailed:
            return "Calendar access request failed: ";
        case CalendarEventStoreError::Case::fetchFailed:
            return "Could not read the calendars: ";
    }
    return "Calendar error: ";
}

}  // namespace

CalendarEventStoreError::CalendarEventStoreError(Case kind, std::string message)
    : Error(phrase(kind) + message), kind_(kind), message_(std::move(message)) {}

}  // namespace vask
