#pragma once

#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/executor.h"
#include "sources/calendar_event_store.h"
#include "sources/coalescing_sync_runner.h"
#include "store/shadow_event.h"

namespace vask {

class CalendarSyncError : public Error {
  public:
    enum class Case { permissionDenied };

    explicit CalendarSyncError(Case kind);
    Case kind() const { return kind_; }

  private:
    Case kind_;
};

// Copies the events of a window around the present (so many days back, so many ahead) from the
// calendar store into the shadow database's events table: the whole window at start, and again
// whenever the store reports a change. Every synchronisation replaces the table in one
// transaction and runs on the engine's serial queue; changes that arrive while one is queued or
// running fold into exactly one rerun after it.
//
// The application does not start this engine; an embedding program may.
//
class CalendarSyncEngine : public CoalescingSyncEngine {
  public:
    static constexpr std::string_view queueLabel = "ai.vask.calendar.eventstore";

    // An absent path means ShadowDB::defaultShadowDBPath() (which throws ShadowDB::Error when no
    // support directory can be named); negative day counts count as 0. Touches neither the
    // calendar nor the database. `eventStoreQueue` runs the synchronisations; absent, the engine
    // makes its own serial queue. A queue passed in must run its tasks one at a time.
    CalendarSyncEngine(const std::optional<std::filesystem::path>& shadowDBPath, int lookbackDays,
                       int lookaheadDays, std::shared_ptr<CalendarEventStore> eventStore,
                       const Clock& clock = Clock::system(),
                       std::shared_ptr<Executor> eventStoreQueue = nullptr);
    ~CalendarSyncEngine();

    const std::filesystem::path& shadowDBPath() const;
    int lookbackDays() const;
    int lookaheadDays() const;

    CalendarAuthorizationStatus authorizationStatus() const;
    // Whether full access to events is available, asking the user when the status is not
    // determined or write-only; restricted and denied are not asked again. Waits for the store's
    // answer. Throws CalendarEventStoreError (accessRequestFailed) when the request itself fails.
    bool requestAccessIfNeeded();

    // Obtains access, creates the shadow schema if needed, requests the first synchronisation and
    // listens for calendar changes. Does nothing when already started. Throws CalendarSyncError
    // (permissionDenied) without touching the database when access is not granted, and passes on
    // the errors of the access request and of preparing the database (ShadowDB::Error).
    void start();
    // Stops listening for changes; a synchronisation queued or running still finishes.
    void stop();

    // The row of one occurrence, or nothing for an event without an identifier. Occurrences of a
    // repeating event get the identifier followed by ":" and their start in whole seconds.
    static std::optional<ShadowEvent> makeShadowEvent(const CalendarEvent& event);
    // The organizer and attendees by address (else by name), each once, sorted.
    static std::vector<std::string> participantValues(const CalendarEvent& event);

  private:
    struct State;

    std::shared_ptr<const State> state_;
};

}  // namespace vask
