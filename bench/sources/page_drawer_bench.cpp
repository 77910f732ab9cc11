// What the page drawing program's confinement costs: the same pages drawn through PageDrawer by
// the confined vask-page-drawer and by the same program without its confinement, one process a
// page as the file access service runs them (start, fontconfig, Landlock and seccomp included).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <numeric>
#include <string>
#include <vector>

#include "pdf_fixture.h"
#include "sample-pdf/sample_pdf.h"
#include "sources/page_drawer.h"

namespace {

// A page whose content is `content`, with the fonts `fonts` (name, font dictionary) in its
// resources.
std::string pagePdf(const std::string& content,
                    const std::vector<std::pair<std::string, std::string>>& fonts) {
    std::vector<std::string> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "",
        "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream",
    };
    std::string resources;
    for (const auto& [name, font] : fonts) {
        resources += "/" + name + " " + std::to_string(objects.size() + 1) + " 0 R ";
        objects.push_back(font);
    }
    objects[2] =
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R "
        "/Resources << /Font << " +
        resources + ">> >> >>";
    return vask::sample::pdfFromObjects(objects);
}

// 48 lines of prose in Helvetica, Times and Courier, none embedded.
std::string standardFontsPage() {
    std::string content = "BT 14 TL 50 740 Td\n";
    for (int line = 0; line < 48; ++line) {
        content += "/F" + std::to_string(1 + line % 3) + " 11 Tf (Line " + std::to_string(line) +
                   ": the quick brown fox jumps over the lazy dog, again and again.) '\n";
    }
    content += "ET\n";
    return pagePdf(content, {{"F1", "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"},
                             {"F2", "<< /Type /Font /Subtype /Type1 /BaseFont /Times-Roman >>"},
                             {"F3", "<< /Type /Font /Subtype /Type1 /BaseFont /Courier >>"}});
}

// Page kinds by index: 0 blank, 1 standard fonts, 2 Japanese.
std::string page(std::int64_t kind) {
    switch (kind) {
        case 1:
            return standardFontsPage();
        case 2:
            return vask::test::japaneseTextPdf(20);
        default:
            return pagePdf("", {});
    }
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// range(0): the page kind. Each iteration draws the page unconfined and then confined, so that
// both see the same machine (others' load comes and goes); the counters are the medians and the
// confined drawer's overhead over the unconfined one, in percent of the median and of the total.
void BM_DrawPageConfinedBesideUnconfined(benchmark::State& state) {
    vask::PageDrawer::Options unconfined;
    unconfined.program = VASK_PAGE_DRAWER_UNCONFINED;
    vask::PageDrawer::Options confined;
    confined.program = VASK_PAGE_DRAWER;
    const auto pdf = page(state.range(0));
    std::vector<double> times[2];
    std::size_t bytes[2] = {0, 0};
    const auto drawOnce = [&](int which, const vask::PageDrawer::Options& options) {
        const auto start = std::chrono::steady_clock::now();
        // A drawer for each page: one document's drawing time would run out.
        const auto drawn = vask::PageDrawer(pdf, options).draw(0);
        times[which].push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        bytes[which] = drawn.png ? drawn.png->size() : 0;
        return drawn.png.has_value();
    };
    for (auto _ : state) {
        if (!drawOnce(0, unconfined) || !drawOnce(1, confined)) {
            state.SkipWithError("a page was not drawn");
            return;
        }
    }
    if (bytes[0] != bytes[1]) {
        state.SkipWithError("the confined drawer drew the page differently");
        return;
    }
    const double total[2] = {std::accumulate(times[0].begin(), times[0].end(), 0.0),
                             std::accumulate(times[1].begin(), times[1].end(), 0.0)};
    state.counters["unconfined_ms"] = median(times[0]);
    state.counters["confined_ms"] = median(times[1]);
    state.counters["median_pct"] = 100.0 * (median(times[1]) / median(times[0]) - 1.0);
    state.counters["total_pct"] = 100.0 * (total[1] / total[0] - 1.0);
    state.counters["png_kb"] = static_cast<double>(bytes[1]) / 1024.0;
}
BENCHMARK(BM_DrawPageConfinedBesideUnconfined)
    ->ArgName("page")
    ->DenseRange(0, 2)
    ->Iterations(40)
    ->Unit(benchmark::kMillisecond);

}  // namespace
