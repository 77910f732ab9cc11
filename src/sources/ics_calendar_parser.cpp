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
#include <utility>

#include "platform/logger.h"
#include "platform/text.h"
#include "sources/decoding/text_decoding.h"

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

// The occurrences a file may plan at least (32 bytes each), whatever its size.
constexpr std::size_t kMinPlannedSlots = 65'536;

// What one file may still spend on expanding rules, and on the occurrences it yields.
struct Budget {
    const Limits& limits;
    SteadyClock::time_point deadline;
    std::size_t maxYieldBytes;
    // How many occurrences the file may plan, how many it has, and how many each event may.
    std::size_t maxPlannedSlots;
    std::size_t steps = 0;
    std::size_t plannedSlots = 0;
    std::size_t slotsPerEvent = std::numeric_limits<std::size_t>::max();
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

// "2024-10-27" for a time in UTC.
std::string utcDate(std::int64_t seconds) {
    const auto day = std::chrono::year_month_day(std::chrono::floor<std::chrono::days>(
        std::chrono::sys_seconds(std::chrono::seconds(seconds))));
    const auto two = [](unsigned value) { return (value < 10 ? "0" : "") + std::to_string(value); };
    return std::to_string(static_cast<int>(day.year())) + "-" +
           two(static_cast<unsigned>(day.month())) + "-" + two(static_cast<unsigned>(day.day()));
}

bool isCancelled(icalcomponent* event) {
    return icalcomponent_get_status(event) == ICAL_STATUS_CANCELLED;
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

// Whether a time zone's observances repeat more often than daily. No real zone changes its
// offset more than a few times a year.
bool changesMoreOftenThanDaily(icalcomponent* zone) {
    bool runaway = false;
    for (auto* observance = icalcomponent_get_first_component(zone, ICAL_ANY_COMPONENT);
         observance != nullptr && !runaway;
         observance = icalcomponent_get_next_component(zone, ICAL_ANY_COMPONENT)) {
        forEachProperty(observance, ICAL_RRULE_PROPERTY, [&](icalproperty* property) {
            runaway = runaway || changesMoreOftenThanDaily(icalproperty_get_rrule(property));
        });
    }
    return runaway;
}

// Whether `name` has the form of a zone of the time-zone database ("Europe/Berlin", "UTC",
// "America/Argentina/Buenos_Aires", libical's "/freeassociation.sourceforge.net/Europe/Berlin"):
// only such a name is looked up there, so that no other text becomes a path to a file.
bool isZoneDatabaseName(std::string_view name) {
    constexpr std::string_view kLibicalPrefix = "/freeassociation.sourceforge.net/";
    if (name.starts_with(kLibicalPrefix)) {
        name.remove_prefix(kLibicalPrefix.size());
    }
    if (name.empty() || name.size() > 64) {
        return false;
    }
    std::size_t partStart = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '/') {
            const auto part = name.substr(partStart, i - partStart);
            if (part.empty() || part.front() == '.' || part.front() == '-') {
                return false;
            }
            partStart = i + 1;
            continue;
        }
        const char c = name[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-' || c == '+')) {
            return false;
        }
    }
    return true;
}

// Where one component (a time zone, an event) lies in a calendar's text.
struct Span {
    std::size_t begin;
    std::size_t end;
};

// A calendar of the text, as the spans of its components: its time zones and its events, in file
// order. Other components (tasks, journal entries) are not read.
struct CalendarText {
    // Its first X-WR-CALNAME line that has a value, as written (folds and line end included).
    std::string nameLine;
    std::vector<Span> zones;
    std::vector<Span> events;
};

// How much of a content line's unfolded start is looked at: enough for any name this reader
// tells apart, and for the value of a BEGIN or END line.
constexpr std::size_t kHeadBytes = 64;

// A real calendar's time zones are a few kilobytes; past this many bytes of them, the rest are
// refused (and their times read as local ones) rather than held in libical's tree.
constexpr std::size_t kMaxTimeZoneBytes = std::size_t{256} * 1024;

// Lines of one repeatable property (RRULE, RDATE, EXDATE, ATTENDEE) an event hands to libical;
// a real event has a handful, and libical holds a short line many times over.
constexpr std::size_t kMaxRepeatedLines = 2000;

