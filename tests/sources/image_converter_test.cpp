#include "sources/image_converter.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "image_fixture.h"
#include "png_fixture.h"
#include "support/peak_heap.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

void appendLe(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

// A BMP with a 40-byte header (or `headerSize`), `extra` after it (masks, palette) and `rows`
// as stored.
std::string bmp(int width, int height, int bits, std::uint32_t compression,
                const std::string& extra, const std::string& rows, std::uint32_t colours = 0) {
    std::string header;
    appendLe(header, 40, 4);
    appendLe(header, static_cast<std::uint32_t>(width), 4);
    appendLe(header, static_cast<std::uint32_t>(height), 4);
    appendLe(header, 1, 2);
    appendLe(header, static_cast<std::uint32_t>(bits), 2);
    appendLe(header, compression, 4);
    appendLe(header, static_cast<std::uint32_t>(rows.size()), 4);
    appendLe(header, 2835, 4);
    appendLe(header, 2835, 4);
    appendLe(header, colours, 4);
    appendLe(header, 0, 4);
    std::string out = "BM";
    const auto offset = 14 + header.size() + extra.size();
    appendLe(out, static_cast<std::uint32_t>(offset + rows.size()), 4);
    appendLe(out, 0, 4);
    appendLe(out, static_cast<std::uint32_t>(offset), 4);
    return out + header + extra + rows;
}

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (const int v : values) {
        out.push_back(static_cast<char>(v));
    }
    return out;
}

TEST(ImageConverterTest, CommonFormatsBecomePngWithTheirColours) {
    test::TempDir dir;
    const test::TwoTone picture{16, 16, {200, 30, 40}, {20, 60, 220}};
    // Left red, right blue, as the expected colours of the four corners (top left, top right,
    // bottom left, bottom right).
    using Corners = std::array<test::Rgb, 4>;
    const Corners halves = {picture.left, picture.right, picture.left, picture.right};
    const test::Rgb white = {255, 255, 255};
    const test::Rgb red = {255, 0, 0};
    const test::Rgb green = {0, 255, 0};
    const test::Rgb blue = {0, 0, 255};
    struct Case {
        std::string name;
        std::optional<std::string> image;
        std::pair<int, int> size;
        Corners corners;
        int tolerance = 0;
        // A row that is white from edge to edge.
        std::optional<int> whiteRow = std::nullopt;
    };
    const std::vector<Case> cases = {
        {"WebP", test::webpImage(picture), {16, 16}, halves},
        {"TIFF", test::tiffImage(picture, dir / "t.tif"), {16, 16}, halves},
        {"GIF, its transparent second row over white",
         test::gifImage(picture, dir / "g.gif"),
         {16, 16},
         halves,
         0,
         1},
        // Made with the same two halves by libheif's HEVC encoder; lossy, hence the tolerance.
        {"interlaced GIF", test::gifImage(picture, dir / "i.gif", true), {16, 16}, halves, 0, 1},
        {"HEIC",
         readFileIfExists(std::filesystem::path(VASK_SOURCES_TEST_DATA) / "two-tone.heic"),
         {16, 16},
         halves,
         24},
        // 2 x 2, 24 bits, bottom-up: bottom row red, green; top row blue, white.
        {"BMP 24-bit",
         bmp(2, 2, 24, 0, "", bytes({0, 0, 255, 0, 255, 0, 0, 0, 255, 0, 0, 255, 255, 255, 0, 0})),
         {2, 2},
         {blue, white, red, green}},
        // Top-down, 8-bit palette of two colours.
        {"BMP 8-bit palette, top-down",
         bmp(2, -2, 8, 0, bytes({0, 0, 255, 0, 255, 0, 0, 0}), bytes({0, 1, 0, 0, 1, 1, 0, 0}), 2),
         {2, 2},
         {red, blue, blue, blue}},
        // 1 bit per pixel, bottom-up: bottom row 1 0, top row 0 1 (palette black, white).
        {"BMP 1-bit",
         bmp(2, 2, 1, 0, bytes({0, 0, 0, 0, 255, 255, 255, 0}),
             bytes({0x80, 0, 0, 0, 0x40, 0, 0, 0})),
         {2, 2},
         {test::Rgb{0, 0, 0}, white, white, test::Rgb{0, 0, 0}}},
        // 32 bits with an alpha mask: a half-transparent red over white, opaque green.
        {"BMP 32-bit bit fields with alpha",
         bmp(2, 1, 32, 6, bytes({0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0, 0, 0, 0, 255}),
             bytes({0, 0, 255, 128, 0, 255, 0, 255})),
         {2, 1},
         {test::Rgb{255, 127, 127}, green, test::Rgb{255, 127, 127}, green},
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.image.has_value());
        const auto png = ImageConverter::toPNG(*c.image);
        ASSERT_TRUE(png.has_value());
        const auto image = test::decodePng(*png);
        ASSERT_TRUE(image.has_value());
        ASSERT_EQ(std::make_pair(image->width, image->height), c.size);
        if (c.whiteRow) {
            for (int x = 0; x < image->width; ++x) {
                EXPECT_EQ(image->rgb(x, *c.whiteRow), (std::array<int, 3>{255, 255, 255})) << x;
            }
        }
        const auto at = image->corners();
        for (std::size_t i = 0; i < at.size(); ++i) {
            const auto rgb = image->rgb(at[i].first, at[i].second);
            for (int k = 0; k < 3; ++k) {
                EXPECT_LE(std::abs(rgb[k] - c.corners[i][k]), c.tolerance)
                    << "corner " << i << " component " << k;
            }
        }
    }
}

