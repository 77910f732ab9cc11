#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "sources/list_number_format.h"

namespace {

// 20,000 list items numbered in words ("cardinalText"), their paragraphs' languages cycling
// through `languages` of these (as a document of lists in as many languages does), with the
// number formatters each language needs made as they are asked for. `made` counts the
// formatters the last iteration made: none while the cycle fits in those kept (the first
// iteration made them), one an item past that.
void BM_ListNumbersInCyclingLanguages(benchmark::State& state) {
    static const std::vector<std::string> kLanguages = {
        "de-DE", "fr-FR", "es-ES", "it-IT", "pt-PT", "nl-NL", "sv-SE", "nb-NO", "fi-FI", "hu-HU",
        "ro-RO", "tr-TR", "pl-PL", "ru-RU", "af-ZA", "bg-BG", "ca-ES", "hr-HR", "id-ID", "ja-JP",
        "ko-KR", "lt-LT", "lv-LV", "sk-SK", "sl-SI", "el-GR", "he-IL", "uk-UA", "cs-CZ", "da-DK",
        "et-EE", "is-IS", "mk-MK", "mt-MT", "sq-AL", "vi-VN", "th-TH", "hi-IN", "fa-IR", "ka-GE"};
    const auto languages = static_cast<std::size_t>(state.range(0));
    constexpr long kItems = 20'000;
    std::size_t made = 0;
    for (auto _ : state) {
        const auto before = vask::ListNumberFormat::formattersMade();
        for (long item = 1; item <= kItems; ++item) {
            auto text = vask::ListNumberFormat::formatted(
                item, "cardinalText", kLanguages[static_cast<std::size_t>(item) % languages]);
            benchmark::DoNotOptimize(text);
        }
        made = vask::ListNumberFormat::formattersMade() - before;
    }
    state.counters["made"] = static_cast<double>(made);
    state.SetItemsProcessed(state.iterations() * kItems);
}
BENCHMARK(BM_ListNumbersInCyclingLanguages)
    ->Arg(1)
    ->Arg(8)
    ->Arg(14)
    ->Arg(32)
    ->Arg(40)
    ->ArgName("languages")
    ->Unit(benchmark::kMillisecond);

}  // namespace
