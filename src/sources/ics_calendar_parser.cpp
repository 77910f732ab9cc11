#include "sources/ics_calendar_parser.h"

#include <libical/ical.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>

#include "platform/logger.h"
#include "platform/text.h"
#include "sources/text_decoding.h"

namespace vask {
namespace {

using Time = CalendarEvent::Time;
using Limits = IcsCalendarParser::Limits;
using SteadyClock = std::chrono::steady_clock;

// A rule that repeats more often than this is not something a calendar shows, and libical may
// spend unbounded time inside one step of it when its other parts can never match.
constexpr std::int64_t finestRuleSpacingSeconds = 3600;

// Events cut short by a file's bound are logged one by one up to this many, then counted.
constexpr std::size_t kMaxEventsLoggedAsCut = 50;

// What one file may still spend on expanding rules, and on the occurrences it yields.
struct Budget {
    const Limits& limits;
    SteadyClock::time_point deadline;
    std::size_t maxYieldBytes;
    std::size_t steps = 0;
};

// The time points hold nanoseconds in 64 bits: the years 1677 to 2262.
constexpr std::int64_t earliestSeconds =
    std::chrono::duration_cast<std::chrono::seconds>(Time::duration::min()).count();
constexpr std::int64_t latestSeconds =
    std::chrono::duration_cast<std::chrono::seconds>(Time::duration::max()).count();

const Logger& logger() {
    static const Logger instance("ai.vask.VaskCore", "ics-calendar");
    return instance;
}

struct ComponentDeleter {
    void operator()(icalcomponent* component) const { icalcomponent_free(component); }
};
using ComponentPtr = std::unique_ptr<icalcomponent, ComponentDeleter>;

struct BufferDeleter {
    void operator()(char* buffer) const { icalmemory_free_buffer(buffer); }
};
using BufferPtr = std::unique_ptr<char, BufferDeleter>;

struct IteratorDeleter {
    void operator()(icalrecur_iterator* iterator) const { icalrecur_iterator_free(iterator); }
};
using IteratorPtr = std::unique_ptr<icalrecur_iterator, IteratorDeleter>;

void configureLibrary() {
    static std::once_flag once;
    // Malformed input must come back as an error value, never abort the process.
    std::call_once(once, [] { icalerror_set_errors_are_fatal(0); });
}

std::optional<std::string> nonEmpty(const char* value) {
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    return text::toValidUtf8(value);
}

// Seconds since 1970. Dates and floating times are the local wall clock's.
std::optional<std::int64_t> secondsOf(const icaltimetype& time) {
    if (icaltime_is_null_time(time) || !icaltime_is_valid_time(time)) {
        return std::nullopt;
    }
    if (time.is_date || time.zone == nullptr) {
        std::tm local{};
        local.tm_year = time.year - 1900;
        local.tm_mon = time.month - 1;
        local.tm_mday = time.day;
        local.tm_hour = time.is_date ? 0 : time.hour;
        local.tm_min = time.is_date ? 0 : time.minute;
        local.tm_sec = time.is_date ? 0 : time.second;
        local.tm_isdst = -1;
        return static_cast<std::int64_t>(std::mktime(&local));
    }
    // The zone argument names the zone the time is written in; the result is always UTC.
    return static_cast<std::int64_t>(icaltime_as_timet_with_zone(time, time.zone));
}

bool isRepresentable(std::int64_t seconds) {
    return seconds >= earliestSeconds && seconds <= latestSeconds;
}

// Callers check isRepresentable first where an unrepresentable time must be told apart; a time
// beyond the range otherwise becomes its nearest end.
Time timeOf(std::int64_t seconds) {
    return Time(std::chrono::seconds(std::clamp(seconds, earliestSeconds, latestSeconds)));
}

// What an occurrence holds: its own fixed size and the texts copied into each one.
std::size_t occurrenceBytes(const CalendarEvent& event) {
    const auto optionalSize = [](const std::optional<std::string>& text) {
        return text ? text->size() : 0;
    };
    std::size_t bytes = sizeof(CalendarEvent) + event.calendarItemIdentifier.size() +
                        optionalSize(event.title) + optionalSize(event.location) +
                        optionalSize(event.notes) + event.calendarTitle.size();
    for (const auto& rule : event.recurrenceRules) {
        bytes += sizeof(std::string) + rule.size();
    }
    if (event.organizer) {
        bytes += event.organizer->url.size() + event.organizer->name.size();
    }
    for (const auto& attendee : event.attendees) {
        bytes += sizeof(attendee) + attendee.url.size() + attendee.name.size();
    }
    return bytes;
}

// The properties are gathered before any is visited: libical keeps one property cursor per
// component, and reading the component inside the visit (its UID, say) would move it.
template <typename Visit>
void forEachProperty(icalcomponent* component, icalproperty_kind kind, Visit visit) {
    std::vector<icalproperty*> properties;
    for (auto* property = icalcomponent_get_first_property(component, kind); property != nullptr;
         property = icalcomponent_get_next_property(component, kind)) {
        properties.push_back(property);
    }
    for (auto* property : properties) {
        visit(property);
    }
}

// The shortest time between two starts the rule's frequency and interval allow; nothing for a
// rule without a frequency.
std::optional<std::int64_t> ruleSpacingSeconds(const icalrecurrencetype& rule) {
    std::int64_t unit = 0;
    switch (rule.freq) {
        case ICAL_SECONDLY_RECURRENCE:
            unit = 1;
            break;
        case ICAL_MINUTELY_RECURRENCE:
            unit = 60;
            break;
        case ICAL_HOURLY_RECURRENCE:
            unit = 3600;
            break;
        case ICAL_DAILY_RECURRENCE:
            unit = 86400;
            break;
        case ICAL_WEEKLY_RECURRENCE:
            unit = std::int64_t{7} * 86400;
            break;
        case ICAL_MONTHLY_RECURRENCE:
            unit = std::int64_t{28} * 86400;
            break;
        case ICAL_YEARLY_RECURRENCE:
            unit = std::int64_t{365} * 86400;
            break;
        default:
            return std::nullopt;
    }
    return unit * std::max<std::int64_t>(1, rule.interval);
}

CalendarParticipant participant(icalproperty* property, const char* address) {
    CalendarParticipant result;
    result.url = address != nullptr ? address : "";
    if (auto* cn = icalproperty_get_first_parameter(property, ICAL_CN_PARAMETER)) {
        if (const char* name = icalparameter_get_cn(cn)) {
            result.name = name;
        }
    }
    return result;
}

// The series' rules in their iCalendar text: each RRULE, and each RDATE line, so that a series
// made only of extra dates still reads as repeating.
std::vector<std::string> ruleTexts(icalcomponent* event) {
    std::vector<std::string> rules;
    forEachProperty(event, ICAL_RRULE_PROPERTY, [&](icalproperty* property) {
        auto rule = icalproperty_get_rrule(property);
        const BufferPtr text(icalrecurrencetype_as_string_r(&rule));
        if (text && *text != '\0') {
            rules.emplace_back(text.get());
        }
    });
    forEachProperty(event, ICAL_RDATE_PROPERTY, [&](icalproperty* property) {
        const BufferPtr text(icalproperty_as_ical_string_r(property));
        if (text) {
            auto line = text::trimmed(text.get());
            if (!line.empty()) {
                rules.emplace_back(line);
            }
        }
    });
    return rules;
}

// What an event says about itself, apart from when it happens. A creation or change date that
// cannot be represented is left out, logged as `refused(property)`.
template <typename Refused>
CalendarEvent describe(icalcomponent* event, const std::string& identifier,
                       const std::string& calendarTitle, Refused refused) {
    CalendarEvent result;
    result.calendarItemIdentifier = identifier;
    result.title = nonEmpty(icalcomponent_get_summary(event));
    result.location = nonEmpty(icalcomponent_get_location(event));
    result.notes = nonEmpty(icalcomponent_get_description(event));
    result.calendarTitle = calendarTitle;
    result.isAllDay = icalcomponent_get_dtstart(event).is_date != 0;
    if (auto* organizer = icalcomponent_get_first_property(event, ICAL_ORGANIZER_PROPERTY)) {
        result.organizer = participant(organizer, icalproperty_get_organizer(organizer));
    }
    forEachProperty(event, ICAL_ATTENDEE_PROPERTY, [&](icalproperty* property) {
        result.attendees.push_back(participant(property, icalproperty_get_attendee(property)));
    });
    const auto optionalTime = [&](const icaltimetype& time, std::string_view property) {
        const auto seconds = secondsOf(time);
        if (seconds && !isRepresentable(*seconds)) {
            refused(property);
            return std::optional<Time>();
        }
        return seconds ? std::optional<Time>(timeOf(*seconds)) : std::nullopt;
    };
    if (auto* created = icalcomponent_get_first_property(event, ICAL_CREATED_PROPERTY)) {
        result.creationDate = optionalTime(icalproperty_get_created(created), "CREATED");
    }
    if (auto* modified = icalcomponent_get_first_property(event, ICAL_LASTMODIFIED_PROPERTY)) {
        result.lastModifiedDate =
            optionalTime(icalproperty_get_lastmodified(modified), "LAST-MODIFIED");
    }
    return result;
}

struct Range {
    std::int64_t start;
    std::int64_t end;

