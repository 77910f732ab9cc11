#include "sources/ics_calendar_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "calendar_fixtures.h"
#include "support/log_capture.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using test::unixTime;

std::string calendar(std::string_view events) {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Vask tests//EN\r\n" + std::string(events) +
           "END:VCALENDAR\r\n";
}

std::string event(std::string_view uid, std::string_view lines) {
    return "BEGIN:VEVENT\r\nUID:" + std::string(uid) + "\r\nDTSTAMP:20240101T000000Z\r\n" +
           std::string(lines) + "END:VEVENT\r\n";
}

// "uid@start-end" for each occurrence, in the parser's order.
std::vector<std::string> spans(const std::vector<CalendarEvent>& events) {
    std::vector<std::string> result;
    for (const auto& e : events) {
        auto seconds = [](CalendarEvent::Time t) {
            return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
        };
        result.push_back(e.calendarItemIdentifier + "@" + std::to_string(seconds(e.startDate)) +
                         "-" + std::to_string(seconds(e.endDate)));
    }
    return result;
}

// Floating times and all-day dates are read on the local clock; the tests pin it to New York.
class IcsCalendarParserTest : public ::testing::Test {
  protected:
    void SetUp() override {
        environment_.set("TZ", "America/New_York");
        tzset();
    }
    void TearDown() override {
        environment_.restore();
        tzset();
    }

  private:
    test::ScopedEnvironment environment_;
};

