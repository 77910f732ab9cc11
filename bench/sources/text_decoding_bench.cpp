#include <benchmark/benchmark.h>

#include <string>

#include "encoded_text.h"
#include "pasted_text.h"
#include "sources/decoding/text_decoding.h"
#include "sources/rich_text_reader.h"

namespace {

enum Text : int { koreanLegacy = 0, vietnameseDecomposed = 1, thaiUnmarkedUtf16 = 2 };

// `megabytes` of text saved as older programs save it: Korean in EUC-KR (guessed from a sample
// that ends inside a character), Vietnamese in windows-1258 (tones as combining marks, composed
// when read), Thai in UTF-16 without a byte order mark (no ASCII to tell it).
std::string textBytes(std::size_t megabytes, Text kind) {
    const std::size_t size = megabytes * 1024 * 1024;
    const char* line = nullptr;
    const char* encoding = nullptr;
    switch (kind) {
        case koreanLegacy:
            line = "오늘 회의에서는 다음 분기의 예산과 일정에 대해 논의했습니다.\n";
            encoding = "windows-949";
            break;
        case vietnameseDecomposed:
            line = "Cuô\u0323c ho\u0323p lu\u0301c ba giơ\u0300 chiê\u0300u nay.\n";
            encoding = "windows-1258";
            break;
        case thaiUnmarkedUtf16:
            line = "การประชุมพรุ่งนี้เริ่มบ่ายสามโมง กรุณานำเอกสารมาด้วย\n";
            encoding = "UTF-16LE";
            break;
    }
    const auto encoded = vask::test::encodedAs(line, encoding);
    std::string out;
    out.reserve(size + encoded.size());
    // One byte more than whole lines, so the guess's sample ends inside a character.
    out += "-";
    while (out.size() < size) {
        out += encoded;
    }
    return out;
}

// Decoding in time proportional to the text, whatever the encoding.
void BM_DetectedText(benchmark::State& state) {
    const auto bytes =
        textBytes(static_cast<std::size_t>(state.range(0)), static_cast<Text>(state.range(1)));
    for (auto _ : state) {
        auto text = vask::decoding::plainText(bytes);
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_DetectedText)
    ->ArgsProduct({{1, 10, 40}, {koreanLegacy, vietnameseDecomposed, thaiUnmarkedUtf16}})
    ->ArgNames({"MB", "text"})
    ->Unit(benchmark::kMillisecond);

// Mostly UTF-8 text with one long pasted run (a Shift_JIS line in Japanese, a line of mixed
// bytes without a space), or with many short ones (words holding UTF-8 beside windows-1252
// bytes): the time per byte stays flat from 64 KB to 1 MB.
void BM_LongPastedRun(benchmark::State& state) {
    const auto bytes =
        vask::test::longPastedText(static_cast<std::size_t>(state.range(0)) * 1024,
                                   static_cast<vask::test::LongPaste>(state.range(1)));
    for (auto _ : state) {
        auto text = vask::decoding::detected(bytes);
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_LongPastedRun)
    ->ArgsProduct({{64, 256, 1024},
                   {static_cast<int>(vask::test::LongPaste::shiftJisLine),
                    static_cast<int>(vask::test::LongPaste::mixedBytesLine),
                    static_cast<int>(vask::test::LongPaste::shortMixedWords)}})
    ->ArgNames({"KB", "paste"})
    ->Unit(benchmark::kMillisecond);

// An undeclared Korean page: guessed from its visible text, then read.
void BM_UndeclaredKoreanPage(benchmark::State& state) {
    const std::size_t size = static_cast<std::size_t>(state.range(0)) * 1024 * 1024;
    const auto paragraph = vask::test::encodedAs(
        "<p>오늘 회의에서는 다음 분기의 예산과 일정에 대해 논의했습니다.</p>\n", "windows-949");
    std::string page = "<html><body>\n";
    page.reserve(size + paragraph.size());
    while (page.size() < size) {
        page += paragraph;
    }
    for (auto _ : state) {
        auto text = vask::RichTextReader::htmlText(page);
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(page.size()));
}
BENCHMARK(BM_UndeclaredKoreanPage)->Arg(1)->Arg(10)->Arg(40)->Unit(benchmark::kMillisecond);

}  // namespace