    bool overlaps(std::int64_t from, std::int64_t to) const {
        return from <= end && std::max(from, to) >= start;
    }
};

// How many values a BY list of a rule holds.
template <std::size_t N>
std::size_t listSize(const short (&values)[N]) {
    std::size_t count = 0;
    while (count < N && values[count] != ICAL_RECURRENCE_ARRAY_MAX) {
        ++count;
    }
    return count;
}

// Whether an observance rule of a time zone changes the offset more often than daily. libical
// expands a zone's observances from their first start to the year 2037 the first time a time in
// the zone is converted, with no bound of its own: an observance that repeats every minute would
// never finish.
bool changesMoreOftenThanDaily(const icalrecurrencetype& rule) {
    const auto spacing = ruleSpacingSeconds(rule);
    if (spacing && *spacing < 86400) {
        return true;
    }
    return listSize(rule.by_hour) * listSize(rule.by_minute) * listSize(rule.by_second) > 1 ||
           listSize(rule.by_hour) > 1 || listSize(rule.by_minute) > 1 ||
           listSize(rule.by_second) > 1;
}

// Removes the time zones of `calendar` whose observances repeat more often than daily, before
// any time is converted through them; times in such a zone are then read as floating. No real
// zone changes its offset more than a few times a year.
void refuseRunawayTimeZones(icalcomponent* calendar, std::string_view place) {
    std::vector<icalcomponent*> refused;
    for (auto* zone = icalcomponent_get_first_component(calendar, ICAL_VTIMEZONE_COMPONENT);
         zone != nullptr;
         zone = icalcomponent_get_next_component(calendar, ICAL_VTIMEZONE_COMPONENT)) {
        bool runaway = false;
        for (auto* observance = icalcomponent_get_first_component(zone, ICAL_ANY_COMPONENT);
             observance != nullptr && !runaway;
             observance = icalcomponent_get_next_component(zone, ICAL_ANY_COMPONENT)) {
            forEachProperty(observance, ICAL_RRULE_PROPERTY, [&](icalproperty* property) {
                runaway = runaway || changesMoreOftenThanDaily(icalproperty_get_rrule(property));
            });
        }
        if (runaway) {
            refused.push_back(zone);
        }
    }
    for (auto* zone : refused) {
        const auto* tzid = icalcomponent_get_first_property(zone, ICAL_TZID_PROPERTY);
        const char* name = tzid != nullptr ? icalproperty_get_tzid(tzid) : nullptr;
        logger().error("Calendar time zone " + text::toValidUtf8(name != nullptr ? name : "") +
                       " refused, its offset changes more often than daily; its times are read "
                       "as local: " +
                       std::string(place));
        icalcomponent_remove_component(calendar, zone);
        icalcomponent_free(zone);
    }
}

// One occurrence an event may yield: when, in place of which changed occurrence (if any), and
// what it holds in memory.
struct Slot {
    std::int64_t start;
    std::int64_t end;
    icalcomponent* changed;
    std::size_t bytes;
};

// An event (a series, or an event on its own) and the occurrences it may yield, in order.
struct PlannedEvent {
    icalcomponent* component;
    std::vector<Slot> slots;
    // Whether the occurrences carry the event's rules.
    bool series = false;
    std::size_t kept = 0;
};

// The occurrences of a file are bounded in bytes; the bound is shared fairly: every event keeps
// its first occurrence before any keeps a second, and so on (round by round), so that a few
// long series cannot starve the rest of a file. Returns the bytes yielded.
std::size_t shareYield(std::vector<PlannedEvent>& events, std::size_t maxBytes) {
    std::size_t yielded = 0;
    std::vector<PlannedEvent*> active;
    for (auto& event : events) {
        if (!event.slots.empty()) {
            active.push_back(&event);
        }
    }
    while (!active.empty()) {
        std::vector<PlannedEvent*> next;
        for (auto* event : active) {
            const auto bytes = event->slots[event->kept].bytes;
            if (bytes > maxBytes - yielded) {
                continue;  // this event keeps what it has
            }
            yielded += bytes;
            if (++event->kept < event->slots.size()) {
                next.push_back(event);
            }
        }
        active = std::move(next);
    }
    return yielded;
}

class CalendarReader {
  public:
    CalendarReader(icalcomponent* calendar, std::string title, Range range,
                   std::string_view fallbackIdentifier, std::size_t& eventIndex, Budget& budget)
        : calendar_(calendar),
          title_(std::move(title)),
          range_(range),
          fallbackIdentifier_(fallbackIdentifier),
          eventIndex_(eventIndex),
          budget_(budget) {}