TEST_F(IcsCalendarParserTest, OccurrencesInTheRange) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> expected;
        std::int64_t from = test::january1st2024;
        std::int64_t to = test::january31st2024;
    };
    const std::vector<Case> cases = {
        {"weekly series less a cancelled date, with one occurrence moved",
         std::string(test::weeklyStandupICS),
         {"standup-1@1704121200-1704123000", "standup-1@1704726000-1704727800",
          "standup-1@1706025600-1706027400", "standup-1@1706540400-1706542200"}},
        {"an occurrence moved into the range from a start outside it",
         std::string(test::weeklyStandupICS),
         {"standup-1@1706025600-1706027400"},
         1706000000,
         1706100000},
        {"an occurrence moved out of the range leaves nothing in its place",
         std::string(test::weeklyStandupICS),
         {},
         1705900000,
         1705950000},
        {"a counted series cut by the start of the range",
         calendar(event("daily",
                        "DTSTART:20240101T100000Z\r\nDTEND:20240101T110000Z\r\n"
                        "RRULE:FREQ=DAILY;COUNT=3\r\n")),
         {"daily@1704189600-1704193200", "daily@1704276000-1704279600"},
         1704150000,
         test::january31st2024},
        {"a series that ends before the range",
         calendar(event("old",
                        "DTSTART:20231201T100000Z\r\nDTEND:20231201T110000Z\r\n"
                        "RRULE:FREQ=WEEKLY;UNTIL=20231220T000000Z\r\n")),
         {}},
        {"a weekly series keeps its local hour across a daylight-saving change",
         calendar(event("berlin",
                        "DTSTART;TZID=Europe/Berlin:20240325T100000\r\n"
                        "DURATION:PT1H\r\nRRULE:FREQ=WEEKLY\r\n")),
         {"berlin@1711357200-1711360800", "berlin@1711958400-1711962000"},
         1710892800,
         1712275200},
        {"an all-day date spans the local day",
         calendar(event("holiday", "DTSTART;VALUE=DATE:20240105\r\n")),
         {"holiday@1704430800-1704517200"}},
        {"a floating time is local time",
         calendar(event("floating", "DTSTART:20240105T090000\r\nDTEND:20240105T093000\r\n")),
         {"floating@1704463200-1704465000"}},
        {"an event already running when the range starts counts, one that ended does not",
         calendar(event("running", "DTSTART:20231231T230000Z\r\nDTEND:20240101T010000Z\r\n") +
                  event("ended", "DTSTART:20231231T200000Z\r\nDTEND:20231231T210000Z\r\n")),
         {"running@1704063600-1704070800"}},
        {"a date series skips an excluded date",
         calendar(event("gym",
                        "DTSTART;VALUE=DATE:20240102\r\nRRULE:FREQ=DAILY;COUNT=3\r\n"
                        "EXDATE;VALUE=DATE:20240103\r\n")),
         {"gym@1704171600-1704258000", "gym@1704344400-1704430800"}},
        {"extra dates without a rule are occurrences",
         calendar(event("extra",
                        "DTSTART:20240110T100000Z\r\nDURATION:PT30M\r\n"
                        "RDATE:20240112T100000Z\r\n")),
         {"extra@1704880800-1704882600", "extra@1705053600-1705055400"}},
        {"events without a UID are known by the file and their place in it",
         calendar("BEGIN:VEVENT\r\nDTSTART:20240105T100000Z\r\nEND:VEVENT\r\n"
                  "BEGIN:VEVENT\r\nDTSTART:20240106T100000Z\r\nEND:VEVENT\r\n"),
         {"event@1704448800-1704448800", "event#1@1704535200-1704535200"}},
        {"a rule libical refuses, written before the UID",
         "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nDTSTART:20240105T100000Z\r\n"
         "RRULE:FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=30\r\nUID:bad\r\nEND:VEVENT\r\n"
         "END:VCALENDAR\r\n",
         {"bad@1704448800-1704448800"}},
        {"a rule finer than hourly is skipped, its first start counts",
         calendar(event("busy", "DTSTART:20240105T100000Z\r\nRRULE:FREQ=SECONDLY\r\n") +
                  event("impossible",
                        "DTSTART:20240106T100000Z\r\n"
                        "RRULE:FREQ=SECONDLY;BYMONTH=2;BYMONTHDAY=30\r\n") +
                  event("minutes",
                        "DTSTART:20240107T100000Z\r\n"
                        "RRULE:FREQ=MINUTELY;INTERVAL=59;COUNT=3\r\n")),
         {"busy@1704448800-1704448800", "impossible@1704535200-1704535200",
          "minutes@1704621600-1704621600"}},
        {"an hourly rule is expanded",
         calendar(event("hourly", "DTSTART:20240105T100000Z\r\nRRULE:FREQ=HOURLY;COUNT=2\r\n")),
         {"hourly@1704448800-1704448800", "hourly@1704452400-1704452400"}},
        {"text that is not a calendar", "this is not iCalendar", {}},
        {"a calendar cut off in the middle of an event",
         "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nUID:cut\r\nDTSTART:2024",
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(spans(IcsCalendarParser::occurrences(c.text, "Fallback", unixTime(c.from),
                                                       unixTime(c.to))),
                  c.expected);
    }
}

