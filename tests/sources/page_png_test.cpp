#include "sources/page_png.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "png_fixture.h"

namespace vask {
namespace {

// The one row of a page of one RGB pixel, its filter first.
const std::string kRow("\0\x20\x40\x60", 4);

// A page of one RGB pixel whose image data chunks are `imageData`, then `after` before the end.
std::string onePixelWith(const std::string& imageData, const std::string& after = {}) {
    return test::pngHeader(1, 1, 8, 2) + imageData + after + test::pngChunk("IEND", "");
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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto check = PagePng::check(c.png);
        EXPECT_FALSE(check.page);
        EXPECT_FALSE(check.stopped);
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