    // The events of the calendar and the occurrences each may yield, before the file's bound is
    // applied.
    void plan(std::vector<PlannedEvent>& into) {
        refuseRunawayTimeZones(calendar_, fallbackIdentifier_);
        std::vector<icalcomponent*> masters;
        for (auto* event = icalcomponent_get_first_component(calendar_, ICAL_VEVENT_COMPONENT);
             event != nullptr;
             event = icalcomponent_get_next_component(calendar_, ICAL_VEVENT_COMPONENT)) {
            const char* uid = icalcomponent_get_uid(event);
            auto identifier = uid != nullptr ? text::toValidUtf8(uid) : std::string();
            if (identifier.empty()) {
                identifier = eventIndex_ == 0 ? std::string(fallbackIdentifier_)
                                              : std::string(fallbackIdentifier_) + "#" +
                                                    std::to_string(eventIndex_);
            }
            ++eventIndex_;
            identifiers_[event] = identifier;
            if (icalcomponent_get_first_property(event, ICAL_RECURRENCEID_PROPERTY) != nullptr) {
                overrides_[uid != nullptr ? uid : ""].events.push_back(event);
            } else {
                masters.push_back(event);
            }
        }
        for (auto* master : masters) {
            planMaster(master, into);
        }
        // Changed occurrences whose series is not in this calendar still happen.
        for (auto& [uid, changes] : overrides_) {
            if (changes.claimed) {
                continue;
            }
            for (auto* event : changes.events) {
                planSingle(event, measure(event, {}), into);
            }
        }
    }