TEST_F(IcsCalendarParserTest, ExpansionStopsAtItsLimits) {
    const auto daily = calendar(event("daily", "DTSTART:20240101T100000Z\r\nRRULE:FREQ=DAILY\r\n"));
    const auto hourly =
        calendar(event("hourly", "DTSTART:20240101T100000Z\r\nRRULE:FREQ=HOURLY\r\n"));
    struct Case {
        const char* name;
        std::string text;
        IcsCalendarParser::Limits limits;
        std::size_t count;
        // Whether the occurrences say that some were left out.
        bool leftOut = true;
    };
    auto limits = [](auto change) {
        IcsCalendarParser::Limits l;
        change(l);
        return l;
    };
    const std::vector<Case> cases = {
        {"unbounded daily rule over January", daily, {}, 30, false},
        {"occurrences per event",
         calendar(event("often",
                        "DTSTART:20240101T000000Z\r\n"
                        "RRULE:FREQ=DAILY;BYHOUR=0,3,6,9,12,15,18,21\r\n")),
         limits([](auto& l) { l.maxOccurrencesPerEvent = 40; }), 40},
        {"steps per rule", daily, limits([](auto& l) { l.maxStepsPerRule = 5; }), 5},
        {"steps per file, shared by the events of the file",
         calendar(event("a", "DTSTART:20240101T100000Z\r\nRRULE:FREQ=DAILY\r\n") +
                  event("b", "DTSTART:20240101T100000Z\r\nRRULE:FREQ=DAILY\r\n")),
         limits([](auto& l) { l.maxStepsPerFile = 7; }), 8},
        {"no time left for the file keeps the first start", daily,
         limits([](auto& l) { l.maxTimePerFile = std::chrono::milliseconds(0); }), 1},
        {"no time per rule keeps the first start", daily,
         limits([](auto& l) { l.maxTimePerRule = std::chrono::milliseconds(0); }), 1},
        {"a rule that would pass the cap across the range is skipped", hourly,
         limits([](auto& l) { l.maxOccurrencesPerEvent = 100; }), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto found =
            IcsCalendarParser::occurrences(c.text, "T", unixTime(test::january1st2024),
                                           unixTime(test::january31st2024), "f.ics", c.limits);
        EXPECT_EQ(found.size(), c.count);
        for (const auto& e : found) {
            EXPECT_EQ(e.occurrencesLeftOut, c.leftOut) << e.calendarItemIdentifier;
        }
    }
}

// Each occurrence carries its event's texts: what a file yields is bounded in proportion to the
// file, so a long description on a daily rule cannot turn a small file into gigabytes.
TEST_F(IcsCalendarParserTest, WhatAFileYieldsIsBoundedByItsSize) {
    const std::string description(100'000, 'n');
    const auto text = calendar(
        event("long", "DTSTART:20240101T100000Z\r\nRRULE:FREQ=DAILY\r\nDESCRIPTION:" + description +
                          "\r\n") +
        event("later", "DTSTART:20240102T100000Z\r\nSUMMARY:after the long one\r\n"));
    struct Case {
        const char* name;
        std::size_t floor;
        std::size_t perFileByte;
        std::size_t minCount;
        std::size_t maxCount;
    };
    const std::vector<Case> cases = {
        {"room for every occurrence", std::size_t{1} << 30, 4, 31, 31},
        {"the floor", 1'000'000, 4, 9, 10},
        {"in proportion to the file", 0, 20, 19, 20},
        {"nothing fits", 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        IcsCalendarParser::Limits limits;
        limits.minYieldBytesPerFile = c.floor;
        limits.yieldBytesPerFileByte = c.perFileByte;
        const auto events =
            IcsCalendarParser::occurrences(text, "T", unixTime(test::january1st2024),
                                           unixTime(test::january31st2024), "f.ics", limits);
        EXPECT_GE(events.size(), c.minCount);
        EXPECT_LE(events.size(), c.maxCount);
        std::size_t bytes = 0;
        for (const auto& e : events) {
            bytes += e.notes.value_or("").size();
        }
        EXPECT_LE(bytes, std::max(c.floor, c.perFileByte * text.size()));
        // The caller can tell the cut series from a whole one.
        for (const auto& e : events) {
            EXPECT_EQ(e.occurrencesLeftOut, e.calendarItemIdentifier == "long" && c.maxCount < 31)
                << e.calendarItemIdentifier;
        }
    }
    // The defaults: a 100 KB file yields a few megabytes, not its 3 MB times the occurrences.
    const auto events = IcsCalendarParser::occurrences(text, "T", unixTime(test::january1st2024),
                                                       unixTime(test::january31st2024), "f.ics");
    EXPECT_LE(events.size(), 42u);
    EXPECT_GT(events.size(), 0u);
}

// The bound is shared round by round: three daily series with long notes cannot starve fifty
// weekly ones of their first occurrences.
TEST_F(IcsCalendarParserTest, EveryEventKeepsItsFirstOccurrencesBeforeAnyGetsMore) {
    std::string events;
    for (int i = 0; i < 3; ++i) {
        events += event("daily-" + std::to_string(i), "DTSTART:20240101T0" + std::to_string(i) +
                                                          "0000Z\r\nRRULE:FREQ=DAILY\r\n"
                                                          "DESCRIPTION:" +
                                                          std::string(4096, 'd') + "\r\n");
    }
    for (int i = 0; i < 50; ++i) {
        events += event("weekly-" + std::to_string(i),
                        "DTSTART:20240102T120000Z\r\nRRULE:FREQ=WEEKLY\r\nSUMMARY:w\r\n");
    }
    const auto text = calendar(events);
    IcsCalendarParser::Limits limits;
    limits.minYieldBytesPerFile = 0;
    const auto found = IcsCalendarParser::occurrences(text, "T", unixTime(test::january1st2024),
                                                      unixTime(test::january1st2024 + 366 * 86400),
                                                      "f.ics", limits);
    std::map<std::string, std::size_t> counts;
    for (const auto& e : found) {
        ++counts[e.calendarItemIdentifier];
    }
    ASSERT_EQ(counts.size(), 53u);
    std::size_t bytes = 0;
    for (const auto& e : found) {
        bytes += e.notes.value_or("").size();
    }
    EXPECT_LE(bytes, limits.yieldBytesPerFileByte * text.size());
    // No event has two more occurrences than another that was cut short.
    EXPECT_LE(counts["daily-0"], counts["weekly-49"] + 1);
    EXPECT_LT(found.size(), 3u * 366 + 50 * 53);
}

// Changes of a series are matched by UID once: series repeated under one UID do not each take
// the changed occurrence again.
TEST_F(IcsCalendarParserTest, SeriesSharingAUidTakeEachChangeOnce) {
    const auto series =
        event("shared", "DTSTART:20240108T150000Z\r\nRRULE:FREQ=WEEKLY;COUNT=2\r\n");
    const auto text =
        calendar(series + series +
                 event("shared", "RECURRENCE-ID:20240115T150000Z\r\nDTSTART:20240116T150000Z\r\n"));
    const auto found = spans(IcsCalendarParser::occurrences(
        text, "T", unixTime(test::january1st2024), unixTime(test::january31st2024)));
    const auto changed = std::to_string(test::january1st2024 + 15 * 86400 + 15 * 3600);
    EXPECT_EQ(std::count(found.begin(), found.end(), "shared@" + changed + "-" + changed), 1)
        << testing::PrintToString(found);
}

// libical expands a zone's observances to 2037 the first time a time in it is converted; one
// that repeats every minute would never finish. Such a zone is refused and its times read as
// local ones; a zone that changes yearly is kept.
TEST_F(IcsCalendarParserTest, TimeZonesChangingMoreOftenThanDailyAreRefused) {
    const auto zone = [](std::string_view rule) {
        return "BEGIN:VTIMEZONE\r\nTZID:Odd\r\nBEGIN:STANDARD\r\nDTSTART:16010101T000000\r\n"
               "TZOFFSETFROM:+0100\r\nTZOFFSETTO:+0100\r\nRRULE:" +
               std::string(rule) + "\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n";
    };
    const auto meeting = event("m", "DTSTART;TZID=Odd:20240110T100000\r\n");
    struct Case {
        const char* rule;
        std::int64_t offsetSeconds;  // from the same wall time in UTC
    };
    const std::vector<Case> cases = {
        {"FREQ=MINUTELY", 5 * 3600},  // New York's wall clock
        {"FREQ=DAILY;BYHOUR=0,12", 5 * 3600},
        {"FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU", -3600},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        const auto found = IcsCalendarParser::occurrences(calendar(zone(c.rule) + meeting), "T",
                                                          unixTime(test::january1st2024),
                                                          unixTime(test::january31st2024));
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].startDate,
                  unixTime(test::january1st2024 + 9 * 86400 + 10 * 3600 + c.offsetSeconds));
    }
}

// Events are read one at a time out of the file's text: a component starts and ends only on a
// line of its own (not inside a folded value), time zones apply wherever they are written, each
// calendar of a file keeps its name, and an event after a huge one is still read.
TEST_F(IcsCalendarParserTest, EventsAreReadOneByOne) {
    const auto zone =
        "BEGIN:VTIMEZONE\r\nTZID:Plus2\r\nBEGIN:STANDARD\r\nDTSTART:19700101T000000\r\n"
        "TZOFFSETFROM:+0200\r\nTZOFFSETTO:+0200\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n";
    std::string huge = "DESCRIPTION:" + std::string(2'000'000, 'd') + "\r\n";
    for (int i = 0; i < 20'000; ++i) {
        huge += "X-PADDING:" + std::to_string(i) + "\r\nATTENDEE:mailto:a@b\r\n";
    }
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> expected;  // "uid@start title [calendar]"
    };
    const std::vector<Case> cases = {
        {"an event after a huge one",
         calendar(event("huge", "DTSTART:20240105T100000Z\r\n" + huge) +
                  event("after", "DTSTART:20240106T100000Z\r\nSUMMARY:kept\r\n")),
         {"huge@1704448800  [T]", "after@1704535200 kept [T]"}},
        {"component lines inside a folded value",
         calendar(event("folded",
                        "DTSTART:20240105T100000Z\r\nSUMMARY:a\r\n END:VEVENT\r\n"
                        " BEGIN:VEVENT\r\nBEGIN:VALARM\r\nSUMMARY:alarm\r\nEND:VALARM\r\n")),
         {"folded@1704448800 aEND:VEVENTBEGIN:VEVENT [T]"}},
        {"a time zone written after the event",
         calendar(event("zoned", "DTSTART;TZID=Plus2:20240105T100000\r\n") + zone),
         {"zoned@1704441600  [T]"}},
        {"two calendars, each with its name",
         calendar("X-WR-CALNAME:One\r\n" + event("a", "DTSTART:20240105T100000Z\r\n")) +
             calendar("X-WR-CALNAME:Two\r\nBEGIN:VEVENT\r\nDTSTART:20240106T100000Z\r\n"
                      "END:VEVENT\r\n"),
         {"a@1704448800  [One]", "f.ics#1@1704535200  [Two]"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> found;
        for (const auto& e :
             IcsCalendarParser::occurrences(c.text, "T", unixTime(test::january1st2024),
                                            unixTime(test::january31st2024), "f.ics")) {
            found.push_back(e.calendarItemIdentifier + "@" +
                            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                               e.startDate.time_since_epoch())
                                               .count()) +
                            " " + e.title.value_or("") + " [" + e.calendarTitle + "]");
            if (e.calendarItemIdentifier == "huge") {
                EXPECT_EQ(e.notes.value_or("").size(), 2'000'000u);
                EXPECT_EQ(e.attendees.size(), 2000u);
            }
        }
        EXPECT_EQ(found, c.expected);
    }
}

