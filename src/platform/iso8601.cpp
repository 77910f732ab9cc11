#include "platform/iso8601.h"

#include <chrono>
#include <cstdio>

namespace vask {
namespace {

// Reads exactly `width` ASCII digits at `pos`.
std::optional<int> digits(std::string_view text, std::size_t pos, std::size_t width) {
    if (pos + width > text.size()) {
        return std::nullopt;
    }
    int value = 0;
    for (std::size_t i = pos; i < pos + width; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

bool expect(std::string_view text, std::size_t pos, char c) {
    return pos < text.size() && text[pos] == c;
}

}  // namespace

std::optional<Clock::WallTime> parseISO8601(std::string_view text) {
    using namespace std::chrono;
    const auto year = digits(text, 0, 4);
    const auto month = digits(text, 5, 2);
    const auto day = digits(text, 8, 2);
    const auto hour = digits(text, 11, 2);
    const auto minute = digits(text, 14, 2);
    const auto second = digits(text, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second || !expect(text, 4, '-') ||
        !expect(text, 7, '-') || !expect(text, 10, 'T') || !expect(text, 13, ':') ||
        !expect(text, 16, ':')) {
        return std::nullopt;
    }
    const year_month_day date{std::chrono::year(*year),
                              std::chrono::month(static_cast<unsigned>(*month)),
                              std::chrono::day(static_cast<unsigned>(*day))};
    if (!date.ok() || *hour > 23 || *minute > 59 || *second > 59) {
        return std::nullopt;
    }
    int offsetMinutes = 0;
    const std::string_view zone = text.substr(19);
    if (zone != "Z") {
        const auto offsetHour = digits(zone, 1, 2);
        const auto offsetMinute = digits(zone, 4, 2);
        if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':' ||
            !offsetHour || !offsetMinute || *offsetHour > 23 || *offsetMinute > 59) {
            return std::nullopt;
        }
        offsetMinutes = (*offsetHour * 60 + *offsetMinute) * (zone[0] == '-' ? -1 : 1);
    }
    const auto local = sys_days(date) + hours(*hour) + minutes(*minute) + seconds(*second);
    return time_point_cast<Clock::WallTime::duration>(local - minutes(offsetMinutes));
}

std::string formatISO8601(Clock::WallTime time) {
    using namespace std::chrono;
    const auto secs = floor<seconds>(time);
    const auto dayStart = floor<days>(secs);
    const year_month_day date{dayStart};
    const hh_mm_ss clock{secs - dayStart};
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02lld:%02lld:%02lldZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<long long>(clock.hours().count()),
                  static_cast<long long>(clock.minutes().count()),
                  static_cast<long long>(clock.seconds().count()));
    return buffer;
}

}  // namespace vask