    // The occurrences the event keeps, in `into`; what it leaves out is logged by the caller.
    void yield(const PlannedEvent& event, std::vector<CalendarEvent>& into) {
        if (event.kept == 0) {
            return;
        }
        auto description = describe(event.component, true);
        if (event.series) {
            description.recurrenceRules = ruleTexts(event.component);
        }
        for (std::size_t i = 0; i < event.kept; ++i) {
            const auto& slot = event.slots[i];
            if (slot.changed != nullptr && slot.changed != event.component) {
                auto changed = describe(slot.changed, true);
                changed.recurrenceRules = description.recurrenceRules;
                setDates(changed, slot.start, slot.end);
                into.push_back(std::move(changed));
                continue;
            }
            auto occurrence = i + 1 == event.kept ? std::move(description) : description;
            setDates(occurrence, slot.start, slot.end);
            into.push_back(std::move(occurrence));
        }
    }

    const std::string& identifierOf(icalcomponent* event) const { return identifiers_.at(event); }

  private:
    // The changed occurrences of one UID; the first series of that UID claims them.
    struct Changes {
        std::vector<icalcomponent*> events;
        bool claimed = false;
    };

    CalendarEvent describe(icalcomponent* event, bool logRefused) const {
        const auto& identifier = identifiers_.at(event);
        return vask::describe(event, identifier, title_, [&](std::string_view property) {
            if (logRefused) {
                logger().error(
                    "Calendar " + std::string(property) +
                    " left out, it lies outside the years 1677 to 2262: " + placeOf(identifier));
            }
        });
    }

    // What each occurrence of `event` holds, with the series' rules.
    std::size_t measure(icalcomponent* event, const std::vector<std::string>& rules) const {
        auto description = describe(event, false);
        description.recurrenceRules = rules;
        return occurrenceBytes(description);
    }

    // The file and, when the event has its own identifier, the event.
    std::string placeOf(const std::string& identifier) const {
        if (identifier.starts_with(fallbackIdentifier_)) {
            return identifier;
        }
        return std::string(fallbackIdentifier_) + " " + identifier;
    }