// Calendar programs write a zone's definition only around their events; a zone the time-zone
// database knows is read from there, so a series keeps its wall-clock time past the last change
// the file wrote. Other names keep the file's definition.
TEST_F(IcsCalendarParserTest, ZonesOfTheTimeZoneDatabaseComeFromIt) {
    // One-off changes for the winter of 2023 and the spring of 2024, no rule, as khal writes.
    const auto zone = [](std::string_view tzid) {
        return "BEGIN:VTIMEZONE\r\nTZID:" + std::string(tzid) +
               "\r\nBEGIN:STANDARD\r\nDTSTART:20231029T030000\r\nTZNAME:CET\r\n"
               "TZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\nEND:STANDARD\r\nBEGIN:DAYLIGHT\r\n"
               "DTSTART:20240331T020000\r\nTZNAME:CEST\r\nTZOFFSETFROM:+0100\r\n"
               "TZOFFSETTO:+0200\r\nEND:DAYLIGHT\r\nEND:VTIMEZONE\r\n";
    };
    const auto lunch = [&](std::string_view tzid) {
        return calendar(zone(tzid) + event("lunch", "DTSTART;TZID=" + std::string(tzid) +
                                                        ":20240115T120000\r\nDURATION:PT1H\r\n"
                                                        "RRULE:FREQ=MONTHLY\r\n"));
    };
    // A zone file of nine hours ahead, outside the database's folder.
    const test::TempDir dir;
    std::filesystem::copy_file("/usr/share/zoneinfo/Asia/Tokyo", dir.path() / "Tokyo");
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"a zone the database knows: noon in winter is 11:00 UTC",
         lunch("Europe/Berlin"),
         {"lunch@1731668400-1731672000", "lunch@1734260400-1734264000"}},
        {"libical's own name for it",
         lunch("/freeassociation.sourceforge.net/Europe/Berlin"),
         {"lunch@1731668400-1731672000", "lunch@1734260400-1734264000"}},
        {"a name of the file's own keeps its definition",
         lunch("Office Time"),
         {"lunch@1731664800-1731668400", "lunch@1734256800-1734260400"}},
        {"a name the file defines is not looked up",
         lunch("../../../../etc/passwd"),
         {"lunch@1731664800-1731668400", "lunch@1734256800-1734260400"}},
        {"a path to a zone file elsewhere is not followed: the time is local",
         calendar(event("lunch", "DTSTART;TZID=../../../.." + (dir.path() / "Tokyo").string() +
                                     ":20241115T120000\r\nDURATION:PT1H\r\n")),
         {"lunch@1731690000-1731693600"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(spans(IcsCalendarParser::occurrences(c.text, "T", unixTime(1730419200),
                                                       unixTime(1735689600))),
                  c.expected);
    }
}

