#include "sources/page_png.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "png_fixture.h"
#include "sources/png_encoder.h"

namespace vask {
namespace {

// The one row of a page of one RGB pixel, its filter first.
const std::string kRow("\0\x20\x40\x60", 4);
// The one row of a page of one grey or palette pixel.
const std::string kGreyRow("\0\x01", 2);

// A page of one RGB pixel whose image data chunks are `imageData`, then `after` before the end,
// with a transparency chunk of `transparency` when there is one.
std::string onePixelWith(const std::string& imageData, const std::string& after = {},
                         const std::optional<std::string>& transparency = std::nullopt) {
    return test::pngHeader(1, 1, 8, 2) +
           (transparency ? test::pngChunk("tRNS", *transparency) : std::string()) + imageData +
           after + test::pngChunk("IEND", "");
}

std::string idat(const std::string& data) {
    return test::pngChunk("IDAT", data);
}

// `stream` in image data chunks of 8 KiB, as libpng writes them.
std::string idats(std::string_view stream) {
    std::string chunks;
    for (std::size_t at = 0; at < stream.size(); at += 8192) {
        chunks += idat(std::string(stream.substr(at, 8192)));
    }
    return chunks;
}

// Pages of every colour type as libpng writes them pass, interlaced or not, and so does a stream
// whose end lies in an image data chunk of its own.
TEST(PagePngTest, PagesOfEveryKindPass) {
    const auto stream = test::zlibOf(kRow);
    struct Case {
        std::string name;
        std::string png;
    };
    const std::vector<Case> cases = {
        {"RGB, as the drawer writes it", test::onePixelPage()},
        {"grey of 1 bit, interlaced", test::writtenPng(13, 7, 1, 0, true)},
        {"grey of 16 bits, interlaced", test::writtenPng(5, 3, 16, 0, true)},
        {"a palette of 2 bits and a transparency, interlaced", test::writtenPng(9, 9, 2, 3, true)},
        {"a palette of 8 bits", test::writtenPng(30, 6, 8, 3, false)},
        {"RGBA of 16 bits, the widest rows, interlaced", test::writtenPng(2000, 3, 16, 6, true)},
        {"grey and alpha, one pixel interlaced", test::writtenPng(1, 1, 8, 4, true)},
        {"the stream's end in a chunk of its own",
         onePixelWith(idat("") + idat(stream.substr(0, stream.size() - 4)) +
                      idat(stream.substr(stream.size() - 4)))},
        {"a transparency of one grey sample",
         test::withChunksAfterHeader(test::writtenPng(4, 4, 8, 0, false),
                                     test::pngChunk("tRNS", std::string(2, '\0')))},
        {"a transparency of one RGB sample", onePixelWith(idat(stream), {}, std::string(6, '\0'))},
        {"as many alphas as the palette has colours",
         test::pngHeader(1, 1, 8, 3) + test::pngChunk("PLTE", std::string(9, '\0')) +
             test::pngChunk("tRNS", std::string(3, '\0')) + idat(test::zlibOf(kGreyRow)) +
             test::pngChunk("IEND", "")},
        {"every byte of its stream in a code of up to 15 bits",
         onePixelWith(idat(test::longCodedStream(std::string("\0\1\2\3", 4))))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(test::decodePng(c.png).has_value());
        const auto check = PagePng::check(c.png);
        EXPECT_TRUE(check.page);
        EXPECT_LE(check.peakBytes, PagePng::memoryBoundBytes);
    }
}

// Refused as soon as what is wrong is seen: image data past the rows is never inflated to its
// end, however far it would go.
TEST(PagePngTest, WhatIsNotAWholePageIsRefusedWithoutInflatingPastItsRows) {
    const auto stream = test::zlibOf(kRow);
    std::string emptyBlocks;
    for (int i = 0; i < 20'000; ++i) {
        emptyBlocks.append("\0\0\0\xff\xff", 5);
    }
    const auto text = test::pngChunk("tEXt", std::string("Comment\0text", 12));
    struct Case {
        std::string name;
        std::string png;
    };
    const std::vector<Case> cases = {
        // A grey page of 1000 x 1000: its rows take a megabyte, so its 1 MB of image data is not
        // too long for them.
        {"image data inflating 1 GiB past its rows", test::pngHeader(1000, 1000, 8, 0) +
                                                         idats(test::zerosAfter("", 1024)) +
                                                         test::pngChunk("IEND", "")},
        {"a stream that does not end with its rows",
         onePixelWith(idat(test::zlibOf(kRow, Z_SYNC_FLUSH)))},
        {"a stream that ends before its rows",
         test::pngHeader(1, 2, 8, 2) + idat(stream) + test::pngChunk("IEND", "")},
        {"image data after the stream's end", onePixelWith(idat(stream) + idat(stream))},
        {"an empty image data chunk after the stream's end", onePixelWith(idat(stream) + idat(""))},
        {"bytes after the stream's end in its chunk", onePixelWith(idat(stream + "x"))},
        {"image data on both sides of another chunk",
         onePixelWith(idat(stream.substr(0, 4)) + text + idat(stream.substr(4)))},
        {"image data longer than its rows could take stored",
         onePixelWith(idat(stream.substr(0, 2) + emptyBlocks + stream.substr(2)))},
        {"a damaged text chunk", test::onePixelPage(test::damaged(text))},
        {"a damaged private chunk", test::onePixelPage(test::damaged(test::pngChunk("prVt", "x")))},
        {"a critical chunk no page has", test::onePixelPage(test::pngChunk("VASK", "x"))},
        {"a damaged image data chunk", onePixelWith(test::damaged(idat(stream)))},
        {"a row with an unknown filter",
         onePixelWith(idat(test::zlibOf(std::string("\x05\x20\x40\x60", 4))))},
        // Each byte in a code of 15 bits: the stream is almost twice as long as the rows it
        // brings, a quarter and 64 KiB more than they take stored.
        {"image data longer than its rows could take stored, each byte in a long code",
         test::pngHeader(2000, 100, 8, 0) +
             idats(test::longCodedStream(std::string(std::size_t{2001} * 100, '\0'))) +
             test::pngChunk("IEND", "")},
        {"a byte after the end", test::onePixelPage() + "x"},
        {"a chunk after the end", test::onePixelPage() + text},
        {"a chunk before the header", test::onePixelPage().insert(8, text)},
        {"a second header",
         test::withChunksAfterHeader(test::onePixelPage(), test::onePixelPage().substr(8, 25))},
        {"no header",
         std::string("\x89PNG\r\n\x1a\n", 8) + idat(stream) + test::pngChunk("IEND", "")},
        {"a palette in a grey page",
         test::withChunksAfterHeader(test::writtenPng(4, 4, 8, 0, false),
                                     test::pngChunk("PLTE", std::string(6, '\0')))},
        {"a palette in a grey page with alpha",
         test::withChunksAfterHeader(test::writtenPng(4, 4, 8, 4, false),
                                     test::pngChunk("PLTE", std::string(6, '\0')))},
        {"a palette page without its palette",
         test::pngHeader(1, 1, 8, 3) + idat(test::zlibOf(kGreyRow)) + test::pngChunk("IEND", "")},
        {"a transparency of a grey sample and a byte",
         test::withChunksAfterHeader(test::writtenPng(4, 4, 8, 0, false),
                                     test::pngChunk("tRNS", std::string(3, '\0')))},
        {"a transparency of one byte in a grey page",
         test::withChunksAfterHeader(test::writtenPng(4, 4, 8, 0, false),
                                     test::pngChunk("tRNS", std::string(1, '\0')))},
        {"a transparency of an RGB sample and a byte",
         onePixelWith(idat(stream), {}, std::string(7, '\0'))},
        {"a transparency of an RGB sample less a byte",
         onePixelWith(idat(stream), {}, std::string(5, '\0'))},
        {"more alphas than the palette has colours",
         test::pngHeader(1, 1, 8, 3) + test::pngChunk("PLTE", std::string(9, '\0')) +
             test::pngChunk("tRNS", std::string(4, '\0')) + idat(test::zlibOf(kGreyRow)) +
             test::pngChunk("IEND", "")},
        {"no alphas", test::pngHeader(1, 1, 8, 3) + test::pngChunk("PLTE", std::string(9, '\0')) +
                          test::pngChunk("tRNS", "") + idat(test::zlibOf(kGreyRow)) +
                          test::pngChunk("IEND", "")},
        {"a transparency before the palette",
         test::pngHeader(1, 1, 8, 3) + test::pngChunk("tRNS", std::string(1, '\0')) +
             test::pngChunk("PLTE", std::string(9, '\0')) + idat(test::zlibOf(kGreyRow)) +
             test::pngChunk("IEND", "")},
        {"a transparency in a page with alpha",
         test::withChunksAfterHeader(test::writtenPng(4, 4, 8, 6, false),
                                     test::pngChunk("tRNS", std::string(6, '\0')))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto check = PagePng::check(c.png);
        EXPECT_FALSE(check.page);
        EXPECT_FALSE(check.stopped);
    }
}

// Deflate blocks that bring no rows cost the inflater as much as those that do: a stream is
// refused at the first block past PagePng::blocksAhead and one more for each
// PagePng::bytesPerBlock of rows inflated, whether its empty blocks lead, follow or fill it.
TEST(PagePngTest, AStreamOfMoreBlocksThanItsRowsAdmitIsRefusedAtTheFirstBlockPast) {
    using test::EmptyBlock;
    // A grey page of 2000 x 21: 42,021 bytes of rows, which admit blocksAhead + 10 blocks.
    const std::string rows(std::size_t{2001} * 21, '\0');
    const auto rowBlocks = rows.size() / PagePng::bytesPerBlock;
    ASSERT_EQ(rowBlocks, 10U);
    const auto greyPage = [](const std::string& stream) {
        return test::pngHeader(2000, 21, 8, 0) + idats(stream) + test::pngChunk("IEND", "");
    };
    struct Case {
        std::string name;
        std::string png;
        bool page;
    };
    std::vector<Case> cases;
    const std::vector<std::pair<EmptyBlock, std::string>> kinds = {
        {EmptyBlock::stored, "stored"},
        {EmptyBlock::fixed, "fixed"},
        {EmptyBlock::dynamic, "dynamic"},
        {EmptyBlock::everyCode, "dynamic of every code"}};
    for (const auto& entry : kinds) {
        const auto kind = entry.first;
        const auto& kindName = entry.second;
        for (const std::size_t more : {0U, 1U}) {
            const auto named = [&](const std::string& what) {
                return std::to_string(more) + " past: " + kindName + " " + what;
            };
            // Every block counts, the last too: here the one that brings the row.
            cases.push_back({named("empty blocks ahead of a pixel's row"),
                             onePixelWith(idat(test::ledByEmptyBlocks(
                                 kind, PagePng::blocksAhead - 1 + more, kRow))),
                             more == 0});
            // Rows still to come admit no block.
            cases.push_back(
                {named("empty blocks ahead of 42,021 bytes of rows"),
                 greyPage(test::ledByEmptyBlocks(kind, PagePng::blocksAhead + more, rows)),
                 more == 0});
            // The rows' block, the flush's empty stored one, the empty ones, and the last.
            cases.push_back({named("empty blocks after 42,021 bytes of rows"),
                             greyPage(test::followedByEmptyBlocks(
                                 kind, PagePng::blocksAhead + rowBlocks - 3 + more, rows)),
                             more == 0});
        }
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto check = PagePng::check(c.png);
        EXPECT_EQ(check.page, c.page);
        EXPECT_FALSE(check.stopped);
    }
}

// What zlib writes at each of its levels and strategies, at its default memory level and at
// those near it, passes; and so does what libpng writes of the same rows, as the drawer has it.
TEST(PagePngTest, WhatZlibAndLibpngWriteOfAPagePasses) {
    // An RGB page of 200 x 300 whose bytes do not repeat, so that zlib ends its blocks after the
    // fewest bytes: 180,300 bytes of rows.
    constexpr std::uint32_t kWidth = 200;
    constexpr std::uint32_t kHeight = 300;
    std::vector<std::uint8_t> pixels(std::size_t{kWidth} * kHeight * 3);
    std::uint32_t state = 1;
    for (auto& byte : pixels) {
        state = state * 1'103'515'245U + 12'345U;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    std::string rows;
    for (std::size_t y = 0; y < kHeight; ++y) {
        rows.push_back('\0');
        rows.append(reinterpret_cast<const char*>(pixels.data()) + y * kWidth * 3, kWidth * 3);
    }
    const auto drawn = PngEncoder::encodeRGB(pixels, kWidth, kHeight, kWidth * 3).value();
    EXPECT_TRUE(PagePng::check(drawn).page);
    for (const int memoryLevel : {6, 7, 8, 9}) {
        for (int level = 0; level <= 9; ++level) {
            for (const int strategy :
                 {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED}) {
                SCOPED_TRACE("memory level " + std::to_string(memoryLevel) + ", level " +
                             std::to_string(level) + ", strategy " + std::to_string(strategy));
                z_stream stream{};
                deflateInit2(&stream, level, Z_DEFLATED, 15, memoryLevel, strategy);
                const auto deflated = test::deflatedWith(stream, rows, Z_FINISH);
                deflateEnd(&stream);
                const auto png = test::pngHeader(kWidth, kHeight, 8, 2) + idats(deflated) +
                                 test::pngChunk("IEND", "");
                EXPECT_TRUE(PagePng::check(png).page);
            }
        }
    }
}

// Whatever a drawer hands back, checking it costs the memory of a plain page's decode: chunks
// beside the image are passed over, however far they would inflate, and a page with a large one
// is refused.
TEST(PagePngTest, CheckingAPageCostsWhatAPlainPageCostsWhateverItsChunks) {
    const auto plain = PagePng::check(test::onePixelPage());
    ASSERT_TRUE(plain.page);
    ASSERT_GT(plain.peakBytes, 0U);
    const std::size_t margin = 16 * 1024;
    constexpr std::size_t kEach = std::size_t{16} * 1024 * 1024;
    struct Case {
        std::string name;
        std::string chunks;
        bool page;
    };
    const std::vector<Case> cases = {
        {"compressed text", test::inflatingChunks("zTXt", 4, kEach), true},
        {"international compressed text", test::inflatingChunks("iTXt", 4, kEach), true},
        {"a colour profile", test::inflatingChunks("iCCP", 1, kEach), true},
        {"plain text and an unknown chunk",
         test::pngChunk("tEXt", std::string("Comment\0text", 12)) +
             test::pngChunk("prVt", std::string(1024, 'x')),
         true},
        {"compressed text in a page as large",
         test::paddingChunk(kEach) + test::inflatingChunks("zTXt", 4, kEach), false},
        {"a colour profile in a page as large",
         test::paddingChunk(kEach) + test::inflatingChunks("iCCP", 1, kEach), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto check = PagePng::check(test::onePixelPage(c.chunks));
        EXPECT_EQ(check.page, c.page);
        EXPECT_FALSE(check.stopped);
        EXPECT_LE(check.peakBytes, plain.peakBytes + margin);
    }
}

// A check that would hold more than its memory bound refuses the page there, whichever of its
// allocations (the row, the inflater's state or its window) would pass the bound.
TEST(PagePngTest, ACheckThatWouldPassItsMemoryBoundRefusesThePage) {
    const std::vector<std::pair<std::string, std::string>> pages = {
        {"one RGB pixel", test::onePixelPage()},
        {"RGBA of 16 bits, the widest rows, interlaced", test::writtenPng(2000, 3, 16, 6, true)},
    };
    for (const auto& [name, png] : pages) {
        SCOPED_TRACE(name);
        const auto needed = PagePng::check(png).peakBytes;
        ASSERT_GT(needed, 0U);
        EXPECT_TRUE(PagePng::check(png, {}, needed).page);
        std::vector<std::size_t> bounds = {needed - 1};
        for (std::size_t bound = 0; bound < needed; bound += 61) {
            bounds.push_back(bound);
        }
        for (const auto bound : bounds) {
            SCOPED_TRACE(bound);
            const auto check = PagePng::check(png, {}, bound);
            EXPECT_FALSE(check.page);
            EXPECT_FALSE(check.stopped);
            EXPECT_LE(check.peakBytes, bound);
        }
    }
}

// A stop requested while a page is checked ends the decode at its next read: within a chunk
// passed over or a few kilobytes of image data.
TEST(PagePngTest, AStopEndsTheCheckOfAPage) {
    const auto page = test::onePixelPage(test::inflatingChunks("zTXt", 2, std::size_t{1} << 20));
    std::stop_source stop;
    stop.request_stop();
    const auto check = PagePng::check(page, stop.get_token());
    EXPECT_TRUE(check.stopped);
    EXPECT_FALSE(check.page);
}

}  // namespace
}  // namespace vask
