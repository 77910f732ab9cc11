// Feeds arbitrary bytes to PageDrawer as a PDF and draws its first page in the drawing program,
// under the limits the application uses but a shorter deadline. Whatever the bytes, the answer is
// a PNG, no page, a refusal or one of the drawer's own errors, and no drawing process outlives
// the call.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "quiet_log.h"
#include "sources/page_drawer.h"
#include "sources/pdf_document.h"

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
    try {
        const vask::PageDrawer drawer(bytes, options);
        const auto page = drawer.draw(0);
        if (page.png && !page.png->starts_with("\x89PNG\r\n\x1a\n")) {
            std::abort();
        }
        if (page.refusal && page.refusal->empty()) {
            std::abort();
        }
    } catch (const vask::PageDrawer::Error&) {
    } catch (const vask::PdfDocument::RenderError&) {
    }
    if (hasDrawingProcess()) {
        std::abort();
    }
    return 0;
}
