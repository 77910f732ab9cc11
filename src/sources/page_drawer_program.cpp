#include "sources/page_drawer_program.h"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string_view>

#include "sources/drawer_confinement.h"
#include "sources/page_drawer.h"
#include "sources/pdf_document.h"

namespace vask {
namespace {

using Exit = PageDrawer::ExitStatus;

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

// The address space this process has mapped, in bytes.
rlim_t mappedBytes() {
    std::FILE* statm = std::fopen("/proc/self/statm", "re");
    unsigned long long pages = 0;
    if (statm != nullptr) {
        if (std::fscanf(statm, "%llu", &pages) != 1) {
            pages = 0;
        }
        std::fclose(statm);
    }
    return static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
}

// poppler ends the process with abort() when an allocation fails under the address-space limit:
// that abort is said as out of memory; any other ends the process with SIGABRT as it would.
extern "C" void onAbort(int) {
    if (errno == ENOMEM) {
        ::_exit(static_cast<int>(Exit::outOfMemory));
    }
    std::signal(SIGABRT, SIG_DFL);
    std::raise(SIGABRT);
}

int fail(const PageDrawerProgram::Reason& reason, Exit status) {
    PageDrawerProgram::answer(reason.word);
    return static_cast<int>(status);
}

int start(int argc, char** argv, bool confine, const PageDrawerProgram::Work& work) {
    std::uint64_t memoryBytes = 0;
    unsigned cpuSeconds = 0;
    int page = -1;
    if (argc != 4 || !parse(argv[1], memoryBytes) || !parse(argv[2], cpuSeconds) ||
        (std::string_view(argv[3]) != "count" && !parse(argv[3], page)) || cpuSeconds == 0) {
        std::fputs("usage: vask-page-drawer MEMORY_BYTES CPU_SECONDS PAGE|count < file.pdf\n",
                   stderr);
        return static_cast<int>(Exit::usage);
    }
    // A sanitizer's runtime reserves terabytes of address space before main: there the drawing
    // process may map `memoryBytes` past what it holds now (its resident memory, which the
    // parent watches, bounds what the runtime's own reservations hand out).
    const auto addressSpace =
        PageDrawer::sanitizedBuild ? mappedBytes() + memoryBytes : memoryBytes;
    if ((memoryBytes > 0 && !limit(RLIMIT_AS, addressSpace, addressSpace)) ||
        !limit(RLIMIT_CPU, cpuSeconds, cpuSeconds + 1) || !limit(RLIMIT_CORE, 0, 0) ||
        // One process: what it would start could be neither watched nor ended with it.
        !limit(RLIMIT_NPROC, 0, 0)) {
        std::perror("vask-page-drawer: setrlimit");
        return static_cast<int>(Exit::usage);
    }
    // Whoever started it, nothing but its input and output stays open (PageDrawer passes no
    // more; a shell would).
    if (::syscall(SYS_close_range, 3U, ~0U, 0U) != 0) {
        std::perror("vask-page-drawer: close_range");
        return static_cast<int>(Exit::usage);
    }
    std::string bytes;
    if (!readInput(bytes)) {
        return static_cast<int>(Exit::unreadable);
    }
    try {
        DrawerConfinement::loadFonts();
    } catch (const DrawerConfinement::Error&) {
        return fail(PageDrawerProgram::fontsNotLoaded, Exit::failed);
    }
    if (confine) {
        int ceiling = -1;
        if (const char* named = std::getenv(PageDrawerProgram::abiCeilingVariable)) {
            parse(named, ceiling);
        }
        try {
            DrawerConfinement::apply(ceiling);
        } catch (const DrawerConfinement::NoLandlock&) {
            return fail(PageDrawerProgram::noLandlock, Exit::unconfined);
        } catch (const DrawerConfinement::Error&) {
            return fail(PageDrawerProgram::notConfined, Exit::unconfined);
        }
    }
    return work(std::move(bytes), argv[3]);
}

}  // namespace

bool PageDrawerProgram::answer(std::string_view bytes) {
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

int PageDrawerProgram::draw(std::string document, const std::string& what) {
    // Nobody reads this process's messages (its standard error is /dev/null).
    PdfDocument::discardPopplerMessages();
    auto opened = PdfDocument::fromData(document);
    std::string().swap(document);
    if (!opened) {
        return static_cast<int>(Exit::unreadable);
    }
    if (what == "count") {
        return answer(std::to_string(opened->pageCount()) + "\n") ? static_cast<int>(Exit::drawn)
                                                                  : static_cast<int>(Exit::failed);
    }
    int page = -1;
    parse(what, page);
    try {
        const auto png = opened->renderPagePNG(page);
        if (!png) {
            return static_cast<int>(Exit::noSuchPage);
        }
        return answer(*png) ? static_cast<int>(Exit::drawn) : static_cast<int>(Exit::failed);
    } catch (const PdfDocument::RenderError& error) {
        // The reason goes where the image would have gone, for the page's note, as its word.
        for (const auto& reason : {emptyCropBox, pngNotEncoded}) {
            if (error.what() == reason.text) {
                return fail(reason, Exit::failed);
            }
        }
        return fail(pageNotDrawn, Exit::failed);
    }
}

int PageDrawerProgram::run(int argc, char** argv, bool confine, const Work& work) {
    // A page nobody waits for any more is not drawn: when the application goes (a kill -9
    // included) this process goes too, rather than drawing on until its processor-time limit.
    // The parent named in VASK_PAGE_DRAWER_PARENT may have gone before this process got here.
    pid_t parent = ::getppid();
    if (const char* named = std::getenv("VASK_PAGE_DRAWER_PARENT"); named != nullptr) {
        parse(named, parent);
    }
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) {
        return static_cast<int>(Exit::failed);
    }
    std::signal(SIGABRT, onAbort);
    // Out of memory is said as such; anything else that went wrong is said as that, not left to
    // end the process with SIGABRT (which is how poppler's own allocation failures end it).
    try {
        return start(argc, argv, confine, work);
    } catch (const std::bad_alloc&) {
        return static_cast<int>(Exit::outOfMemory);
    } catch (...) {
        return fail(unexpectedError, Exit::failed);
    }
}

}  // namespace vask
