#include "sources/page_drawer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "pdf_fixture.h"
#include "sources/pdf_document.h"
#include "support/eventually.h"

namespace vask {
namespace {

PageDrawer::Options drawerOptions() {
    PageDrawer::Options options;
    options.program = VASK_PAGE_DRAWER;
    options.pageTimeBudget = std::chrono::seconds(2);
    return options;
}

// Whether any thread of this process has a child process.
bool hasChildProcess() {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream children(task.path() / "children");
        std::string pid;
        if (children >> pid) {
            return true;
        }
    }
    return false;
}

TEST(PageDrawerTest, PagesAreDrawnAndHostilePagesRefusedWithTheirReason) {
    struct Case {
        std::string name;
        std::string pdf;
        int page;
        std::optional<std::pair<int, int>> pixels;
        std::optional<std::string> refusal;
    };
    const std::vector<Case> cases = {
        {"plain page", test::minimalPdf(2), 1, std::pair{1546, 2000}, std::nullopt},
        {"no such page", test::minimalPdf(2), 2, std::nullopt, std::nullopt},
        {"a million nested graphics-state saves", test::nestedSavesPdf(1'000'000), 0, std::nullopt,
         "needs more than 256 MiB of memory to draw"},
        {"40,000 wide lines", test::manyLinesPdf(40'000), 0, std::nullopt,
         "takes longer than 2 s to draw"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const PageDrawer drawer(c.pdf, drawerOptions());
        const auto page = drawer.draw(c.page);
        EXPECT_EQ(page.exists(), c.pixels || c.refusal);
        EXPECT_EQ(page.refusal, c.refusal);
        EXPECT_EQ(page.png ? std::optional(test::pngSize(*page.png)) : std::nullopt, c.pixels);
        EXPECT_FALSE(hasChildProcess());
    }
}

TEST(PageDrawerTest, TheDocumentsDrawingTimeBoundsItsPagesTogether) {
    // Each page alone fits its own limit's first part; together they pass the document's.
    auto options = drawerOptions();
    options.documentTimeBudget = std::chrono::seconds(3);
    const PageDrawer drawer(test::manyLinesPdf(40'000), options);
    const auto first = drawer.draw(0);
    EXPECT_EQ(first.refusal, "takes longer than 2 s to draw");
    EXPECT_FALSE(first.documentTimeSpent);
    const auto second = drawer.draw(0);
    EXPECT_EQ(second.refusal, "drawing the document takes longer than 3 s");
    EXPECT_TRUE(second.documentTimeSpent);
    // Spent: no process is started for a later page.
    const auto third = drawer.draw(1);
    EXPECT_TRUE(third.documentTimeSpent);
    EXPECT_FALSE(hasChildProcess());
}

TEST(PageDrawerTest, APageDamagedBeyondDrawingIsRefusedWithTheDrawersReason) {
    const auto pdf = test::contentPdf("0 0 0 rg 10 10 100 100 re f",
                                      "/MediaBox [0 0 612 792] /CropBox [700 800 900 1000]");
    const PageDrawer drawer(pdf, drawerOptions());
    const auto page = drawer.draw(0);
    EXPECT_FALSE(page.png.has_value());
    EXPECT_EQ(page.refusal, "cannot be drawn (page has an empty crop box)");
    EXPECT_FALSE(page.documentTimeSpent);
}

TEST(PageDrawerTest, UnreadableInputsAndAMissingProgramAreErrors) {
    auto missing = drawerOptions();
    missing.program = "/nonexistent/vask-page-drawer";
    EXPECT_THROW(PageDrawer(test::minimalPdf(1), missing).draw(0), PageDrawer::Error);
    EXPECT_THROW(PageDrawer("%PDF-1.4 garbage", drawerOptions()).draw(0), PageDrawer::Error);
}

TEST(PageDrawerTest, AStopEndsTheDrawingUnderWay) {
    auto options = drawerOptions();
    options.pageTimeBudget = std::chrono::minutes(5);
    const PageDrawer drawer(test::manyLinesPdf(400'000), options);
    std::stop_source stop;
    auto drawing = std::async(std::launch::async, [&] { return drawer.draw(0, stop.get_token()); });
    ASSERT_TRUE(test::eventually([] { return hasChildProcess(); }));
    stop.request_stop();
    ASSERT_EQ(drawing.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_THROW(drawing.get(), PageDrawer::Cancelled);
    EXPECT_FALSE(hasChildProcess());
}

}  // namespace
}  // namespace vask
