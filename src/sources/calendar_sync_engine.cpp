#include "sources/calendar_sync_engine.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/logger.h"
#include "platform/text.h"
#include "sources/coalescing_sync_runner.h"
#include "sources/folder_access_grant.h"
#include "store/shadow_db.h"

namespace vask {
namespace {

constexpr auto secondsPerDay = std::chrono::seconds(86400);

const Logger& logger() {
    static const Logger instance("ai.vask.VaskCore", "CalendarSyncEngine");
    return instance;
}

std::int64_t wholeSeconds(CalendarEvent::Time time) {
    // duration_cast truncates toward zero, as the stored form asks.
    return std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
}

std::optional<std::int64_t> wholeSeconds(const std::optional<CalendarEvent::Time>& time) {
    return time ? std::optional<std::int64_t>(wholeSeconds(*time)) : std::nullopt;
}

std::optional<std::string> presentText(const std::optional<std::string>& value) {
    return value && !value->empty() ? value : std::nullopt;
}

std::optional<std::string> participantValue(const CalendarParticipant& participant) {
    if (const auto url = text::trimmed(participant.url); !url.empty()) {
        return std::string(url);
    }
    if (const auto name = text::trimmed(participant.name); !name.empty()) {
        return std::string(name);
    }
    return std::nullopt;
}

// A compact JSON array with every "/" written as "\/", the form the stored rows already use.
std::optional<std::string> participantsJSON(const std::vector<std::string>& values) {
    std::string json;
    try {
        json = nlohmann::json(values).dump();
    } catch (const nlohmann::json::exception& error) {
        logger().error(std::string("Calendar participants not stored: ") + error.what());
        return std::nullopt;
    }
    std::string escaped;
    escaped.reserve(json.size());
    for (const char c : json) {
        // Outside the strings a JSON array of strings holds no "/", so every one is inside one.
        if (c == '/') {
            escaped += '\\';
        }
        escaped += c;
    }
    return escaped;
}

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
    std::string result;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            result += separator;
        }
        result += parts[i];
    }
    return result;
}

}  // namespace

CalendarSyncError::CalendarSyncError(Case kind)
    : Error("Calendar permission was not granted."), kind_(kind) {}

struct CalendarSyncEngine::State {
    State(std::filesystem::path path, int back, int ahead,
          std::shared_ptr<CalendarEventStore> store, const Clock& clockValue)
        : shadowDBPath(std::move(path)),
          lookbackDays(std::max(back, 0)),
          lookaheadDays(std::max(ahead, 0)),
          eventStore(std::move(store)),
          clock(clockValue) {}

    const std::filesystem::path shadowDBPath;
    const int lookbackDays;
    const int lookaheadDays;
    const std::shared_ptr<CalendarEventStore> eventStore;
    const Clock& clock;

    // Throws what reading the calendar or writing the database throws.
    void performSync() const {
        const auto now = clock.now();
        const auto windowStart = now - lookbackDays * secondsPerDay;
        const auto windowEnd = now + lookaheadDays * secondsPerDay;
        std::vector<ShadowEvent> rows;
        for (const auto& event : eventStore->events(windowStart, windowEnd)) {
            if (auto row = makeShadowEvent(event)) {
                rows.push_back(std::move(*row));
            }
        }
        ShadowDB(shadowDBPath, ShadowDB::OpenMode::readWrite).replaceEvents(rows);
    }
};

CalendarSyncEngine::CalendarSyncEngine(const std::optional<std::filesystem::path>& shadowDBPath,
                                       int lookbackDays, int lookaheadDays,
                                       std::shared_ptr<CalendarEventStore> eventStore,
                                       const Clock& clock,
                                       std::shared_ptr<Executor> eventStoreQueue)
    : CoalescingSyncEngine(std::move(eventStoreQueue), queueLabel),
      state_(std::make_shared<State>(shadowDBPath ? *shadowDBPath : ShadowDB::defaultShadowDBPath(),
                                     lookbackDays, lookaheadDays, std::move(eventStore), clock)) {
    runWith([state = state_] { state->performSync(); },
            [](const std::exception& error) {
                logger().error(std::string("Calendar sync error (no handler): ") + error.what());
            });
}

CalendarSyncEngine::~CalendarSyncEngine() {
    stop();
    dropRunner();
    state_.reset();
}

const std::filesystem::path& CalendarSyncEngine::shadowDBPath() const {
    return state_->shadowDBPath;
}

int CalendarSyncEngine::lookbackDays() const {
    return state_->lookbackDays;
}

int CalendarSyncEngine::lookaheadDays() const {
    return state_->lookaheadDays;
}

CalendarAuthorizationStatus CalendarSyncEngine::authorizationStatus() const {
    return state_->eventStore->authorizationStatus();
}

bool CalendarSyncEngine::requestAccessIfNeeded() {
    const auto status = authorizationStatus();
    if (hasReadAccess(status)) {
        return true;
    }
    if (status != CalendarAuthorizationStatus::notDetermined &&
        status != CalendarAuthorizationStatus::writeOnly) {
        return false;
    }
    const auto result = awaitAccess([this](FolderAccessGrant::Completion completion) {
        state_->eventStore->requestFullAccessToEvents(std::move(completion));
    });
    if (result.error) {
        throw CalendarEventStoreError(CalendarEventStoreError::Case::accessRequestFailed,
                                      *result.error);
    }
    return result.granted;
}

void CalendarSyncEngine::start() {
    if (isStarted()) {
        return;
    }
    if (!requestAccessIfNeeded()) {
        throw CalendarSyncError(CalendarSyncError::Case::permissionDenied);
    }
    ShadowDB(state_->shadowDBPath, ShadowDB::OpenMode::readWrite).createSchemaIfNeeded();
    scheduleSync();
    changeObserver_ = state_->eventStore->observeChanges(changeHandler());
}

void CalendarSyncEngine::stop() {
    changeObserver_.cancel();
}

std::optional<ShadowEvent> CalendarSyncEngine::makeShadowEvent(const CalendarEvent& event) {
    if (event.calendarItemIdentifier.empty()) {
        return std::nullopt;
    }
    ShadowEvent row;
    row.startDate = wholeSeconds(event.startDate);
    row.endDate = wholeSeconds(event.endDate);
    row.id = event.recurrenceRules.empty()
                 ? event.calendarItemIdentifier
                 : event.calendarItemIdentifier + ":" + std::to_string(row.startDate);
    row.title = event.title && !event.title->empty() ? *event.title : "(No Title)";
    row.location = presentText(event.location);
    row.notes = presentText(event.notes);
    row.calendarName = presentText(std::optional<std::string>(event.calendarTitle));
    row.isAllDay = event.isAllDay;
    if (!event.recurrenceRules.empty()) {
        row.recurrenceRule = joined(event.recurrenceRules, "; ");
    }
    if (const auto values = participantValues(event); !values.empty()) {
        row.participants = participantsJSON(values);
    }
    row.createdAt = wholeSeconds(event.creationDate);
    row.modifiedAt = wholeSeconds(event.lastModifiedDate);
    return row;
}

std::vector<std::string> CalendarSyncEngine::participantValues(const CalendarEvent& event) {
    std::vector<std::string> values;
    auto add = [&values](const CalendarParticipant& participant) {
        if (auto value = participantValue(participant)) {
            values.push_back(std::move(*value));
        }
    };
    if (event.organizer) {
        add(*event.organizer);
    }
    std::for_each(event.attendees.begin(), event.attendees.end(), add);
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    return values;
}

}  // namespace vask
