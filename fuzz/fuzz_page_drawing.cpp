// Feeds arbitrary bytes to PageDrawer as a PDF and draws its first pages in the drawing program,
// under the limits the application uses but shorter deadlines, per page and for the document.
// Whatever the bytes, each page's answer is a PNG, no page, a refusal or one of the drawer's own
// errors; once the document's time is spent every later page says so without being drawn; and
// no drawing process outlives the call.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "quiet_log.h"
#include "sources/page_drawer.h"

namespace {

// Whether a drawing program started by this process is still there. Other children are left
// out: the sanitizer keeps its symbolizer running as one.
bool hasDrawingProcess() {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream children(task.path() / "children");
        std::string pid;
        while (children >> pid) {
            std::ifstream commandLine("/proc/" + pid + "/cmdline");
            std::string program;
            std::getline(commandLine, program, '\0');
            if (program == VASK_FUZZ_PAGE_DRAWER) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vask::fuzz::silenceLogs();
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    vask::PageDrawer::Options options;
    options.program = VASK_FUZZ_PAGE_DRAWER;
    options.pageTimeBudget = std::chrono::seconds(3);
    options.documentTimeBudget = std::chrono::seconds(4);
    try {
        const vask::PageDrawer drawer(bytes, options);
        bool spent = false;
        for (int index = 0; index < 3; ++index) {
            const auto page = drawer.draw(index);
            if (page.png && !page.png->starts_with("\x89PNG\r\n\x1a\n")) {
                std::abort();
            }
            if ((page.refusal && page.refusal->empty()) || (spent && !page.documentTimeSpent) ||
                (page.documentTimeSpent && !page.refusal)) {
                std::abort();
            }
            spent = page.documentTimeSpent;
        }
    } catch (const vask::PageDrawer::Error&) {
    }
    if (hasDrawingProcess()) {
        std::abort();
    }
    return 0;
}
