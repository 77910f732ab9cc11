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

// What one file may still spend on expanding rules, and on the occurrences it yields.
struct Budget {
    const Limits& limits;
    SteadyClock::time_point deadline;
    std::size_t maxYieldBytes;
    std::size_t steps = 0;
    std::size_t yieldedBytes = 0;
    std::size_t occurrencesLeftOut = 0;
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

    void read(std::vector<CalendarEvent>& into) {
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
                overrides_[uid != nullptr ? uid : ""].push_back(event);
            } else {
                masters.push_back(event);
            }
        }
        for (auto* master : masters) {
            readMaster(master, into);
        }
        // Changed occurrences whose series is not in this calendar still happen.
        for (const auto& [uid, events] : overrides_) {
            for (auto* event : events) {
                if (!usedOverrides_.contains(event)) {
                    addSingle(event, describe(event), into);
                }
            }
        }
    }

  private:
    CalendarEvent describe(icalcomponent* event) const {
        const auto& identifier = identifiers_.at(event);
        return vask::describe(event, identifier, title_, [&](std::string_view property) {
            logger().error(
                "Calendar " + std::string(property) +
                " left out, it lies outside the years 1677 to 2262: " + placeOf(identifier));
        });
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

    // Each occurrence copies its event's texts, so the file's yield is bounded in bytes: a
    // rule over a long text could otherwise make a small file fill memory.
    bool mayYield(const CalendarEvent& occurrence) const {
        const auto bytes = occurrenceBytes(occurrence);
        if (bytes > budget_.maxYieldBytes - budget_.yieldedBytes) {
            ++budget_.occurrencesLeftOut;
            return false;
        }
        budget_.yieldedBytes += bytes;
        return true;
    }

    void addSingle(icalcomponent* event, CalendarEvent description,
                   std::vector<CalendarEvent>& into) {
        const auto start = secondsOf(icalcomponent_get_dtstart(event));
        if (!start) {
            return;
        }
        const auto end = secondsOf(icalcomponent_get_dtend(event)).value_or(*start);
        if (!range_.overlaps(*start, end)) {
            return;
        }
        if (!mayYield(description)) {
            return;
        }
        setDates(description, *start, end);
        into.push_back(std::move(description));
    }

    void readMaster(icalcomponent* master, std::vector<CalendarEvent>& into) {
        auto description = describe(master);
        description.recurrenceRules = ruleTexts(master);
        if (description.recurrenceRules.empty()) {
            addSingle(master, std::move(description), into);
            return;
        }
        const auto dtstart = icalcomponent_get_dtstart(master);
        if (!secondsOf(dtstart)) {
            return;
        }
        const auto duration = icalcomponent_get_duration(master);

        std::map<std::int64_t, icalcomponent*> replaced;
        const char* uid = icalcomponent_get_uid(master);
        if (const auto it = overrides_.find(uid != nullptr ? uid : "");
            uid != nullptr && it != overrides_.end()) {
            for (auto* event : it->second) {
                auto* property =
                    icalcomponent_get_first_property(event, ICAL_RECURRENCEID_PROPERTY);
                if (const auto original =
                        secondsOf(icalproperty_get_datetime_with_component(property, event))) {
                    replaced[*original] = event;
                }
            }
        }

        const auto starts =
            occurrenceStarts(master, description.calendarItemIdentifier, dtstart, duration);
        for (const auto& start : starts) {
            const auto seconds = *secondsOf(start);
            if (const auto it = replaced.find(seconds); it != replaced.end()) {
                usedOverrides_.insert(it->second);
                auto changed = describe(it->second);
                changed.recurrenceRules = description.recurrenceRules;
                addSingle(it->second, std::move(changed), into);
                continue;
            }
            const auto end = secondsOf(icaltime_add(start, duration)).value_or(seconds);
            if (!range_.overlaps(seconds, end)) {
                continue;
            }
            if (!mayYield(description)) {
                continue;
            }
            auto occurrence = description;
            setDates(occurrence, seconds, end);
            into.push_back(std::move(occurrence));
        }
        // An occurrence moved into the range from a start outside it is found by its own dates.
        for (const auto& [original, event] : replaced) {
            if (!usedOverrides_.contains(event)) {
                usedOverrides_.insert(event);
                auto changed = describe(event);
                changed.recurrenceRules = description.recurrenceRules;
                addSingle(event, std::move(changed), into);
            }
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
    std::map<std::string, std::vector<icalcomponent*>> overrides_;
    std::set<icalcomponent*> usedOverrides_;
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
    std::vector<CalendarEvent> events;
    std::size_t eventIndex = 0;
    for (auto* calendar : calendars) {
        CalendarReader(calendar, calendarName(calendar, title), range, identifier, eventIndex,
                       budget)
            .read(events);
    }
    if (budget.occurrencesLeftOut > 0) {
        logger().error("Calendar file yields at most " + std::to_string(maxYieldBytes) +
                       " bytes of events, " + std::to_string(budget.occurrencesLeftOut) +
                       " occurrences left out: " + identifier);
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const CalendarEvent& a, const CalendarEvent& b) {
                         return std::tie(a.startDate, a.calendarItemIdentifier) <
                                std::tie(b.startDate, b.calendarItemIdentifier);
                     });
    return events;
}

}  // namespace vask