    // Start and end as time points; an end beyond the years that can be represented becomes the
    // last one that can, a start before them the first.
    void setDates(CalendarEvent& occurrence, std::int64_t start, std::int64_t end) {
        // Once per event, not once per occurrence of a series.
        if ((!isRepresentable(start) || !isRepresentable(end)) &&
            clampedEvents_.insert(occurrence.calendarItemIdentifier).second) {
            logger().error("Calendar event dates outside the years 1677 to 2262 are clamped: " +
                           placeOf(occurrence.calendarItemIdentifier));
        }
        occurrence.startDate = timeOf(start);
        occurrence.endDate = timeOf(std::max(start, end));
    }

    // The occurrence of an event that does not repeat (or of one changed occurrence), when it
    // touches the range.
    std::optional<Slot> singleSlot(icalcomponent* event, std::size_t bytes) const {
        const auto start = secondsOf(icalcomponent_get_dtstart(event));
        if (!start) {
            return std::nullopt;
        }
        const auto end = secondsOf(icalcomponent_get_dtend(event)).value_or(*start);
        if (!range_.overlaps(*start, end)) {
            return std::nullopt;
        }
        return Slot{*start, end, event, bytes};
    }

    void planSingle(icalcomponent* event, std::size_t bytes, std::vector<PlannedEvent>& into) {
        if (auto slot = singleSlot(event, bytes)) {
            into.push_back(PlannedEvent{event, {*slot}});
        }
    }

    void planMaster(icalcomponent* master, std::vector<PlannedEvent>& into) {
        const auto rules = ruleTexts(master);
        const auto bytes = measure(master, rules);
        if (rules.empty()) {
            planSingle(master, bytes, into);
            return;
        }
        const auto dtstart = icalcomponent_get_dtstart(master);
        if (!secondsOf(dtstart)) {
            return;
        }
        const auto duration = icalcomponent_get_duration(master);

        // The changed occurrences of the series, by the start they replace. They are read once
        // per UID, by its first series: many series and changes sharing one UID cost no more
        // than as many separate events.
        std::map<std::int64_t, icalcomponent*> replaced;
        const char* uid = icalcomponent_get_uid(master);
        if (const auto it = overrides_.find(uid != nullptr ? uid : "");
            uid != nullptr && it != overrides_.end() && !it->second.claimed) {
            it->second.claimed = true;
            for (auto* event : it->second.events) {
                auto* property =
                    icalcomponent_get_first_property(event, ICAL_RECURRENCEID_PROPERTY);
                if (const auto original =
                        secondsOf(icalproperty_get_datetime_with_component(property, event))) {
                    replaced[*original] = event;
                } else {
                    // Changed, but not saying which occurrence: on its own dates.
                    planSingle(event, measure(event, rules), into);
                }
            }
        }

        PlannedEvent planned{master, {}, true};
        std::set<icalcomponent*> used;
        const auto starts = occurrenceStarts(master, identifiers_.at(master), dtstart, duration);
        for (const auto& start : starts) {
            const auto seconds = *secondsOf(start);
            if (const auto it = replaced.find(seconds); it != replaced.end()) {
                used.insert(it->second);
                if (auto slot = singleSlot(it->second, measure(it->second, rules))) {
                    planned.slots.push_back(*slot);
                }
                continue;
            }
            const auto end = secondsOf(icaltime_add(start, duration)).value_or(seconds);
            if (range_.overlaps(seconds, end)) {
                planned.slots.push_back(Slot{seconds, end, nullptr, bytes});
            }
        }
        // An occurrence moved into the range from a start outside it is found by its own dates.
        for (const auto& [original, event] : replaced) {
            if (!used.contains(event)) {
                if (auto slot = singleSlot(event, measure(event, rules))) {
                    planned.slots.push_back(*slot);
                }
            }
        }
        if (!planned.slots.empty()) {
            into.push_back(std::move(planned));
        }
    }

