// What checking a drawer's answer costs Vask (PagePng::check): a page as the drawer writes it,
// beside answers that carry more than a page.
#include <benchmark/benchmark.h>

#include <zlib.h>

#include <cstdint>
#include <string>
#include <string_view>
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

// The page's rows, each unfiltered.
std::string pageRows() {
    const auto pixels = pagePixels();
    const std::size_t rowBytes = static_cast<std::size_t>(kWidth) * 3;
    std::string rows;
    for (std::size_t y = 0; y < kHeight; ++y) {
        rows.push_back('\0');
        rows.append(reinterpret_cast<const char*>(pixels.data()) + y * rowBytes, rowBytes);
    }
    return rows;
}

// The page's rows in a zlib stream of level 3, as the drawer's encoder writes; with `zeroMiB`,
// that many MiB of zeros follow the rows in the same stream.
std::string pageStream(std::size_t zeroMiB) {
    const auto rows = pageRows();
    return zeroMiB == 0 ? vask::test::zlibOf(rows, Z_FINISH, 3)
                        : vask::test::zerosAfter(rows, zeroMiB, 3);
}

// The most image data the check reads for the page's rows: a quarter more and 64 KiB.
std::size_t imageDataBound() {
    const std::size_t rows = std::size_t{kHeight} * (std::size_t{kWidth} * 3 + 1);
    return rows + rows / 4 + 64 * 1024;
}

// The page's rows at level 3 led by as many empty blocks of `kind` as the image data bound
// leaves room for.
std::string ledUpToTheBound(vask::test::EmptyBlock kind) {
    const auto rows = pageRows();
    const auto plain = vask::test::ledByEmptyBlocks(kind, 1, rows, 3);
    vask::test::DeflateBits one;
    vask::test::putEmptyBlock(one, kind);
    const auto bits = kind == vask::test::EmptyBlock::stored
                          ? std::size_t{40}
                          : one.bytes().size() * 8 + static_cast<std::size_t>(one.tailBits());
    // The last block of the lead is stored: 5 bytes and the bits to the byte.
    const auto room = (imageDataBound() - plain.size() - 8) * 8;
    return vask::test::ledByEmptyBlocks(kind, room / bits, rows, 3);
}

// The page's rows at level 3 with as many empty dynamic blocks of every code as the check
// admits: PagePng::blocksAhead before the rows, then one after each 2 x PagePng::bytesPerBlock
// of them (zlib ends a block there), the last of them in the last block.
std::string mostBlocksAdmitted() {
    const auto pageBytes = pageRows();
    const std::string_view rows(pageBytes);
    vask::test::DeflateBits block;
    vask::test::putEmptyBlock(block, vask::test::EmptyBlock::everyCode);
    z_stream stream{};
    deflateInit2(&stream, 3, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    const auto putBlock = [&] {
        for (const char byte : block.bytes()) {
            deflatePrime(&stream, 8, static_cast<unsigned char>(byte));
        }
        deflatePrime(&stream, block.tailBits(), static_cast<int>(block.tail()));
    };
    std::string out("\x78\x5e", 2);
    std::vector<Bytef> buffer(std::size_t{1} << 16);
    const auto deflateSome = [&](std::string_view raw, int flush) {
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
        stream.avail_in = static_cast<uInt>(raw.size());
        do {
            stream.next_out = buffer.data();
            stream.avail_out = static_cast<uInt>(buffer.size());
            deflate(&stream, flush);
            out.append(reinterpret_cast<const char*>(buffer.data()),
                       buffer.size() - stream.avail_out);
        } while (stream.avail_out == 0);
    };
    for (std::size_t i = 0; i < vask::PagePng::blocksAhead; ++i) {
        putBlock();
    }
    const auto segment = 2 * vask::PagePng::bytesPerBlock;
    for (std::size_t at = 0; at < rows.size(); at += segment) {
        const bool last = at + segment >= rows.size();
        deflateSome(rows.substr(at, segment), last ? Z_FINISH : Z_BLOCK);
        if (!last) {
            putBlock();
        }
    }
    deflateEnd(&stream);
    vask::test::putAdler(out, rows);
    return out;
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
// end; 6 the page with a text chunk whose CRC is wrong; 7 the page's rows as 3 and 4 have them
// (level 3, unfiltered), in one stream; 8, 9 and 10 the same led by empty dynamic, fixed and
// stored blocks up to the bound on image data; 11 the same rows with the most empty blocks the
// check admits, each dynamic with every code. The counters: the check's peak memory as its
// allocator counted it, the page's size, and whether it was taken for a page.
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
        case 6:
            page = pageOf(pageStream(0), vask::test::damaged(vask::test::pngChunk(
                                             "tEXt", std::string("Comment\0text", 12))));
            break;
        case 7:
            page = pageOf(pageStream(0));
            break;
        case 8:
            page = pageOf(ledUpToTheBound(vask::test::EmptyBlock::dynamic));
            break;
        case 9:
            page = pageOf(ledUpToTheBound(vask::test::EmptyBlock::fixed));
            break;
        case 10:
            page = pageOf(ledUpToTheBound(vask::test::EmptyBlock::stored));
            break;
        default:
            page = pageOf(mostBlocksAdmitted());
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
BENCHMARK(BM_CheckPagePng)->ArgName("page")->DenseRange(0, 11)->Unit(benchmark::kMillisecond);

}  // namespace