TEST_F(IcsCalendarParserTest, CancelledOccurrencesDoNotHappen) {
    const auto series = event("weekly",
                              "DTSTART:20240101T150000Z\r\nDURATION:PT30M\r\n"
                              "RRULE:FREQ=WEEKLY;COUNT=3\r\n");
    const auto cancelled = [](std::string_view uid, std::string_view original) {
        return event(uid, "RECURRENCE-ID:" + std::string(original) + "\r\nDTSTART:" +
                              std::string(original) + "\r\nDURATION:PT30M\r\nSTATUS:CANCELLED\r\n");
    };
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"a cancelled occurrence of a series",
         calendar(series + cancelled("weekly", "20240108T150000Z")),
         {"weekly@1704121200-1704123000", "weekly@1705330800-1705332600"}},
        {"a cancelled change whose series is elsewhere",
         calendar(cancelled("elsewhere", "20240108T150000Z")),
         {}},
        {"a change that is not cancelled still happens",
         calendar(series + event("weekly",
                                 "RECURRENCE-ID:20240108T150000Z\r\n"
                                 "DTSTART:20240109T150000Z\r\nDURATION:PT30M\r\n"
                                 "STATUS:CONFIRMED\r\n")),
         {"weekly@1704121200-1704123000", "weekly@1704812400-1704814200",
          "weekly@1705330800-1705332600"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(spans(IcsCalendarParser::occurrences(c.text, "T", unixTime(test::january1st2024),
                                                       unixTime(test::january31st2024))),
                  c.expected);
    }
}

