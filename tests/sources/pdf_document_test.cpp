#include "sources/pdf_document.h"

#include <gtest/gtest.h>

#include "pdf_fixture.h"
#include "platform/file_io.h"
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
