#include <benchmark/benchmark.h>

#include <string>

#include "sources/rich_text_reader.h"

namespace {

enum Page : int { withoutAmpersands = 0, withAmpersands = 1, undeclaredLegacy = 2 };

// A page of short paragraphs, `megabytes` long: plain text, one "&amp;" a paragraph, or plain
// text in windows-1252 with nothing declared (read twice: once to guess, once to read).
std::string page(std::size_t megabytes, Page kind) {
    const std::size_t size = megabytes * 1024 * 1024;
    std::string out = "<!DOCTYPE html><html><head><title>Report</title></head><body>\n";
    out.reserve(size + 256);
    for (std::size_t i = 0; out.size() < size; ++i) {
        out += "<p>Paragraph " + std::to_string(i) + " of the report";
        out += kind == withAmpersands ? ", costs &amp; figures" : ", costs and figures";
        out += kind == undeclaredLegacy ? " for the caf\xE9 d\xE9j\xE0 seen" : " for the year";
        out += ".</p>\n";
    }
    out += "</body></html>\n";
    return out;
}

// HTML text in time proportional to the page, whatever it holds.
void BM_HtmlPageText(benchmark::State& state) {
    const auto bytes =
        page(static_cast<std::size_t>(state.range(0)), static_cast<Page>(state.range(1)));
    for (auto _ : state) {
        auto text = vask::RichTextReader::htmlText(bytes);
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_HtmlPageText)
    ->ArgsProduct({{1, 10, 40}, {withoutAmpersands, withAmpersands, undeclaredLegacy}})
    ->ArgNames({"MB", "page"})
    ->Unit(benchmark::kMillisecond);

}  // namespace