TEST(ImageConverterTest, BytesThatDoNotDecodeGiveNothing) {
    const auto good24 = bmp(2, 2, 24, 0, "", std::string(16, '\0'));
    struct Case {
        std::string name;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"empty", ""},
        {"text", "hello"},
        {"PNG is not converted", "\x89PNG\r\n\x1a\n"},
        {"GIF header only", "GIF89a"},
        {"truncated BMP", good24.substr(0, good24.size() - 3)},
        {"run-length BMP", bmp(2, 2, 8, 1, std::string(8, '\0'), std::string(8, '\0'), 2)},
        {"BMP wider than the pixel cap", bmp(1 << 20, 1 << 20, 24, 0, "", "")},
        {"WebP header only", std::string("RIFF\0\0\0\0WEBPVP8 ", 16)},
        {"TIFF header only", std::string("II*\0\x08\0\0\0", 8)},
    };
    for (const auto& [name, data] : cases) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(ImageConverter::toPNG(data).has_value());
    }
}

// A little-endian TIFF of `width` x `height` RGB pixels in one uncompressed strip of `stripBytes`
// at `stripOffset`, with nothing after its directory: the strip lies beyond the file's end.
std::string truncatedTiff(std::uint32_t width, std::uint32_t height) {
    std::string out("II*\0", 4);
    appendLe(out, 8, 4);
    const std::vector<std::array<std::uint32_t, 3>> entries = {
        {256, 4, width}, {257, 4, height}, {258, 3, 8},
        {259, 3, 1},     {262, 3, 2},      {273, 4, 4096},
        {277, 3, 3},     {278, 4, height}, {279, 4, width * height * 3},
    };
    appendLe(out, static_cast<std::uint32_t>(entries.size()), 2);
    for (const auto& [tag, type, value] : entries) {
        appendLe(out, tag, 2);
        appendLe(out, type, 2);
        appendLe(out, 1, 4);
        appendLe(out, value, 4);
    }
    appendLe(out, 0, 4);
    return out;
}

// The RIFF container and header of a lossless WebP of `width` x `height`, with no pixels after.
std::string losslessWebpHeader(std::uint32_t width, std::uint32_t height) {
    std::string header = "\x2f";
    appendLe(header, (width - 1) | ((height - 1) << 14), 4);
    header += std::string(11, '\0');
    std::string out = "RIFF";
    appendLe(out, static_cast<std::uint32_t>(12 + header.size()), 4);
    out += "WEBPVP8L";
    appendLe(out, static_cast<std::uint32_t>(header.size()), 4);
    return out + header;
}

// Images larger than the vision model's edge come out at that edge, their colours kept, and
// memory follows that size rather than the size a file claims.
TEST(ImageConverterTest, LargeImagesShrinkToTheVisionEdgeWhileDecoding) {
    test::TempDir dir;
    const test::TwoTone wide{4000, 1000, {200, 30, 40}, {20, 60, 220}};
    const test::TwoTone tall{30, 3000, {10, 200, 30}, {250, 250, 0}};
    std::string wideBmpRows;
    for (int y = 0; y < wide.height; ++y) {
        for (int x = 0; x < wide.width; ++x) {
            const auto colour = wide.at(x);
            wideBmpRows += bytes({colour[2], colour[1], colour[0]});
        }
    }
    struct Case {
        std::string name;
        std::string image;
        test::TwoTone picture;
        std::pair<int, int> size;
        int tolerance;
    };
    const std::vector<Case> cases = {
        {"WebP lossy", test::webpImage(wide, 90), wide, {2000, 500}, 24},
        {"WebP lossless", test::webpImage(tall), tall, {20, 2000}, 0},
        {"TIFF", test::tiffImage(wide, dir / "w.tif"), wide, {2000, 500}, 0},
        {"GIF", test::gifImage(tall, dir / "t.gif"), tall, {20, 2000}, 0},
        {"BMP", bmp(wide.width, wide.height, 24, 0, "", wideBmpRows), wide, {2000, 500}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<std::string> png;
        const auto peak = test::peakHeapGrowth([&] { png = ImageConverter::toPNG(c.image); });
        ASSERT_TRUE(png.has_value());
        const auto image = test::decodePng(*png);
        ASSERT_TRUE(image.has_value());
        ASSERT_EQ(std::make_pair(image->width, image->height), c.size);
        // Away from the second row of the GIF (transparent) and the seam between the halves.
        const int y = image->height / 2;
        for (const auto& [x, colour] : {std::pair{image->width / 8, c.picture.left},
                                        std::pair{image->width * 7 / 8, c.picture.right}}) {
            const auto rgb = image->rgb(x, y);
            for (int k = 0; k < 3; ++k) {
                EXPECT_LE(std::abs(rgb[k] - colour[k]), c.tolerance) << x << " component " << k;
            }
        }
        if (peak) {
            // The fitted picture (3 bytes a pixel), its decoding buffer (4) and the PNG.
            const auto fitted = static_cast<std::size_t>(c.size.first) * c.size.second;
            EXPECT_LT(*peak, fitted * 12 + 4 * 1024 * 1024) << "peak heap growth " << *peak;
        }
    }
}

TEST(ImageConverterTest, ClaimedSizesCostNothingUntilThePixelsAreThere) {
    struct Case {
        std::string name;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"TIFF of 8192 x 8192 whose strip is missing", truncatedTiff(8192, 8192)},
        {"lossless WebP over the whole-picture cap", losslessWebpHeader(4100, 4100)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<std::string> png;
        const auto peak = test::peakHeapGrowth([&] { png = ImageConverter::toPNG(c.bytes); });
        EXPECT_FALSE(png.has_value());
        if (peak) {
            EXPECT_LT(*peak, 1024 * 1024) << "peak heap growth " << *peak;
        }
    }
}

}  // namespace
}  // namespace vask