// The content lines of iCalendar text, unfolded: `visit(head, span)` for each, where `head` is
// the start of the unfolded line (up to kHeadBytes, its line end left out) and `span` covers its
// physical lines, folds and line end included. Lines end at LF, as libical reads them (a CR
// before it is part of the line end); a line that starts with a blank or a tab continues the one
// before it.
template <typename Visit>
void forEachContentLine(std::string_view text, std::size_t offset, Visit visit) {
    std::string head;
    std::size_t lineStart = 0;
    bool open = false;
    for (std::size_t at = 0; at < text.size();) {
        const auto newline = text.find('\n', at);
        const auto end = newline == std::string_view::npos ? text.size() : newline + 1;
        auto content = text.substr(at, end - at);
        while (!content.empty() && (content.back() == '\n' || content.back() == '\r')) {
            content.remove_suffix(1);
        }
        if (open && !content.empty() && (content.front() == ' ' || content.front() == '\t')) {
            if (head.size() < kHeadBytes) {
                head.append(content.substr(1, kHeadBytes - head.size()));
            }
        } else {
            if (open) {
                visit(std::string_view(head), Span{offset + lineStart, offset + at});
            }
            lineStart = at;
            head.assign(content.substr(0, kHeadBytes));
            open = true;
        }
        at = end;
    }
    if (open) {
        visit(std::string_view(head), Span{offset + lineStart, offset + text.size()});
    }
}

// A content line's name (before its parameters and value) and, for BEGIN and END, its value.
struct LineHead {
    std::string name;
    std::string value;
};

LineHead lineHead(std::string_view head) {
    const auto nameEnd = std::min(head.find_first_of(";:"), head.size());
    LineHead result{text::asciiLowered(head.substr(0, nameEnd)), {}};
    if (const auto colon = head.find(':');
        colon != std::string_view::npos && (result.name == "begin" || result.name == "end")) {
        result.value = text::asciiLowered(text::trimmed(head.substr(colon + 1)));
    }
    return result;
}

// Components that stand only at the top of a calendar: one of them beginning inside another
// means the other lacks its END.
bool isTopLevelComponent(std::string_view kind) {
    return kind == "vevent" || kind == "vtodo" || kind == "vjournal" || kind == "vfreebusy" ||
           kind == "vtimezone" || kind == "vavailability";
}

// The calendars of `text` and the spans of their time zones and events. A component that lacks
// its END (the next component, or the calendar's END, comes first) is left out and the reading
// goes on after it; so is one cut off by the end of the text, and anything outside a VCALENDAR.
// What was left out is logged under `identifier`.
std::vector<CalendarText> splitCalendars(std::string_view text, std::string_view identifier) {
    std::vector<CalendarText> calendars;
    // 0 outside any component, 1 in a calendar (or in a stray top-level component), more in a
    // component of it.
    std::size_t depth = 0;
    bool inCalendar = false;
    std::string kind;  // of the calendar's component being read
    std::size_t componentBegin = 0;
    std::size_t unended = 0;
    std::string firstUnended;
    const auto leaveOutOpenComponent = [&] {
        if (inCalendar && depth >= 2) {
            if (unended++ == 0) {
                firstUnended = text::toUpper(kind) + " at byte " + std::to_string(componentBegin);
            }
        }
        kind.clear();
    };
    forEachContentLine(text, 0, [&](std::string_view head, Span span) {
        const auto line = lineHead(head);
        if (line.name == "begin") {
            if (line.value == "vcalendar" && depth > 0) {
                // What comes before lacks its END: what a calendar read stays, a new one begins.
                leaveOutOpenComponent();
                depth = 0;
            } else if (depth >= 2 && inCalendar && isTopLevelComponent(line.value)) {
                leaveOutOpenComponent();
                depth = 1;
            }
            if (depth == 0) {
                inCalendar = line.value == "vcalendar";
                if (inCalendar) {
                    calendars.emplace_back();
                }
            } else if (depth == 1 && inCalendar) {
                kind = line.value;
                componentBegin = span.begin;
            }
            ++depth;
        } else if (line.name == "end") {
            if (depth == 0) {
                return;
            }
            if (line.value == "vcalendar" && depth > 1 && inCalendar) {
                leaveOutOpenComponent();
                depth = 0;
                return;
            }
            if (--depth == 1 && inCalendar && kind == "vevent") {
                calendars.back().events.push_back(Span{componentBegin, span.end});
            } else if (depth == 1 && inCalendar && kind == "vtimezone") {
                calendars.back().zones.push_back(Span{componentBegin, span.end});
            }
            if (depth <= 1) {
                kind.clear();
            }
        } else if (depth == 1 && inCalendar && line.name == "x-wr-calname" &&
                   calendars.back().nameLine.empty()) {
            const auto colon = head.find(':');
            if (colon != std::string_view::npos && !text::trimmed(head.substr(colon + 1)).empty()) {
                calendars.back().nameLine = text.substr(span.begin, span.end - span.begin);
            }
        }
    });
    leaveOutOpenComponent();
    if (unended > 0) {
        logger().error(std::to_string(unended) +
                       " calendar components without their END left out (the first a " +
                       firstUnended + "), the rest read: " + std::string(identifier));
    }
    return calendars;
}

// What reading an event's lines left out past the bound on repeated lines.
struct LinesLeftOut {
    std::size_t count = 0;
    // When EXDATE lines were left out: the time from which an occurrence may be one of the
    // deletions not read (a day before the earliest day they name, for any time zone).
    std::optional<std::int64_t> exclusionsUnknownFrom;
};