// Damaged files: what can be read is read, and what was left out is logged.
TEST_F(IcsCalendarParserTest, ComponentsWithoutTheirEndAndCarriageReturnLineEnds) {
    const auto good = [](std::string_view uid, int day) {
        return event(uid, "DTSTART:202401" + std::string(day < 10 ? "0" : "") +
                              std::to_string(day) + "T100000Z\r\n");
    };
    const auto unended = "BEGIN:VEVENT\r\nUID:broken\r\nDTSTART:20240103T100000Z\r\n";
    const auto crOnly = [](std::string text) {
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (!(text[i] == '\n' && i > 0 && text[i - 1] == '\r')) {
                out += text[i];
            }
        }
        return out;
    };
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> expected;
        bool logsLeftOut;
    };
    const std::vector<Case> cases = {
        {"an event without its END before others",
         calendar(good("a", 2) + unended + good("b", 4) + good("c", 5)),
         {"a@1704189600-1704189600", "b@1704362400-1704362400", "c@1704448800-1704448800"},
         true},
        {"an event without its END before the calendar's END, and a calendar after",
         calendar(good("a", 2) + unended) + calendar(good("b", 4)),
         {"a@1704189600-1704189600", "b@1704362400-1704362400"},
         true},
        {"a calendar without its END before another",
         "BEGIN:VCALENDAR\r\n" + good("a", 2) + unended + calendar(good("b", 4)),
         {"a@1704189600-1704189600", "b@1704362400-1704362400"},
         true},
        {"a stray event without its END before a calendar",
         unended + calendar(good("b", 4)),
         {"b@1704362400-1704362400"},
         false},
        {"an event cut off by the end of the text",
         "BEGIN:VCALENDAR\r\n" + good("a", 2) + unended,
         {"a@1704189600-1704189600"},
         true},
        {"line ends of a carriage return alone",
         crOnly(calendar(good("a", 2) + good("b", 4))),
         {"a@1704189600-1704189600", "b@1704362400-1704362400"},
         false},
        {"carriage returns alone and an event without its END",
         crOnly(calendar(unended + good("b", 4))),
         {"b@1704362400-1704362400"},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::LogCapture logs;
        EXPECT_EQ(spans(IcsCalendarParser::occurrences(c.text, "T", unixTime(test::january1st2024),
                                                       unixTime(test::january31st2024), "f.ics")),
                  c.expected);
        bool logged = false;
        for (const auto& record : logs->records()) {
            logged =
                logged || record.message.find("without their END left out") != std::string::npos;
        }
        EXPECT_EQ(logged, c.logsLeftOut);
    }
}