    // Every start of the series that may touch the range (the caller checks each against it),
    // without excluded dates, each once, at most the per-event cap.
    std::vector<icaltimetype> occurrenceStarts(icalcomponent* master, const std::string& identifier,
                                               const icaltimetype& dtstart,
                                               const icaldurationtype& duration) const {
        const auto& limits = budget_.limits;
        std::set<std::int64_t> excludedTimes;
        std::set<std::tuple<int, int, int>> excludedDates;
        forEachProperty(master, ICAL_EXDATE_PROPERTY, [&](icalproperty* property) {
            const auto excluded = icalproperty_get_datetime_with_component(property, master);
            if (excluded.is_date) {
                excludedDates.emplace(excluded.year, excluded.month, excluded.day);
            } else if (const auto seconds = secondsOf(excluded)) {
                excludedTimes.insert(*seconds);
            }
        });

        std::set<std::int64_t> seen;
        std::vector<icaltimetype> starts;
        bool capped = false;
        auto consider = [&](const icaltimetype& start) {
            const auto seconds = secondsOf(start);
            if (!seconds || excludedTimes.contains(*seconds) ||
                excludedDates.contains({start.year, start.month, start.day}) ||
                seen.contains(*seconds)) {
                return;
            }
            const auto end = secondsOf(icaltime_add(start, duration)).value_or(*seconds);
            if (!range_.overlaps(*seconds, end)) {
                return;
            }
            if (starts.size() >= limits.maxOccurrencesPerEvent) {
                capped = true;
                return;
            }
            seen.insert(*seconds);
            starts.push_back(start);
        };

        // The first start counts even when the rule would not produce it.
        consider(dtstart);
        std::vector<icalrecurrencetype> rules;
        forEachProperty(master, ICAL_RRULE_PROPERTY, [&](icalproperty* property) {
            rules.push_back(icalproperty_get_rrule(property));
        });
        for (const auto& rule : rules) {
            const auto spacing = ruleSpacingSeconds(rule);
            if (!spacing || *spacing < finestRuleSpacingSeconds ||
                (range_.end - range_.start) / *spacing >
                    static_cast<std::int64_t>(limits.maxOccurrencesPerEvent)) {
                logger().error("Calendar rule skipped, it repeats more often than can be shown: " +
                               identifier);
                continue;
            }
            const IteratorPtr iterator(icalrecur_iterator_new(rule, dtstart));
            if (!iterator) {
                logger().error("Calendar rule cannot be expanded: " + identifier);
                continue;
            }
            const auto ruleDeadline =
                std::min(budget_.deadline, SteadyClock::now() + limits.maxTimePerRule);
            for (std::size_t step = 0; !capped; ++step) {
                if (step == limits.maxStepsPerRule || budget_.steps >= limits.maxStepsPerFile ||
                    SteadyClock::now() >= ruleDeadline) {
                    logger().error("Calendar rule expansion stopped after " + std::to_string(step) +
                                   " steps: " + identifier);
                    break;
                }
                ++budget_.steps;
                const auto next = icalrecur_iterator_next(iterator.get());
                const auto seconds = secondsOf(next);
                if (!seconds || *seconds > range_.end) {
                    break;
                }
                consider(next);
            }
        }
        forEachProperty(master, ICAL_RDATE_PROPERTY, [&](icalproperty* property) {
            consider(icalproperty_get_datetime_with_component(property, master));
        });
        if (capped) {
            logger().error("Calendar event keeps its first " +
                           std::to_string(limits.maxOccurrencesPerEvent) +
                           " occurrences: " + identifier);
        }
        return starts;
    }