// The earliest day the values of a date or date-time line name, in days since 1970; nothing when
// a value does not start with a date.
std::optional<std::int64_t> earliestDay(std::string_view line) {
    std::string unfolded;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\r' || line[i] == '\n') {
            if (line[i] == '\n' && i + 1 < line.size() &&
                (line[i + 1] == ' ' || line[i + 1] == '\t')) {
                ++i;
            }
            continue;
        }
        unfolded += line[i];
    }
    // The value starts after the first colon outside a quoted parameter value.
    bool quoted = false;
    std::size_t colon = 0;
    while (colon < unfolded.size() && (quoted || unfolded[colon] != ':')) {
        quoted = unfolded[colon] == '"' ? !quoted : quoted;
        ++colon;
    }
    if (colon >= unfolded.size()) {
        return std::nullopt;
    }
    std::optional<std::int64_t> earliest;
    std::string_view values = std::string_view(unfolded).substr(colon + 1);
    while (true) {
        const auto comma = values.find(',');
        const auto value = text::trimmed(values.substr(0, comma));
        if (value.size() < 8 || !std::all_of(value.begin(), value.begin() + 8,
                                             [](char c) { return c >= '0' && c <= '9'; })) {
            return std::nullopt;
        }
        const auto number = [&](std::size_t at, std::size_t length) {
            int result = 0;
            for (std::size_t i = at; i < at + length; ++i) {
                result = result * 10 + (value[i] - '0');
            }
            return result;
        };
        const std::chrono::year_month_day date{
            std::chrono::year(number(0, 4)),
            std::chrono::month(static_cast<unsigned>(number(4, 2))),
            std::chrono::day(static_cast<unsigned>(number(6, 2)))};
        if (!date.ok()) {
            return std::nullopt;
        }
        const auto day = std::chrono::sys_days(date).time_since_epoch().count();
        earliest = std::min(earliest.value_or(day), static_cast<std::int64_t>(day));
        if (comma == std::string_view::npos) {
            return earliest;
        }
        values.remove_prefix(comma + 1);
    }
}

// The lines of an event this reader reads, in the order written: the properties it reads (the
// first of each that is read once, a bounded number of each repeatable one); nested components
// (alarms) and other properties are left out before libical holds them. Returns what was left
// out past the bound on repeated lines.
LinesLeftOut readLinesOf(std::string_view event, std::string& out) {
    static const std::set<std::string, std::less<>> kOnce = {
        "uid",      "summary",       "location",  "description", "dtstart",       "dtend",
        "duration", "recurrence-id", "organizer", "created",     "last-modified", "status"};
    static const std::set<std::string, std::less<>> kRepeatable = {"rrule", "rdate", "exdate",
                                                                   "attendee"};
    std::map<std::string, std::size_t, std::less<>> seen;
    std::size_t depth = 0;
    LinesLeftOut leftOut;
    forEachContentLine(event, 0, [&](std::string_view head, Span span) {
        const auto line = lineHead(head);
        const bool begin = line.name == "begin";
        const bool end = line.name == "end";
        // The event's own BEGIN and END, and its properties: not those of a nested component.
        const bool own = begin ? depth++ == 0 : end ? --depth == 0 : depth == 1;
        if (!own) {
            return;
        }
        if (!begin && !end) {
            const bool once = kOnce.contains(line.name);
            if (!once && !kRepeatable.contains(line.name)) {
                return;
            }
            const auto count = ++seen[line.name];
            if (once && count > 1) {
                return;
            }
            if (count > kMaxRepeatedLines) {
                ++leftOut.count;
                if (line.name == "exdate") {
                    // A deletion not read may name any occurrence from its day on.
                    const auto day = earliestDay(event.substr(span.begin, span.end - span.begin));
                    const auto from = day ? (*day - 1) * 86400 : earliestSeconds;
                    leftOut.exclusionsUnknownFrom =
                        std::min(leftOut.exclusionsUnknownFrom.value_or(from), from);
                }
                return;
            }
        }
        out.append(event.substr(span.begin, span.end - span.begin));
        if (out.back() != '\n') {
            out += "\r\n";
        }
    });
    return leftOut;
}

// One occurrence an event may yield: when, in place of which changed occurrence (if any), and
// what it holds in memory.
struct Slot {
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    std::int64_t start;
    std::int64_t end;
    // The changed occurrence's place among the calendar's events, or kNone.
    std::size_t changed;
    std::size_t bytes;
};

// An event (a series, or an event on its own) and the occurrences it may yield, in order.
struct PlannedEvent {
    // Its place among the calendar's events.
    std::size_t event;
    std::vector<Slot> slots;
    // Whether the occurrences carry the event's rules.
    bool series = false;
    std::size_t kept = 0;
    // Occurrences in the range that were not planned, past the file's bound on planning.
    std::size_t notPlanned = 0;
    // Whether occurrences in the range were left out by a bound on expanding its rules.
    bool cut = false;
};

