// What checking a drawer's answer costs Vask (PagePng::check): a page as the drawer writes it,
// beside answers that carry more than a page.
#include <benchmark/benchmark.h>

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "png_fixture.h"
#include "sources/page_png.h"
#include "sources/png_encoder.h"

namespace {

constexpr int kWidth = 1546;
constexpr int kHeight = 2000;
constexpr std::size_t kMiB = std::size_t{1} << 20;

// The pixels of a page of varied rows, 8-bit RGB.
std::vector<std::uint8_t> pagePixels() {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(kWidth) * kHeight * 3);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<std::uint8_t>((i * 7 + i / 4639) & 0xff);
    }
    return pixels;
}

// The page's rows (each unfiltered) in a zlib stream of level 3, as the drawer's encoder
// writes; with `zeroMiB`, that many MiB of zeros follow the rows in the same stream.
std::string pageStream(std::size_t zeroMiB) {
    const auto pixels = pagePixels();
    const std::size_t rowBytes = static_cast<std::size_t>(kWidth) * 3;
    std::string rows;
    for (std::size_t y = 0; y < kHeight; ++y) {
        rows.push_back('\0');
        rows.append(reinterpret_cast<const char*>(pixels.data()) + y * rowBytes, rowBytes);
    }
    return zeroMiB == 0 ? vask::test::zlibOf(rows, Z_FINISH, 3)
                        : vask::test::zerosAfter(rows, zeroMiB, 3);
}

// The page of `stream`, its image data in chunks of 8 KiB, with `before` ahead of them and
// `after` behind them.
std::string pageOf(const std::string& stream, const std::string& before = {},
                   const std::string& after = {}) {
    auto png = vask::test::pngHeader(kWidth, kHeight, 8, 2) + before;
    for (std::size_t at = 0; at < stream.size(); at += 8192) {
        png += vask::test::pngChunk("IDAT", stream.substr(at, 8192));
    }
    return png + after + vask::test::pngChunk("IEND", "");
}

// range(0): 0 a page as the drawer writes it (1546 x 2000 pixels of varied rows); 1 a page of one
// pixel whose 32 compressed text chunks would each inflate to 48 MiB; 2 the same made 60 MiB large
// by an unknown chunk ahead of them (as large as a chunk's inflation was once allowed to be);
// 3 the page's rows, then 1 GiB of zeros in the same stream (1 MB more); 4 the same with 60 GiB of
// zeros (an answer of 61 MiB); 5 the page, then 40 MiB of image data chunks after its stream's
// end; 6 the page with a text chunk whose CRC is wrong. The counters: the check's peak memory as
// its allocator counted it, the page's size, and whether it was taken for a page.
void BM_CheckPagePng(benchmark::State& state) {
    std::string page;
    switch (state.range(0)) {
        case 0:
            page =
                vask::PngEncoder::encodeRGB(pagePixels(), kWidth, kHeight, kWidth * 3).value_or("");
            break;
        case 1:
        case 2: {
            auto chunks = vask::test::inflatingChunks("zTXt", 32, std::size_t{48} << 20);
            if (state.range(0) == 2) {
                chunks = vask::test::paddingChunk(std::size_t{60} << 20) + chunks;
            }
            page = vask::test::onePixelPage(chunks);
            break;
        }
        case 3:
            page = pageOf(pageStream(1024));
            break;
        case 4:
            page = pageOf(pageStream(60 * 1024));
            break;
        case 5: {
            std::string after;
            for (std::size_t i = 0; i < 40 * kMiB / 8192; ++i) {
                after += vask::test::pngChunk("IDAT", std::string(8192, 'x'));
            }
            page = pageOf(pageStream(0), {}, after);
            break;
        }
        default:
            page = pageOf(pageStream(0), vask::test::damaged(vask::test::pngChunk(
                                             "tEXt", std::string("Comment\0text", 12))));
            break;
    }
    vask::PagePng::Check check;
    for (auto _ : state) {
        check = vask::PagePng::check(page);
        benchmark::DoNotOptimize(check);
    }
    state.counters["peak_kb"] = static_cast<double>(check.peakBytes) / 1024.0;
    state.counters["page_kb"] = static_cast<double>(page.size()) / 1024.0;
    state.counters["is_page"] = check.page ? 1 : 0;
}
BENCHMARK(BM_CheckPagePng)->ArgName("page")->DenseRange(0, 6)->Unit(benchmark::kMillisecond);

}  // namespace
