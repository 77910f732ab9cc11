// vask-page-drawer: draws one page of a PDF into a PNG for PageDrawer, in a process of its own so
// that a page which needs too much memory or time ends only this process.
//
//   vask-page-drawer MEMORY_BYTES CPU_SECONDS PAGE
//
// The PDF is read from standard input (a file, read from its start), the PNG written to standard
// output. The limits are set before the input is read. Exit status: 0 drawn, 2 usage, 3 no such
// page, 4 not a readable PDF, 5 the page cannot be drawn (the reason, a line of text, on standard
// output), 6 out of memory. Past its processor time the process gets SIGXCPU (and SIGKILL a
// second later).
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "sources/page_drawer.h"
#include "sources/pdf_document.h"

namespace {

template <typename Number>
bool parse(std::string_view text, Number& out) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size();
}

bool limit(int resource, rlim_t soft, rlim_t hard) {
    const rlimit bound{soft, hard};
    return ::setrlimit(resource, &bound) == 0;
}

// The whole of standard input from offset 0: the same file serves every page of a document.
bool readInput(std::string& out) {
    struct stat info {};
    if (::fstat(STDIN_FILENO, &info) != 0 || info.st_size < 0) {
        return false;
    }
    out.resize(static_cast<std::size_t>(info.st_size));
    std::size_t filled = 0;
    while (filled < out.size()) {
        const auto n = ::pread(STDIN_FILENO, out.data() + filled, out.size() - filled,
                               static_cast<off_t>(filled));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        filled += static_cast<std::size_t>(n);
    }
    return true;
}

bool writeAll(std::string_view bytes) {
    while (!bytes.empty()) {
        const auto n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

int run(int argc, char** argv) {
    using Exit = vask::PageDrawer::ExitStatus;
    std::uint64_t memoryBytes = 0;
    unsigned cpuSeconds = 0;
    int page = -1;
    if (argc != 4 || !parse(argv[1], memoryBytes) || !parse(argv[2], cpuSeconds) ||
        !parse(argv[3], page) || cpuSeconds == 0) {
        std::fputs("usage: vask-page-drawer MEMORY_BYTES CPU_SECONDS PAGE < file.pdf\n", stderr);
        return static_cast<int>(Exit::usage);
    }
    // A sanitizer's runtime reserves terabytes of address space before main: there the drawing
    // process is bounded by its resident memory, which the parent watches.
    if ((!vask::PageDrawer::sanitizedBuild && memoryBytes > 0 &&
         !limit(RLIMIT_AS, memoryBytes, memoryBytes)) ||
        !limit(RLIMIT_CPU, cpuSeconds, cpuSeconds + 1)) {
        std::perror("vask-page-drawer: setrlimit");
        return static_cast<int>(Exit::usage);
    }
    std::string bytes;
    if (!readInput(bytes)) {
        return static_cast<int>(Exit::unreadable);
    }
    auto document = vask::PdfDocument::fromData(bytes);
    std::string().swap(bytes);
    if (!document) {
        return static_cast<int>(Exit::unreadable);
    }
    try {
        const auto png = document->renderPagePNG(page);
        if (!png) {
            return static_cast<int>(Exit::noSuchPage);
        }
        return writeAll(*png) ? static_cast<int>(Exit::drawn) : static_cast<int>(Exit::failed);
    } catch (const vask::PdfDocument::RenderError& error) {
        // The reason goes where the image would have gone, for the page's note.
        writeAll(error.what());
        return static_cast<int>(Exit::failed);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // A page nobody waits for any more is not drawn: when the application goes (a kill -9
    // included) this process goes too, rather than drawing on until its processor-time limit.
    // The parent named in VASK_PAGE_DRAWER_PARENT may have gone before this process got here.
    pid_t parent = ::getppid();
    if (const char* named = std::getenv("VASK_PAGE_DRAWER_PARENT"); named != nullptr) {
        parse(named, parent);
    }
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) {
        return static_cast<int>(vask::PageDrawer::ExitStatus::failed);
    }
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        return static_cast<int>(vask::PageDrawer::ExitStatus::outOfMemory);
    }
}