// Cuts every event of `events` to its first `count` planned occurrences.
void cutPlans(std::vector<PlannedEvent>& events, std::size_t count) {
    for (auto& event : events) {
        if (event.slots.size() > count) {
            event.notPlanned += event.slots.size() - count;
            event.slots.resize(count);
            event.slots.shrink_to_fit();
        }
    }
}

// The occurrences a file plans are bounded too (each is held until the yield is shared): when
// they pass the bound by half, every event is cut to the same number of first occurrences, the
// largest that brings them within it (never fewer than one), and later events plan no more.
void boundPlans(std::vector<PlannedEvent>& events, Budget& budget) {
    budget.plannedSlots += events.back().slots.size();
    if (budget.plannedSlots <= budget.maxPlannedSlots + budget.maxPlannedSlots / 2 ||
        budget.slotsPerEvent <= 1) {
        return;
    }
    const auto plannedWithin = [&](std::size_t count) {
        std::size_t total = 0;
        for (const auto& event : events) {
            total += std::min(event.slots.size(), count);
        }
        return total;
    };
    std::size_t low = 1;
    std::size_t high = budget.slotsPerEvent;
    while (low < high) {
        const auto middle = low + (high - low + 1) / 2;
        if (plannedWithin(middle) <= budget.maxPlannedSlots) {
            low = middle;
        } else {
            high = middle - 1;
        }
    }
    cutPlans(events, low);
    budget.slotsPerEvent = low;
    budget.plannedSlots = plannedWithin(low);
}

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

