#include "sources/page_drawer.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "pdf_fixture.h"
#include "platform/unique_fd.h"
#include "png_fixture.h"
#include "sources/page_png.h"
#include "sources/pdf_document.h"
#include "support/eventually.h"
#include "support/peak_heap.h"
#include "support/process_state.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

// Budgets no busy machine misses: a budget's end is met by a drawer that waits.
PageDrawer::Options drawerOptions() {
    PageDrawer::Options options;
    options.program = VASK_PAGE_DRAWER;
    options.pageTimeBudget = std::chrono::minutes(10);
    options.documentTimeBudget = std::chrono::minutes(20);
    return options;
}

// The stand-in drawer's page (from 1) on which it runs without the confinement.
constexpr int kProbeUnconfined = 1;

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
        std::string program;
        std::string pdf;
        int page;
        std::optional<std::pair<int, int>> pixels;
        std::optional<std::string> refusal;
    };
    const std::vector<Case> cases = {
        {"plain page", VASK_PAGE_DRAWER, test::minimalPdf(2), 1, std::pair{1546, 2000},
         std::nullopt},
        {"no such page", VASK_PAGE_DRAWER, test::minimalPdf(2), 2, std::nullopt, std::nullopt},
        {"a million nested graphics-state saves", VASK_PAGE_DRAWER, test::nestedSavesPdf(1'000'000),
         0, std::nullopt, "needs more than 256 MiB of memory to draw"},
        {"a drawer that waits past the page's time", VASK_PAGE_DRAWER_PROBE, "hang",
         kProbeUnconfined, std::nullopt, "takes longer than 2 s to draw"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto options = drawerOptions();
        options.program = c.program;
        if (c.program == VASK_PAGE_DRAWER_PROBE) {
            options.pageTimeBudget = std::chrono::seconds(2);
        }
        const PageDrawer drawer(c.pdf, options);
        const auto page = drawer.draw(c.page);
        EXPECT_EQ(page.exists(), c.pixels || c.refusal);
        EXPECT_EQ(page.refusal, c.refusal);
        EXPECT_EQ(page.png ? std::optional(test::pngSize(*page.png)) : std::nullopt, c.pixels);
        EXPECT_FALSE(hasChildProcess());
    }
}

// A copy of the drawing program whose starts are counted: each exec opens the file, and
// posix_spawn returns only once the exec is done, so every start is seen however soon the
// process is killed.
class CountedDrawer {
  public:
    explicit CountedDrawer(const test::TempDir& dir, const std::filesystem::path& program)
        : program_(dir / "vask-page-drawer"), watch_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        std::filesystem::copy_file(program, program_);
        // With the closes, no two opens follow each other (inotify merges repeated events).
        ::inotify_add_watch(watch_.get(), program_.c_str(), IN_OPEN | IN_CLOSE_NOWRITE);
    }
    const std::filesystem::path& program() const { return program_; }
    int starts() {
        std::array<char, 4096> events{};
        for (ssize_t n = 0; (n = ::read(watch_.get(), events.data(), events.size())) > 0;) {
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events.data() + at);
                starts_ += (event->mask & IN_OPEN) != 0 ? 1 : 0;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return starts_;
    }

  private:
    std::filesystem::path program_;
    UniqueFd watch_;
    int starts_ = 0;
};

TEST(PageDrawerTest, TheDocumentsDrawingTimeBoundsItsPagesTogether) {
    // Each page alone gets its own limit; together they pass the document's. The pages wait
    // (a drawer that closes its output and waits), so each takes its whole limit.
    test::TempDir dir;
    CountedDrawer counted(dir, VASK_PAGE_DRAWER_PROBE);
    auto options = drawerOptions();
    options.program = counted.program();
    options.pageTimeBudget = std::chrono::seconds(2);
    options.documentTimeBudget = std::chrono::seconds(3);
    const PageDrawer drawer("hang", options);
    const auto first = drawer.draw(kProbeUnconfined);
    EXPECT_EQ(first.refusal, "takes longer than 2 s to draw");
    EXPECT_FALSE(first.documentTimeSpent);
    EXPECT_EQ(counted.starts(), 1);
    const auto second = drawer.draw(kProbeUnconfined);
    EXPECT_EQ(second.refusal, "drawing the document takes longer than 3 s");
    EXPECT_TRUE(second.documentTimeSpent);
    EXPECT_EQ(counted.starts(), 2);
    // Spent: no process is started for a later page, nor for a count.
    const auto third = drawer.draw(kProbeUnconfined);
    EXPECT_TRUE(third.documentTimeSpent);
    EXPECT_EQ(third.refusal, "drawing the document takes longer than 3 s");
    EXPECT_THROW(drawer.pageCount(), PageDrawer::Error);
    EXPECT_EQ(counted.starts(), 2);
    EXPECT_FALSE(hasChildProcess());
}