// Past the bound on EXDATE lines, the deletions not read might name any later occurrence: the
// series' occurrences from the earliest day they name on are left out, never shown.
TEST_F(IcsCalendarParserTest, DeletionsPastTheBoundNeverBecomeOccurrences) {
    // A daily series at 10:00 UTC through January; 2,000 deletions of days in 2023, then
    // deletions of 20 and 25 January that the bound leaves unread.
    const auto series = [](std::string_view lateExclusions) {
        std::string lines =
            "DTSTART:20230101T100000Z\r\nRRULE:FREQ=DAILY;UNTIL=20240131T100000Z\r\n";
        for (int i = 0; i < 2000; ++i) {
            lines += "EXDATE:2023" + std::string(i % 12 < 9 ? "0" : "") +
                     std::to_string(i % 12 + 1) + "15T100000Z\r\n";
        }
        lines += lateExclusions;
        return calendar(event("daily", lines));
    };
    struct Case {
        const char* name;
        std::string text;
        std::size_t count;
        std::string last;  // the last occurrence's start, in seconds
        bool leftOut;
    };
    const auto january = [](int day) {
        return std::to_string(test::january1st2024 + (day - 1) * 86400 + 10 * 3600);
    };
    const std::vector<Case> cases = {
        {"within the bound",
         calendar(event("daily",
                        "DTSTART:20230101T100000Z\r\n"
                        "RRULE:FREQ=DAILY;UNTIL=20240131T100000Z\r\n"
                        "EXDATE:20240120T100000Z\r\n")),
         29, january(30), false},
        {"past the bound: nothing from the day before the earliest one on",
         series("EXDATE:20240125T100000Z\r\nEXDATE;TZID=\"Europe/Berlin:x\":20240120T110000,"
                "20240127T110000\r\n"),
         18, january(18), true},
        {"past the bound with a value that names no day: the series' rule yields nothing",
         series("EXDATE:soon\r\n"), 0, "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto found = IcsCalendarParser::occurrences(
            c.text, "T", unixTime(test::january1st2024), unixTime(test::january31st2024), "f.ics");
        ASSERT_EQ(found.size(), c.count);
        if (!found.empty()) {
            EXPECT_EQ(spans({found.back()}).front().substr(6, 10), c.last);
        }
        for (const auto& e : found) {
            EXPECT_EQ(e.occurrencesLeftOut, c.leftOut);
        }
    }
}

