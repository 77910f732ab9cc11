#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

#include "sources/calendar_event_store.h"

namespace vask::test {

inline CalendarEvent::Time unixTime(std::int64_t seconds) {
    return CalendarEvent::Time(std::chrono::seconds(seconds));
}

// 2024-01-01T00:00:00Z and 2024-01-31T00:00:00Z.
constexpr std::int64_t january1st2024 = 1704067200;
constexpr std::int64_t january31st2024 = 1706659200;

// A weekly Monday stand-up from 2024-01-01 15:00 UTC, thirty minutes long: the 15 January one is
// cancelled and the 22 January one moved to Tuesday 23 January 16:00 UTC. Within January 2024
// it happens on 1, 8, 23 and 29 January.
constexpr std::string_view weeklyStandupICS =
    "BEGIN:VCALENDAR\r\n"
    "VERSION:2.0\r\n"
    "PRODID:-//Vask tests//EN\r\n"
    "X-WR-CALNAME:Work\r\n"
    "BEGIN:VEVENT\r\n"
    "UID:standup-1\r\n"
    "DTSTAMP:20231220T120000Z\r\n"
    "CREATED:20231220T120000Z\r\n"
    "LAST-MODIFIED:20231221T080000Z\r\n"
    "DTSTART:20240101T150000Z\r\n"
    "DTEND:20240101T153000Z\r\n"
    "RRULE:FREQ=WEEKLY;BYDAY=MO\r\n"
    "EXDATE:20240115T150000Z\r\n"
    "SUMMARY:Standup\r\n"
    "LOCATION:Room 4\r\n"
    "ORGANIZER;CN=Ana Lopez:mailto:ana@example.com\r\n"
    "ATTENDEE;CN=Ana Lopez:mailto:ana@example.com\r\n"
    "ATTENDEE;CN=Ben Okafor:mailto:ben@example.com\r\n"
    "END:VEVENT\r\n"
    "BEGIN:VEVENT\r\n"
    "UID:standup-1\r\n"
    "DTSTAMP:20231220T120000Z\r\n"
    "RECURRENCE-ID:20240122T150000Z\r\n"
    "DTSTART:20240123T160000Z\r\n"
    "DTEND:20240123T163000Z\r\n"
    "SUMMARY:Standup (moved)\r\n"
    "END:VEVENT\r\n"
    "END:VCALENDAR\r\n";

// Starts of the stand-up's occurrences in January 2024.
constexpr std::int64_t standupJanuary1st = 1704121200;
constexpr std::int64_t standupJanuary8th = 1704726000;
constexpr std::int64_t standupMovedJanuary23rd = 1706025600;
constexpr std::int64_t standupJanuary29th = 1706540400;

}  // namespace vask::test