// The check of what a drawer hands back takes the document's time too: a page whose check takes
// the whole of it is handed back, and the next is refused without a drawer started.
TEST(PageDrawerTest, ThePagesCheckTakesTheDocumentsTime) {
    test::TempDir dir;
    CountedDrawer counted(dir, VASK_PAGE_DRAWER_PROBE);
    auto options = drawerOptions();
    options.program = counted.program();
    options.documentTimeBudget = std::chrono::seconds(3);
    options.checkPage = [budget = options.documentTimeBudget](std::string_view bytes,
                                                              std::stop_token stop) {
        std::this_thread::sleep_for(budget);
        return PagePng::check(bytes, std::move(stop));
    };
    const auto page = test::onePixelPage();
    const PageDrawer drawer("raw 0 " + page, options);
    const auto first = drawer.draw(kProbeUnconfined);
    ASSERT_TRUE(first.png.has_value()) << first.refusal.value_or("");
    EXPECT_TRUE(*first.png == page);
    const auto second = drawer.draw(kProbeUnconfined);
    EXPECT_TRUE(second.documentTimeSpent);
    EXPECT_EQ(second.refusal, "drawing the document takes longer than 3 s");
    EXPECT_EQ(counted.starts(), 1);
}

TEST(PageDrawerTest, PagesAreCountedByTheDrawingProgram) {
    const auto options = drawerOptions();
    EXPECT_EQ(PageDrawer(test::minimalPdf(3), options).pageCount(), 3);
    EXPECT_EQ(PageDrawer(test::minimalPdf(1), options).pageCount(), 1);
    EXPECT_THROW(PageDrawer("%PDF-1.4 garbage", options).pageCount(), PageDrawer::Unreadable);
    // Counting reads no page's content: a page too costly to draw is counted.
    EXPECT_EQ(PageDrawer(test::nestedSavesPdf(1'000'000), options).pageCount(), 1);
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

// Through a stand-in drawer: a page whose chunks would inflate to 256 MiB is handed back as it
// was written, one made as large as they would inflate is refused, and Vask holds no more for
// either than the bytes it read.
TEST(PageDrawerTest, APageWithInflatingChunksCostsVaskOnlyItsBytes) {
    constexpr std::size_t kEach = std::size_t{16} * 1024 * 1024;
    struct Case {
        std::string name;
        std::string page;
        bool handedBack;
    };
    const std::vector<Case> cases = {
        {"small", test::onePixelPage(test::inflatingChunks("zTXt", 16, kEach)), true},
        {"as large",
         test::onePixelPage(test::paddingChunk(kEach) + test::inflatingChunks("zTXt", 16, kEach)),
         false},
    };
    auto options = drawerOptions();
    options.program = VASK_PAGE_DRAWER_PROBE;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const PageDrawer drawer("raw 0 " + c.page, options);
        PageDrawer::Page drawn;
        const auto peak = test::peakHeapGrowth([&] { drawn = drawer.draw(kProbeUnconfined); });
        EXPECT_EQ(drawn.png.has_value(), c.handedBack) << drawn.refusal.value_or("");
        if (drawn.png) {
            EXPECT_TRUE(*drawn.png == c.page);
        } else {
            EXPECT_EQ(drawn.refusal,
                      "makes the drawing program write something other than a page image");
        }
        if (peak) {
            // The output as read (a buffer that grew to it) and the page made of it.
            EXPECT_LT(*peak, 3 * c.page.size() + PagePng::memoryBoundBytes);
        }
    }
}

// The processor time `pid` has used, in clock ticks.
long cpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    long user = 0;
    long system = 0;
    // State, then ten fields before utime and stime.
    for (int i = 0; i < 11 && fields >> field; ++i) {
    }
    fields >> user >> system;
    return user + system;
}

// The drawing process goes with the process that started it, however that one ends, rather than
// drawing on for nobody until its processor-time limit.
TEST(PageDrawerTest, TheDrawingEndsWithAKilledParent) {
    test::TempDir dir;
    const auto pdf = dir / "slow.pdf";
    std::ofstream(pdf, std::ios::binary) << test::manyLinesPdf(400'000);
    const auto pidFile = (dir / "drawer.pid").string();
    // The shell stands in for the application: it starts the drawer and is killed.
    const std::string script =
        "VASK_PAGE_DRAWER_PARENT=$$ \"$0\" 0 300 0 <\"$1\" >/dev/null & echo $! >\"$2\"; wait";
    const pid_t parent = ::fork();
    if (parent == 0) {
        ::execl("/bin/sh", "sh", "-c", script.c_str(), VASK_PAGE_DRAWER, pdf.c_str(),
                pidFile.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(parent, 0);
    pid_t drawer = -1;
    // Drawing for a second of processor time: well past its start.
    const bool started = test::eventually([&] {
        std::ifstream in(pidFile);
        return (drawer > 0 || static_cast<bool>(in >> drawer)) &&
               cpuTicks(drawer) >= ::sysconf(_SC_CLK_TCK);
    });
    ::kill(parent, SIGKILL);
    ::waitpid(parent, nullptr, 0);
    ASSERT_TRUE(started);
    EXPECT_TRUE(test::eventually([&] { return test::processGone(drawer); }))
        << "the drawer outlived the process that started it";
    ::kill(drawer, SIGKILL);
}

}  // namespace
}  // namespace vask