std::string calendarName(icalcomponent* calendar, std::string_view fallback) {
    if (calendar == nullptr) {
        return std::string(fallback);
    }
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

// One event parsed on its own, a child of its calendar's time zones for as long as it is read
// (libical finds the zone a time names among the calendar's components).
class ParsedEvent {
  public:
    ParsedEvent(icalcomponent* zones, icalcomponent* event) : zones_(zones), event_(event) {
        if (event_ != nullptr) {
            icalcomponent_add_component(zones_, event_);
        }
    }
    ~ParsedEvent() {
        if (event_ != nullptr) {
            icalcomponent_remove_component(zones_, event_);
            icalcomponent_free(event_);
        }
    }
    ParsedEvent(ParsedEvent&& other) noexcept
        : zones_(other.zones_), event_(std::exchange(other.event_, nullptr)) {}
    ParsedEvent(const ParsedEvent&) = delete;
    ParsedEvent& operator=(const ParsedEvent&) = delete;
    ParsedEvent& operator=(ParsedEvent&&) = delete;

    icalcomponent* get() const { return event_; }

    // When EXDATE lines were left out past the bound, the time from which the series'
    // occurrences may be deletions that were not read.
    std::optional<std::int64_t> exclusionsUnknownFrom;

  private:
    icalcomponent* zones_;
    icalcomponent* event_;
};

class CalendarReader {
  public:
    // `text` outlives the reader.
    CalendarReader(std::string_view text, CalendarText calendar, std::string_view fallbackTitle,
                   Range range, std::string_view fallbackIdentifier, std::size_t& eventIndex,
                   Budget& budget)
        : text_(text),
          events_(std::move(calendar.events)),
          range_(range),
          fallbackIdentifier_(fallbackIdentifier),
          firstEventIndex_(eventIndex),
          budget_(budget) {
        eventIndex += events_.size();
        zones_ = readZones(calendar);
        title_ = calendarName(zones_.get(), fallbackTitle);
    }

    // The events of the calendar and the occurrences each may yield, before the file's bound is
    // applied. Each event is parsed on its own, so that what is held follows the largest event
    // rather than the file.
    void plan(std::vector<PlannedEvent>& into) {
        if (!zones_) {
            return;
        }
        isChange_.assign(events_.size(), false);
        for (std::size_t i = 0; i < events_.size(); ++i) {
            const auto event = parse(i, false);
            if (event.get() != nullptr && icalcomponent_get_first_property(
                                              event.get(), ICAL_RECURRENCEID_PROPERTY) != nullptr) {
                const char* uid = icalcomponent_get_uid(event.get());
                overrides_[uid != nullptr ? uid : ""].events.push_back(i);
                isChange_[i] = true;
            }
        }
        for (std::size_t i = 0; i < events_.size(); ++i) {
            if (!isChange_[i]) {
                const auto event = parse(i, true);
                if (event.get() != nullptr) {
                    planMaster(i, event.get(), event.exclusionsUnknownFrom, into);
                }
            }
        }
        // Changed occurrences whose series is not in this calendar still happen.
        for (auto& [uid, changes] : overrides_) {
            if (changes.claimed) {
                continue;
            }
            for (const auto i : changes.events) {
                const auto event = parse(i, false);
                if (event.get() != nullptr && !isCancelled(event.get())) {
                    planSingle(i, event.get(), measure(i, event.get(), {}), into);
                }
            }
        }
        overrides_.clear();
    }

    // The occurrences the event keeps, in `into`, each marked when `leftOut`; what it leaves out
    // is logged by the caller.
    void yield(const PlannedEvent& event, bool leftOut, std::vector<CalendarEvent>& into) {
        if (event.kept == 0) {
            return;
        }
        const auto parsed = parse(event.event, false);
        if (parsed.get() == nullptr) {
            return;
        }
        auto description = describe(event.event, parsed.get(), true);
        if (event.series) {
            description.recurrenceRules = ruleTexts(parsed.get());
        }
        description.occurrencesLeftOut = leftOut;
        for (std::size_t i = 0; i < event.kept; ++i) {
            const auto& slot = event.slots[i];
            if (slot.changed != Slot::kNone && slot.changed != event.event) {
                const auto changedEvent = parse(slot.changed, false);
                if (changedEvent.get() == nullptr) {
                    continue;
                }
                auto changed = describe(slot.changed, changedEvent.get(), true);
                // NOLINTNEXTLINE(bugprone-use-after-move): moved below only in the last round.
                changed.recurrenceRules = description.recurrenceRules;
                changed.occurrencesLeftOut = leftOut;
                setDates(changed, slot.start, slot.end);
                into.push_back(std::move(changed));
                continue;
            }
            auto occurrence = i + 1 == event.kept ? std::move(description) : description;
            setDates(occurrence, slot.start, slot.end);
            into.push_back(std::move(occurrence));
        }
    }

    // The event's identifier, for the log.
    std::string identifierOf(std::size_t event) const {
        const auto parsed = parse(event, false);
        return identifier(event, parsed.get());
    }

  private:
    // The changed occurrences of one UID (their places among the events); the first series of
    // that UID claims them.
    struct Changes {
        std::vector<std::size_t> events;
        bool claimed = false;
    };

    // The calendar's name and time zones, as a calendar of their own. Each zone is parsed on its
    // own and refused before it joins the calendar when it changes more often than daily (libical
    // would expand it to 2037, without bound, the first time a time in it is converted; its times
    // are then read as local ones), or when the zones before it reach kMaxTimeZoneBytes.
    ComponentPtr readZones(const CalendarText& calendar) const {
        auto zones = parseComponent("BEGIN:VCALENDAR\r\n" + calendar.nameLine + "END:VCALENDAR\r\n",
                                    ICAL_VCALENDAR_COMPONENT);
        if (!zones) {
            zones =
                parseComponent("BEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n", ICAL_VCALENDAR_COMPONENT);
        }
        std::size_t zoneBytes = 0;
        std::size_t pastTheBound = 0;
        for (const auto& span : calendar.zones) {
            const auto bytes = span.end - span.begin;
            if (bytes > kMaxTimeZoneBytes - zoneBytes) {
                ++pastTheBound;
                continue;
            }
            zoneBytes += bytes;
            auto zone = parseComponent(std::string(text_.substr(span.begin, bytes)),
                                       ICAL_VTIMEZONE_COMPONENT);
            if (!zone) {
                continue;
            }
            if (isSystemZone(zone.get())) {
                // Left out: libical reads a time of that name in the database's own zone, one
                // shared by every calendar.
                continue;
            }
            if (changesMoreOftenThanDaily(zone.get())) {
                const auto* tzid = icalcomponent_get_first_property(zone.get(), ICAL_TZID_PROPERTY);
                const char* name = tzid != nullptr ? icalproperty_get_tzid(tzid) : nullptr;
                logger().error("Calendar time zone " +
                               text::toValidUtf8(name != nullptr ? name : "") +
                               " refused, its offset changes more often than daily; its times "
                               "are read as local: " +
                               std::string(fallbackIdentifier_));
                continue;
            }
            if (zones) {
                icalcomponent_add_component(zones.get(), zone.release());
            }
        }
        if (pastTheBound > 0) {
            logger().error(std::to_string(pastTheBound) + " calendar time zones refused past " +
                           std::to_string(kMaxTimeZoneBytes) +
                           " bytes of them; their times are read as local: " +
                           std::string(fallbackIdentifier_));
        }
        return zones;
    }

    // Whether `zone`'s TZID names a zone of the system's time-zone database. Calendar programs
    // write a zone's definition only for the years around their events (a few one-off changes,
    // no rule), where the database knows all of them: a series that runs on past the last
    // change written keeps the right offset.
    static bool isSystemZone(icalcomponent* zone) {
        auto* property = icalcomponent_get_first_property(zone, ICAL_TZID_PROPERTY);
        const char* tzid = property != nullptr ? icalproperty_get_tzid(property) : nullptr;
        return tzid != nullptr && isZoneDatabaseName(tzid) &&
               (icaltimezone_get_builtin_timezone(tzid) != nullptr ||
                icaltimezone_get_builtin_timezone_from_tzid(tzid) != nullptr);
    }

    // Removes from `event` each TZID that names neither a zone of the calendar nor one of the
    // form of the time-zone database, so that its times are read as local ones: libical looks
    // any other name up as a path under the database's folder ("../../proc/self/fd/0" would
    // read this process's input). Returns how many were removed.
    std::size_t removeUnknownZones(icalcomponent* event) const {
        std::size_t removed = 0;
        for (auto* property = icalcomponent_get_first_property(event, ICAL_ANY_PROPERTY);
             property != nullptr;
             property = icalcomponent_get_next_property(event, ICAL_ANY_PROPERTY)) {
            auto* parameter = icalproperty_get_first_parameter(property, ICAL_TZID_PARAMETER);
            const char* tzid = parameter != nullptr ? icalparameter_get_tzid(parameter) : nullptr;
            if (tzid == nullptr || isZoneDatabaseName(tzid) ||
                icalcomponent_get_timezone(zones_.get(), tzid) != nullptr) {
                continue;
            }
            icalproperty_remove_parameter_by_kind(property, ICAL_TZID_PARAMETER);
            ++removed;
        }
        return removed;
    }

    static ComponentPtr parseComponent(const std::string& text, icalcomponent_kind kind) {
        ComponentPtr component(icalparser_parse_string(text.c_str()));
        if (component && icalcomponent_isa(component.get()) != kind) {
            component.reset();
        }
        return component;
    }

    // The event at `index` parsed on its own (nothing when it is not an event); `logCut` logs
    // the lines left out past the bound on repeated properties (once per event).
    ParsedEvent parse(std::size_t index, bool logCut) const {
        const auto span = events_[index];
        std::string lines;
        const auto leftOut = readLinesOf(text_.substr(span.begin, span.end - span.begin), lines);
        auto* event = icalparser_parse_string(lines.c_str());
        if (event != nullptr && icalcomponent_isa(event) != ICAL_VEVENT_COMPONENT) {
            icalcomponent_free(event);
            event = nullptr;
        }
        const auto unknownZones = event != nullptr ? removeUnknownZones(event) : 0;
        ParsedEvent parsed(zones_.get(), event);
        parsed.exclusionsUnknownFrom = leftOut.exclusionsUnknownFrom;
        if (unknownZones > 0 && logCut) {
            logger().error("Calendar event names " + std::to_string(unknownZones) +
                           " time zones the calendar does not define; their times are read as "
                           "local: " +
                           placeOf(identifier(index, event)));
        }
        if (leftOut.count > 0 && logCut) {
            logger().error("Calendar event reads the first " + std::to_string(kMaxRepeatedLines) +
                           " of each repeated property, " + std::to_string(leftOut.count) +
                           " lines left out: " + placeOf(identifier(index, event)));
        }
        return parsed;
    }

    std::string identifier(std::size_t index, icalcomponent* event) const {
        const char* uid = event != nullptr ? icalcomponent_get_uid(event) : nullptr;
        auto result = uid != nullptr ? text::toValidUtf8(uid) : std::string();
        if (result.empty()) {
            const auto place = firstEventIndex_ + index;
            result = place == 0 ? std::string(fallbackIdentifier_)
                                : std::string(fallbackIdentifier_) + "#" + std::to_string(place);
        }
        return result;
    }

    CalendarEvent describe(std::size_t index, icalcomponent* event, bool logRefused) const {
        const auto id = identifier(index, event);
        return vask::describe(event, id, title_, [&](std::string_view property) {
            if (logRefused) {
                logger().error("Calendar " + std::string(property) +
                               " left out, it lies outside the years 1677 to 2262: " + placeOf(id));
            }
        });
    }

    // What each occurrence of `event` holds, with the series' rules.
    std::size_t measure(std::size_t index, icalcomponent* event,
                        const std::vector<std::string>& rules) const {
        auto description = describe(index, event, false);
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
    std::optional<Slot> singleSlot(std::size_t index, icalcomponent* event,
                                   std::size_t bytes) const {
        if (event == nullptr) {
            return std::nullopt;
        }
        const auto start = secondsOf(icalcomponent_get_dtstart(event));
        if (!start) {
            return std::nullopt;
        }
        const auto end = secondsOf(icalcomponent_get_dtend(event)).value_or(*start);
        if (!range_.overlaps(*start, end)) {
            return std::nullopt;
        }
        return Slot{*start, end, index, bytes};
    }

    void planSingle(std::size_t index, icalcomponent* event, std::size_t bytes,
                    std::vector<PlannedEvent>& into) {
        if (auto slot = singleSlot(index, event, bytes)) {
            into.push_back(PlannedEvent{index, {*slot}});
            boundPlans(into, budget_);
        }
    }

    void planMaster(std::size_t index, icalcomponent* master,
                    std::optional<std::int64_t> exclusionsUnknownFrom,
                    std::vector<PlannedEvent>& into) {
        const auto rules = ruleTexts(master);
        const auto bytes = measure(index, master, rules);
        if (rules.empty()) {
            planSingle(index, master, bytes, into);
            return;
        }
        const auto dtstart = icalcomponent_get_dtstart(master);
        if (!secondsOf(dtstart)) {
            return;
        }
        const auto duration = icalcomponent_get_duration(master);

        // The changed occurrences of the series, by the start they replace, with their own
        // occurrence (if it touches the range). They are read once per UID, by its first series:
        // many series and changes sharing one UID cost no more than as many separate events.
        std::map<std::int64_t, std::pair<std::size_t, std::optional<Slot>>> replaced;
        const char* uid = icalcomponent_get_uid(master);
        if (const auto it = overrides_.find(uid != nullptr ? uid : "");
            uid != nullptr && it != overrides_.end() && !it->second.claimed) {
            it->second.claimed = true;
            for (const auto i : it->second.events) {
                const auto event = parse(i, false);
                if (event.get() == nullptr) {
                    continue;
                }
                // A cancelled occurrence takes the place of the one it replaces, and happens not.
                auto slot = isCancelled(event.get())
                                ? std::nullopt
                                : singleSlot(i, event.get(), measure(i, event.get(), rules));
                auto* property =
                    icalcomponent_get_first_property(event.get(), ICAL_RECURRENCEID_PROPERTY);
                if (const auto original = secondsOf(
                        icalproperty_get_datetime_with_component(property, event.get()))) {
                    replaced[*original] = {i, slot};
                } else if (slot) {
                    // Changed, but not saying which occurrence: on its own dates.
                    into.push_back(PlannedEvent{i, {*slot}});
                    boundPlans(into, budget_);
                }
            }
        }

        PlannedEvent planned{index, {}, true};
        std::set<std::size_t> used;
        const auto starts = occurrenceStarts(master, identifier(index, master), dtstart, duration,
                                             exclusionsUnknownFrom, planned);
        for (const auto& start : starts) {
            const auto seconds = *secondsOf(start);
            if (const auto it = replaced.find(seconds); it != replaced.end()) {
                used.insert(it->second.first);
                if (it->second.second) {
                    planned.slots.push_back(*it->second.second);
                }
                continue;
            }
            const auto end = secondsOf(icaltime_add(start, duration)).value_or(seconds);
            if (range_.overlaps(seconds, end)) {
                planned.slots.push_back(Slot{seconds, end, Slot::kNone, bytes});
            }
        }
        // An occurrence moved into the range from a start outside it is found by its own dates.
        for (const auto& [original, change] : replaced) {
            if (!used.contains(change.first) && change.second) {
                planned.slots.push_back(*change.second);
            }
        }
        if (planned.slots.size() > budget_.slotsPerEvent) {
            planned.notPlanned += planned.slots.size() - budget_.slotsPerEvent;
            planned.slots.resize(budget_.slotsPerEvent);
        }
        if (!planned.slots.empty()) {
            into.push_back(std::move(planned));
            boundPlans(into, budget_);
        }
    }

    // Every start of the series that may touch the range (the caller checks each against it),
    // without excluded dates, each once, at most the per-event cap and as many as the file's
    // planning bound leaves an event (those past it counted in `planned.notPlanned`), and none
    // from `exclusionsUnknownFrom` on. A start left out by a bound marks `planned` as cut.
    std::vector<icaltimetype> occurrenceStarts(icalcomponent* master, const std::string& identifier,
                                               const icaltimetype& dtstart,
                                               const icaldurationtype& duration,
                                               std::optional<std::int64_t> exclusionsUnknownFrom,
                                               PlannedEvent& planned) const {
        auto& notPlanned = planned.notPlanned;
        bool unknownExclusions = false;
        const auto& limits = budget_.limits;
        const auto maxStarts = std::min(limits.maxOccurrencesPerEvent, budget_.slotsPerEvent);
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
            if (exclusionsUnknownFrom && *seconds >= *exclusionsUnknownFrom) {
                unknownExclusions = true;
                return;
            }
            if (starts.size() >= maxStarts) {
                capped = true;
                // Past the per-event cap the rule stops; past the file's bound it is counted.
                notPlanned += maxStarts < limits.maxOccurrencesPerEvent ? 1 : 0;
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
                planned.cut = true;
                continue;
            }
            const IteratorPtr iterator(icalrecur_iterator_new(rule, dtstart));
            if (!iterator) {
                logger().error("Calendar rule cannot be expanded: " + identifier);
                continue;
            }
            const auto ruleDeadline =
                std::min(budget_.deadline, SteadyClock::now() + limits.maxTimePerRule);
            for (std::size_t step = 0; !capped || maxStarts < limits.maxOccurrencesPerEvent;
                 ++step) {
                if (step == limits.maxStepsPerRule || budget_.steps >= limits.maxStepsPerFile ||
                    SteadyClock::now() >= ruleDeadline) {
                    logger().error("Calendar rule expansion stopped after " + std::to_string(step) +
                                   " steps: " + identifier);
                    planned.cut = true;
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
        if (capped && maxStarts == limits.maxOccurrencesPerEvent) {
            logger().error("Calendar event keeps its first " +
                           std::to_string(limits.maxOccurrencesPerEvent) +
                           " occurrences: " + identifier);
            planned.cut = true;
        }
        if (unknownExclusions) {
            // Dropped rather than shown: any of them may be a deletion that was not read.
            logger().error("Calendar series has more than " + std::to_string(kMaxRepeatedLines) +
                           " EXDATE lines; its occurrences from " +
                           utcDate(*exclusionsUnknownFrom) + " on are left out: " + identifier);
            planned.cut = true;
        }
        return starts;
    }

    std::string_view text_;
    std::vector<Span> events_;
    ComponentPtr zones_;
    std::string title_;
    Range range_;
    std::string_view fallbackIdentifier_;
    std::size_t firstEventIndex_;
    Budget& budget_;
    std::vector<bool> isChange_;
    std::unordered_map<std::string, Changes> overrides_;
    std::set<std::string> clampedEvents_;
};

bool hasLoneCarriageReturn(std::string_view text) {
    for (auto at = text.find('\r'); at != std::string_view::npos; at = text.find('\r', at + 1)) {
        if (at + 1 == text.size() || text[at + 1] != '\n') {
            return true;
        }
    }
    return false;
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
    // No more occurrences are planned than the yield could hold were each as small as one can be.
    const auto maxPlannedSlots = std::max(kMinPlannedSlots, maxYieldBytes / sizeof(CalendarEvent));
    Budget budget{limits, SteadyClock::now() + limits.maxTimePerFile, maxYieldBytes,
                  maxPlannedSlots};
    // A copy only when the text is not UTF-8 already.
    std::string converted;
    std::string_view utf8 = text;
    if (text::isValidUtf8(text)) {
        if (utf8.starts_with("\xEF\xBB\xBF")) {
            utf8.remove_prefix(3);
        }
    } else {
        converted = decoding::detected(text).value_or(text::toValidUtf8(text));
        utf8 = converted;
    }
    // Lines that end in a CR alone (as old Mac programs write them) end lines too.
    if (hasLoneCarriageReturn(utf8)) {
        std::string lines;
        lines.reserve(utf8.size());
        for (std::size_t i = 0; i < utf8.size(); ++i) {
            lines +=
                utf8[i] == '\r' && (i + 1 == utf8.size() || utf8[i + 1] != '\n') ? '\n' : utf8[i];
        }
        converted = std::move(lines);
        utf8 = converted;
        logger().info("Calendar lines end in a carriage return alone; read as line ends: " +
                      text::toValidUtf8(fallbackIdentifier));
    }
    const Range range{
        std::chrono::duration_cast<std::chrono::seconds>(rangeStart.time_since_epoch()).count(),
        std::chrono::duration_cast<std::chrono::seconds>(rangeEnd.time_since_epoch()).count()};
    // Both come from file names, which may hold any bytes.
    const auto title = text::toValidUtf8(calendarTitle);
    const auto identifier = text::toValidUtf8(fallbackIdentifier);
    std::size_t eventIndex = 0;
    std::vector<std::unique_ptr<CalendarReader>> readers;
    std::vector<std::pair<CalendarReader*, std::size_t>> firstEventOfReader;
    std::vector<PlannedEvent> planned;
    for (auto& calendar : splitCalendars(utf8, identifier)) {
        readers.push_back(std::make_unique<CalendarReader>(utf8, std::move(calendar), title, range,
                                                           identifier, eventIndex, budget));
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
            const auto leftOut = event.slots.size() - event.kept + event.notPlanned;
            reader->yield(event, leftOut > 0 || event.cut, events);
            event.slots = {};
            if (leftOut == 0) {
                continue;
            }
            occurrencesLeftOut += leftOut;
            // One line per event, up to a point: a hostile file may hold a million events.
            if (++eventsCut <= kMaxEventsLoggedAsCut) {
                logger().error("Calendar event keeps " + std::to_string(event.kept) + " of its " +
                               std::to_string(event.kept + leftOut) +
                               " occurrences in the range, the file yields at most " +
                               std::to_string(maxYieldBytes) + " bytes of events: " + identifier +
                               " " + reader->identifierOf(event.event));
            }
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
