#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sample-pdf/sample_pdf.h"
#include "sources/file_search.h"
#include "sources/pdf_document.h"

namespace {

namespace fs = std::filesystem;

class ScratchFolder {
  public:
    ScratchFolder() {
        std::string name = (fs::temp_directory_path() / "vask-bench-XXXXXX").string();
        if (mkdtemp(name.data()) == nullptr) {
            std::abort();
        }
        path_ = name;
    }
    ~ScratchFolder() { fs::remove_all(path_); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// 100,000 files in 1,000 folders; one in ten is a small text file whose start is read.
const ScratchFolder& fileTree() {
    static const ScratchFolder folder;
    static const bool built = [] {
        const char* words[] = {"invoice", "notes", "draft",  "photo", "budget",
                               "trip",    "lease", "recipe", "scan",  "report"};
        for (int d = 0; d < 1000; ++d) {
            const auto dir = folder.path() / ("folder-" + std::to_string(d));
            fs::create_directories(dir);
            for (int f = 0; f < 100; ++f) {
                const int n = d * 100 + f;
                const bool text = f % 10 == 0;
                const auto name =
                    std::string(words[n % 10]) + "-" + std::to_string(n) + (text ? ".txt" : ".dat");
                std::ofstream out(dir / name);
                if (text) {
                    out << "Meeting notes " << n << ": the " << words[(n / 10) % 10]
                        << " was discussed with the landlord.\n";
                }
            }
        }
        return true;
    }();
    benchmark::DoNotOptimize(built);
    return folder;
}

void BM_WalkSearch100kFiles(benchmark::State& state) {
    const auto& tree = fileTree();
    vask::FileSearch::Options options;
    options.commandPath = "/nonexistent/mdfind";
    options.timeBudget = std::chrono::minutes(5);
    const vask::FileSearch search(options);
    std::size_t found = 0;
    for (auto _ : state) {
        const auto result =
            search.search("landlord lease", {tree.path()}, 20,
                          [](const std::string& p) { return p.ends_with("/node_modules/"); });
        found = result.paths.size();
        benchmark::DoNotOptimize(found);
    }
    state.counters["found"] = static_cast<double>(found);
    state.counters["files"] = 100000;
}
BENCHMARK(BM_WalkSearch100kFiles)->Unit(benchmark::kMillisecond)->Iterations(3);

// A search command that writes 200 MB without a newline: what reading it costs Vask's own
// process (its processor time, not the command's), with the paths asked for of a question.
void BM_SearchCommandWritingWithoutEnd(benchmark::State& state) {
    const ScratchFolder folder;
    const auto command = folder.path() / "mdfind";
    std::ofstream(command) << "#!/bin/sh\nexec head -c 200000000 /dev/zero\n";
    fs::permissions(command, fs::perms::owner_all);
    vask::FileSearch::Options options;
    options.commandPath = command;
    options.timeBudget = std::chrono::minutes(5);
    const vask::FileSearch search(options);
    const auto cpu = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    };
    const auto before = cpu();
    std::size_t found = 0;
    for (auto _ : state) {
        found = search.search("lease", {folder.path()}, 40, {}).paths.size();
        benchmark::DoNotOptimize(found);
    }
    state.counters["vask_cpu_s"] = (cpu() - before) / static_cast<double>(state.iterations());
    state.counters["found"] = static_cast<double>(found);
}
BENCHMARK(BM_SearchCommandWritingWithoutEnd)->Unit(benchmark::kMillisecond)->Iterations(3);

// A page of text in the base Helvetica font, so that drawing includes glyphs.
std::string textPdf(int width, int height) {
    std::string content = "BT /F1 11 Tf 14 TL 50 " + std::to_string(height - 60) + " Td\n";
    for (int line = 0; line < 48; ++line) {
        content += "(Line " + std::to_string(line) +
                   ": the quick brown fox jumps over the lazy dog, again and again.) '\n";
    }
    content += "ET\n0 0 1 RG 40 40 " + std::to_string(width - 80) + " 100 re S\n";
    const std::vector<std::string> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + std::to_string(width) + " " +
            std::to_string(height) + "] /Resources << /Font << /F1 5 0 R >> >> /Contents 4 0 R >>",
        "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "endstream",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    };
    return vask::sample::pdfFromObjects(objects);
}

void BM_RenderPdfPage(benchmark::State& state) {
    const ScratchFolder folder;
    const auto path = folder.path() / "page.pdf";
    std::ofstream(path) << textPdf(static_cast<int>(state.range(0)),
                                   static_cast<int>(state.range(1)));
    const auto document = vask::PdfDocument::open(path);
    if (!document) {
        state.SkipWithError("the benchmark PDF did not open");
        return;
    }
    std::size_t bytes = 0;
    for (auto _ : state) {
        const auto png = document->renderPagePNG(0);
        bytes = png ? png->size() : 0;
        benchmark::DoNotOptimize(bytes);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["png_kb"] = static_cast<double>(bytes) / 1024.0;
    // The process's peak so far; run this benchmark alone to read the render's own peak.
    state.counters["peak_rss_mb"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}
BENCHMARK(BM_RenderPdfPage)->Args({612, 792})->Args({842, 595})->Unit(benchmark::kMillisecond);

}  // namespace