// Time points hold nanoseconds: dates outside 1677 to 2262 are clamped (start and end) or left
// out (creation and change dates) rather than overflowing.
TEST_F(IcsCalendarParserTest, DatesBeyondTheRepresentableYearsAreClampedOrLeftOut) {
    const auto latest = CalendarEvent::Time::max();
    const auto earliest = CalendarEvent::Time::min();
    struct Case {
        const char* name;
        std::string lines;
        bool startClamped;
        bool endClamped;
        bool hasCreated;
        bool hasModified;
    };
    const std::vector<Case> cases = {
        {"created in 1600",
         "DTSTART:20240105T100000Z\r\nCREATED:16000101T000000Z\r\n"
         "LAST-MODIFIED:20240101T000000Z\r\n",
         false, false, false, true},
        {"modified in 2300",
         "DTSTART:20240105T100000Z\r\nCREATED:20240101T000000Z\r\n"
         "LAST-MODIFIED:23000101T000000Z\r\n",
         false, false, true, false},
        {"ending in 2300", "DTSTART:20240105T100000Z\r\nDTEND:23000101T000000Z\r\n", false, true,
         false, false},
        {"from 1600 to 2300", "DTSTART:16000105T100000Z\r\nDTEND:23000101T000000Z\r\n", true, true,
         false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto events = IcsCalendarParser::occurrences(
            calendar(event("far", c.lines)), "T", unixTime(test::january1st2024),
            unixTime(test::january31st2024), "far.ics");
        ASSERT_EQ(events.size(), 1u);
        const auto& e = events[0];
        if (c.startClamped) {
            EXPECT_LE(e.startDate, earliest + std::chrono::seconds(1));
        } else {
            EXPECT_EQ(e.startDate, unixTime(1704448800));
        }
        if (c.endClamped) {
            EXPECT_GE(e.endDate, latest - std::chrono::seconds(1));
        } else {
            EXPECT_LT(e.endDate, unixTime(test::january31st2024));
        }
        EXPECT_EQ(e.creationDate.has_value(), c.hasCreated);
        EXPECT_EQ(e.lastModifiedDate.has_value(), c.hasModified);
        EXPECT_LE(e.startDate, e.endDate);
    }
}

TEST_F(IcsCalendarParserTest, TextThatIsNotUtf8IsDecoded) {
    struct Case {
        const char* name;
        std::string text;
        std::string title;
    };
    const std::vector<Case> cases = {
        {"Latin-1",
         calendar(event("l",
                        "DTSTART:20240105T100000Z\r\nSUMMARY:Caf\xE9 cr\xE8me au lait avec les "
                        "coll\xE8gues\r\n")),
         "Caf\xC3\xA9 cr\xC3\xA8me au lait avec les coll\xC3\xA8gues"},
        {"UTF-8 with a byte order mark",
         "\xEF\xBB\xBF" +
             calendar(event("u", "DTSTART:20240105T100000Z\r\nSUMMARY:Caf\xC3\xA9\r\n")),
         "Caf\xC3\xA9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto events = IcsCalendarParser::occurrences(
            c.text, "T", unixTime(test::january1st2024), unixTime(test::january31st2024));
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].title.value_or(""), c.title);
    }
    // A file name in Latin-1 names the calendar and the events without a UID.
    const auto named = IcsCalendarParser::occurrences(
        calendar("BEGIN:VEVENT\r\nDTSTART:20240105T100000Z\r\nEND:VEVENT\r\n"), "caf\xE9",
        unixTime(test::january1st2024), unixTime(test::january31st2024), "caf\xE9.ics");
    ASSERT_EQ(named.size(), 1u);
    EXPECT_EQ(named[0].calendarTitle, "caf\xEF\xBF\xBD");
    EXPECT_EQ(named[0].calendarItemIdentifier, "caf\xEF\xBF\xBD.ics");
}

}  // namespace
}  // namespace vask
