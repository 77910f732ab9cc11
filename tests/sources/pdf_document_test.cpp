#include "sources/pdf_document.h"

#include <gtest/gtest.h>

#include <array>

#include "pdf_fixture.h"
#include "platform/file_io.h"
#include "png_fixture.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

TEST(PdfDocumentTest, PixelSizeMakesTheLongerSide2000) {
    struct Case {
        double width;
        double height;
        PdfDocument::PixelSize expected;
    };
    const std::vector<Case> cases = {
        {612, 792, {1546, 2000}},    // letter, portrait
        {842, 595, {2000, 1414}},    // A4, landscape
        {500, 500, {2000, 2000}},    // square
        {4000, 2000, {2000, 1000}},  // larger than the target: scaled down
        {10000, 1, {2000, 1}},       // a sliver keeps at least one pixel
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        EXPECT_EQ(PdfDocument::pixelSize(c.width, c.height), c.expected);
    }
}

TEST(PdfDocumentTest, RendersPagesAtTheExactPixelSize) {
    struct Case {
        int width;
        int height;
        std::pair<int, int> pixels;
    };
    const std::vector<Case> cases = {{612, 792, {1546, 2000}}, {842, 595, {2000, 1414}}};
    for (const auto& c : cases) {
        test::TempDir dir;
        writeFileAtomically(dir / "page.pdf", test::minimalPdf(2, c.width, c.height));
        const auto document = PdfDocument::open(dir / "page.pdf");
        ASSERT_TRUE(document.has_value());
        EXPECT_EQ(document->pageCount(), 2);
        const auto png = document->renderPagePNG(1);
        ASSERT_TRUE(png.has_value());
        EXPECT_EQ(test::pngSize(*png), c.pixels);
    }
}

// One page whose `content` stream is drawn; `box` is its page dictionary's extra entries.
std::string pagePdf(const std::string& box, const std::string& content) {
    return sample::pdfFromObjects({
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R " + box + " /Contents 4 0 R >>",
        "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream",
    });
}

TEST(PdfDocumentTest, PagesAreDrawnAsShownCropBoxAndRotationIncluded) {
    // Black over everything far beyond any box, or over the bottom half of the media box only.
    const std::string allDark = "0 0 0 rg -1000 -1000 4000 4000 re f";
    const std::string bottomDark = "0 0 0 rg -1000 -1000 4000 1150 re f";
    struct Case {
        const char* name;
        std::string box;
        std::string content;
        std::pair<int, int> pixels;
        // Brightness at the four corners: top left, top right, bottom left, bottom right.
        std::array<bool, 4> dark;
    };
    const std::vector<Case> cases = {
        {"plain page", "/MediaBox [0 0 600 300]", allDark, {2000, 1000}, {true, true, true, true}},
        {"half-size crop box",
         "/MediaBox [0 0 600 800] /CropBox [100 200 400 600]",
         allDark,
         {1500, 2000},
         {true, true, true, true}},
        {"turned a quarter",
         "/MediaBox [0 0 600 300] /Rotate 90",
         allDark,
         {1000, 2000},
         {true, true, true, true}},
        {"turned three quarters with a crop box",
         "/MediaBox [0 0 600 800] /CropBox [0 100 600 400] /Rotate 270",
         allDark,
         {1000, 2000},
         {true, true, true, true}},
        {"bottom half upright",
         "/MediaBox [0 0 300 300]",
         bottomDark,
         {2000, 2000},
         {false, false, true, true}},
        {"bottom half turned a quarter",
         "/MediaBox [0 0 300 300] /Rotate 90",
         bottomDark,
         {2000, 2000},
         {true, false, true, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto document = PdfDocument::fromData(pagePdf(c.box, c.content));
        ASSERT_TRUE(document.has_value());
        const auto png = document->renderPagePNG(0);
        ASSERT_TRUE(png.has_value());
        const auto image = test::decodePng(*png);
        ASSERT_TRUE(image.has_value());
        EXPECT_EQ(std::make_pair(image->width, image->height), c.pixels);
        const int right = image->width - 1;
        const int bottom = image->height - 1;
        const auto corners = image->corners();
        for (std::size_t i = 0; i < corners.size(); ++i) {
            const auto [x, y] = corners[i];
            SCOPED_TRACE("corner " + std::to_string(i));
            EXPECT_EQ(image->brightness(x, y) < 64, c.dark[i]) << image->brightness(x, y);
        }
        // Edge to edge: the middle of each side agrees with its corners where they agree.
        if (c.dark == std::array<bool, 4>{true, true, true, true}) {
            for (const auto& [x, y] :
                 {std::pair{right / 2, 0}, std::pair{right / 2, bottom}, std::pair{0, bottom / 2},
                  std::pair{right, bottom / 2}, std::pair{right / 2, bottom / 2}}) {
                EXPECT_LT(image->brightness(x, y), 64) << x << "," << y;
            }
        }
    }
}

TEST(PdfDocumentTest, MissingPagesAndDamagedFilesGiveNothing) {
    test::TempDir dir;
    writeFileAtomically(dir / "one.pdf", test::minimalPdf(1));
    const auto document = PdfDocument::open(dir / "one.pdf");
    ASSERT_TRUE(document.has_value());
    EXPECT_FALSE(document->renderPagePNG(1).has_value());
    EXPECT_FALSE(document->renderPagePNG(-1).has_value());

    const std::vector<std::pair<std::string, std::string>> unreadable = {
        {"damaged.pdf", "%PDF-1.4\nthis is not a document"},
        {"empty.pdf", ""},
        {"text.pdf", "hello"},
    };
    for (const auto& [name, contents] : unreadable) {
        SCOPED_TRACE(name);
        writeFileAtomically(dir / name, contents);
        EXPECT_FALSE(PdfDocument::open(dir / name).has_value());
    }
    EXPECT_FALSE(PdfDocument::open(dir / "absent.pdf").has_value());
}

}  // namespace
}  // namespace vask
