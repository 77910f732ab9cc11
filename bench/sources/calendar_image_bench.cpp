#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "sources/ics_calendar_parser.h"
#include "sources/image_converter.h"

namespace {

using Time = vask::CalendarEvent::Time;

constexpr std::int64_t windowStart = 1'704'067'200;  // 2024-01-01
constexpr std::int64_t windowEnd = windowStart + 60 * 86'400;

std::string calendarWith(const std::string& rule) {
    std::string text = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\n";
    for (int i = 0; i < 8; ++i) {
        text += "BEGIN:VEVENT\r\nUID:e" + std::to_string(i) +
                "\r\nDTSTART:20230101T000000Z\r\nDURATION:PT1M\r\n" + rule + "\r\nEND:VEVENT\r\n";
    }
    return text + "END:VCALENDAR\r\n";
}

// Eight events each asking for far more occurrences than can be kept: a rule finer than the
// window shows (skipped), and one expanding to many starts a day (capped).
void BM_IcsRulesThatAskForMillions(benchmark::State& state) {
    const auto text = calendarWith(state.range(0) == 0 ? "RRULE:FREQ=SECONDLY"
                                                       : "RRULE:FREQ=DAILY;BYHOUR=0,2,4,6,8,10,"
                                                         "12,14,16,18,20,22;BYMINUTE=0,10,20,30,"
                                                         "40,50");
    std::size_t occurrences = 0;
    for (auto _ : state) {
        const auto events = vask::IcsCalendarParser::occurrences(
            text, "Bench", Time(std::chrono::seconds(windowStart)),
            Time(std::chrono::seconds(windowEnd)), "bench.ics");
        occurrences = events.size();
        benchmark::DoNotOptimize(events.data());
    }
    state.counters["occurrences"] = static_cast<double>(occurrences);
    state.SetLabel(state.range(0) == 0 ? "secondly" : "72 a day");
}
BENCHMARK(BM_IcsRulesThatAskForMillions)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// A 24-bit BMP photograph-sized image turned into PNG for the vision model.
void BM_BmpToPng(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    const std::size_t rowBytes = (static_cast<std::size_t>(side) * 3 + 3) / 4 * 4;
    std::string bmp = "BM";
    auto put = [&](std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            bmp.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
        }
    };
    put(static_cast<std::uint32_t>(54 + rowBytes * side), 4);
    put(0, 4);
    put(54, 4);
    put(40, 4);
    put(static_cast<std::uint32_t>(side), 4);
    put(static_cast<std::uint32_t>(side), 4);
    put(1, 2);
    put(24, 2);
    for (int i = 0; i < 6; ++i) {
        put(0, 4);
    }
    for (int y = 0; y < side; ++y) {
        for (std::size_t x = 0; x < rowBytes; ++x) {
            bmp.push_back(static_cast<char>((x * 7 + static_cast<std::size_t>(y) * 3) & 0xFF));
        }
    }
    for (auto _ : state) {
        auto png = vask::ImageConverter::toPNG(bmp);
        benchmark::DoNotOptimize(png);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(bmp.size()));
}
BENCHMARK(BM_BmpToPng)->Arg(1000)->Unit(benchmark::kMillisecond);

}  // namespace