    icalcomponent* calendar_;
    std::string title_;
    Range range_;
    std::string_view fallbackIdentifier_;
    std::size_t& eventIndex_;
    Budget& budget_;
    std::map<icalcomponent*, std::string> identifiers_;
    std::unordered_map<std::string, Changes> overrides_;
    std::set<std::string> clampedEvents_;
};

std::string calendarName(icalcomponent* calendar, std::string_view fallback) {
    for (auto* property = icalcomponent_get_first_property(calendar, ICAL_X_PROPERTY);
         property != nullptr;
         property = icalcomponent_get_next_property(calendar, ICAL_X_PROPERTY)) {
        const char* name = icalproperty_get_x_name(property);
        if (name != nullptr && std::string_view(name) == "X-WR-CALNAME") {
            if (auto value = nonEmpty(icalproperty_get_x(property))) {
                return *value;
            }
        }
    }
    return std::string(fallback);
}

}  // namespace

std::vector<CalendarEvent> IcsCalendarParser::occurrences(std::string_view text,
                                                          std::string_view calendarTitle,
                                                          Time rangeStart, Time rangeEnd,
                                                          std::string_view fallbackIdentifier,
                                                          const Limits& limits) {
    configureLibrary();
    const auto scaledYieldBytes =
        limits.yieldBytesPerFileByte != 0 &&
                text.size() > std::numeric_limits<std::size_t>::max() / limits.yieldBytesPerFileByte
            ? std::numeric_limits<std::size_t>::max()
            : text.size() * limits.yieldBytesPerFileByte;
    const auto maxYieldBytes = std::max(limits.minYieldBytesPerFile, scaledYieldBytes);
    Budget budget{limits, SteadyClock::now() + limits.maxTimePerFile, maxYieldBytes};
    auto copy = TextDecoding::utf8(text);
    if (!copy) {
        copy = TextDecoding::detected(text);
    }
    if (!copy) {
        copy = text::toValidUtf8(text);
    }
    const ComponentPtr root(icalparser_parse_string(copy->c_str()));
    // The parsed tree holds all it needs; the text need not outlive it through the expansion.
    copy.reset();
    if (!root) {
        return {};
    }
    std::vector<icalcomponent*> calendars;
    if (icalcomponent_isa(root.get()) == ICAL_VCALENDAR_COMPONENT) {
        calendars.push_back(root.get());
    } else if (icalcomponent_isa(root.get()) == ICAL_XROOT_COMPONENT) {
        for (auto* calendar =
                 icalcomponent_get_first_component(root.get(), ICAL_VCALENDAR_COMPONENT);
             calendar != nullptr;
             calendar = icalcomponent_get_next_component(root.get(), ICAL_VCALENDAR_COMPONENT)) {
            calendars.push_back(calendar);
        }
    }
    const Range range{
        std::chrono::duration_cast<std::chrono::seconds>(rangeStart.time_since_epoch()).count(),
        std::chrono::duration_cast<std::chrono::seconds>(rangeEnd.time_since_epoch()).count()};
    // Both come from file names, which may hold any bytes.
    const auto title = text::toValidUtf8(calendarTitle);
    const auto identifier = text::toValidUtf8(fallbackIdentifier);
    std::size_t eventIndex = 0;
    // Readers stay alive until the end: their events point into the parsed tree.
    std::vector<std::unique_ptr<CalendarReader>> readers;
    std::vector<std::pair<CalendarReader*, std::size_t>> firstEventOfReader;
    std::vector<PlannedEvent> planned;
    for (auto* calendar : calendars) {
        readers.push_back(std::make_unique<CalendarReader>(calendar, calendarName(calendar, title),
                                                           range, identifier, eventIndex, budget));
        firstEventOfReader.emplace_back(readers.back().get(), planned.size());
        readers.back()->plan(planned);
    }
    shareYield(planned, maxYieldBytes);
    std::vector<CalendarEvent> events;
    std::size_t kept = 0;
    for (const auto& event : planned) {
        kept += event.kept;
    }
    events.reserve(kept);
    std::size_t eventsCut = 0;
    std::size_t occurrencesLeftOut = 0;
    for (std::size_t r = 0; r < firstEventOfReader.size(); ++r) {
        auto* reader = firstEventOfReader[r].first;
        const auto end =
            r + 1 < firstEventOfReader.size() ? firstEventOfReader[r + 1].second : planned.size();
        for (auto i = firstEventOfReader[r].second; i < end; ++i) {
            auto& event = planned[i];
            reader->yield(event, events);
            if (event.kept == event.slots.size()) {
                continue;
            }
            occurrencesLeftOut += event.slots.size() - event.kept;
            // One line per event, up to a point: a hostile file may hold a million events.
            if (++eventsCut <= kMaxEventsLoggedAsCut) {
                logger().error("Calendar event keeps " + std::to_string(event.kept) + " of its " +
                               std::to_string(event.slots.size()) +
                               " occurrences in the range, the file yields at most " +
                               std::to_string(maxYieldBytes) + " bytes of events: " + identifier +
                               " " + reader->identifierOf(event.component));
            }
            event.slots = {};
        }
    }
    if (occurrencesLeftOut > 0) {
        logger().error("Calendar file yields at most " + std::to_string(maxYieldBytes) +
                       " bytes of events, " + std::to_string(occurrencesLeftOut) +
                       " occurrences of " + std::to_string(eventsCut) +
                       " events left out: " + identifier);
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const CalendarEvent& a, const CalendarEvent& b) {
                         return std::tie(a.startDate, a.calendarItemIdentifier) <
                                std::tie(b.startDate, b.calendarItemIdentifier);
                     });
    return events;
}

}  // namespace vask
