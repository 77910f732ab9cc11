#include "sources/page_drawer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <memory>
#include <system_error>
#include <utility>
#include <vector>

#include "foundation/application_secrets.h"
#include "platform/child_output_reader.h"
#include "platform/child_spawn.h"
#include "platform/landlock.h"
#include "sources/page_drawer_program.h"
#include "sources/page_png.h"

namespace vask {
namespace {

using SteadyClock = std::chrono::steady_clock;

// A PNG of 2000 x 2000 pixels is about 12 MB at worst; anything much larger is not a page.
constexpr std::size_t kMaxPngBytes = std::size_t{64} * 1024 * 1024;
// How often the resident memory of the drawing process is looked at.
constexpr std::chrono::milliseconds kWatchInterval{10};

std::string mebibytes(std::uint64_t bytes) {
    return std::to_string(bytes / (std::uint64_t{1024} * 1024)) + " MiB";
}

std::string seconds(std::chrono::milliseconds time) {
    const auto tenths = (time.count() + 99) / 100;
    auto text = std::to_string(tenths / 10);
    if (tenths % 10 != 0) {
        text.append(".").append(std::to_string(tenths % 10));
    }
    return text + " s";
}

// The resident memory of `pid` in bytes, or 0 when it cannot be read.
std::uint64_t residentBytes(pid_t pid) {
    std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
    std::uint64_t size = 0;
    std::uint64_t resident = 0;
    if (!(statm >> size >> resident)) {
        return 0;
    }
    return resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

std::unique_ptr<ChildProcess> spawn(const std::filesystem::path& program,
                                    const std::vector<std::string>& arguments,
                                    const std::vector<std::string>& environment, int input,
                                    int output) {
    ChildSpawn child;
    child.program = program;
    child.arguments = arguments;
    child.environment = environment;
    child.withheld = isApplicationSecret;
    child.standard = {input, output, -1};
    child.ownProcessGroup = true;
    try {
        return std::make_unique<ChildProcess>(child);
    } catch (const std::system_error& error) {
        throw PageDrawer::Error("the page drawing program " + program.string() +
                                " could not be started: " + error.code().message());
    }
}

// Whether the drawing program reads `name`: where fonts and their caches are found (home, XDG
// folders, fontconfig), the locale (the default language of fonts), and the sanitizers' options.
bool drawerReads(std::string_view name) {
    static constexpr std::string_view kNames[] = {
        "HOME",
        "XDG_DATA_HOME",
        "XDG_CONFIG_HOME",
        "XDG_CACHE_HOME",
        "XDG_DATA_DIRS",
        "XDG_CONFIG_DIRS",
        "FONTCONFIG_FILE",
        "FONTCONFIG_PATH",
        "FONTCONFIG_SYSROOT",
        "LANG",
        "LANGUAGE",
    };
    if (name.starts_with("LC_")) {
        return true;
    }
    if (PageDrawer::sanitizedBuild &&
        (name == "UBSAN_OPTIONS" || name == "LSAN_OPTIONS" || name == "ASAN_SYMBOLIZER_PATH")) {
        return true;
    }
    return std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames);
}

}  // namespace

std::vector<std::string> PageDrawer::programEnvironment(const Environment& environment,
                                                        int landlockAbiCeiling) {
    std::vector<std::string> out;
    for (const auto& [name, value] : environment) {
        if (drawerReads(name)) {
            out.push_back(std::string(name).append("=").append(value));
        }
    }
    if (sanitizedBuild) {
        // A small quarantine of freed memory: resident memory is the drawing program's bound in
        // these builds, and the default quarantine alone would count 256 MiB against a page. No
        // leak check at exit, whose tracer would be a second process: the drawer may start none.
        // An allocation past the limits fails as it does without the sanitizer (ThreadSanitizer
        // has neither quarantine nor leak check).
        constexpr const char* kOwn =
            threadSanitizedBuild ? "allocator_may_return_null=1"
                                 : "quarantine_size_mb=8:thread_local_quarantine_size_kb=256:"
                                   "detect_leaks=0:allocator_may_return_null=1";
        const auto given = environment.find(sanitizerOptionsVariable);
        out.push_back(std::string(sanitizerOptionsVariable) + "=" +
                      (given == environment.end() ? std::string() : given->second + ":") + kOwn);
    }
    // Who started it, so that the drawing process knows it has lost this one even when it went
    // before the drawing process could ask to go with it (page_drawer_program.cpp).
    out.push_back("VASK_PAGE_DRAWER_PARENT=" + std::to_string(::getpid()));
    if (landlockAbiCeiling >= 0) {
        out.push_back(std::string(PageDrawerProgram::abiCeilingVariable) + "=" +
                      std::to_string(landlockAbiCeiling));
    }
    return out;
}

PageDrawer::PageDrawer(std::string_view pdfBytes, Options options)
    : options_(std::move(options)),
      document_(::memfd_create("vask-page-document", MFD_CLOEXEC | MFD_ALLOW_SEALING)) {
    if (!document_.isOpen()) {
        throw Error(std::string("no anonymous file for the document: ") + std::strerror(errno));
    }
    while (!pdfBytes.empty()) {
        const auto n = ::write(document_.get(), pdfBytes.data(), pdfBytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw Error(std::string("the document could not be handed over: ") +
                        std::strerror(errno));
        }
        pdfBytes.remove_prefix(static_cast<std::size_t>(n));
    }
    // Sealed: a drawing process that a page took over cannot change what later pages read.
    if (::fcntl(document_.get(), F_ADD_SEALS,
                F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) != 0) {
        throw Error(std::string("the document could not be sealed: ") + std::strerror(errno));
    }
}

std::filesystem::path PageDrawer::besideExecutable() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (error ? std::filesystem::path() : self.parent_path()) / "vask-page-drawer";
}

namespace {

// The reason the drawing program gave, by its word; nothing for anything else it wrote.
std::optional<std::string> drawersReason(std::string_view written) {
    if (const auto reason = PageDrawerProgram::reasonNamed(written)) {
        return std::string(reason->text);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> PageDrawer::SystemRecord::unconfinedReason(int abiCeiling) const {
    const auto abi = abiCeiling < 0 ? kernelAbi_() : std::min(kernelAbi_(), abiCeiling);
    if (abi < 1) {
        return std::string(PageDrawerProgram::noLandlock.text);
    }
    return std::nullopt;
}

PageDrawer::SystemRecord::SystemRecord(std::function<int()> kernelAbi)
    : kernelAbi_(std::move(kernelAbi)) {}

const std::shared_ptr<PageDrawer::SystemRecord>& PageDrawer::SystemRecord::ofThisProgram() {
    static const auto record = std::make_shared<SystemRecord>();
    return record;
}

bool PageDrawer::SystemRecord::tellOnce() {
    const std::lock_guard lock(mutex_);
    return !std::exchange(told_, true);
}

PageDrawer::Page PageDrawer::draw(int index, std::stop_token stop) const {
    return run(std::to_string(index), true, stop);
}

int PageDrawer::pageCount(std::stop_token stop) const {
    const auto answer = run("count", false, stop);
    int count = 0;
    if (answer.png) {
        const auto& text = *answer.png;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
        if (error == std::errc() && count >= 0 &&
            std::string_view(end, text.data() + text.size()) == "\n") {
            return count;
        }
        throw Error("the page drawing program gave no page count");
    }
    if (answer.documentTimeSpent) {
        throw Error("its pages could not be counted: " + answer.refusal.value_or(""));
    }
    throw Error("its pages could not be counted: it " + answer.refusal.value_or("cannot be read"));
}

PageDrawer::Page PageDrawer::run(const std::string& what, bool page, std::stop_token stop) const {
    if (stop.stop_requested()) {
        throw Cancelled();
    }
    if (const auto reason = options_.system->unconfinedReason(options_.landlockAbiCeiling)) {
        throw Unconfined(*reason);
    }
    const auto documentBudget = options_.documentTimeBudget;
    const auto documentLeft =
        std::chrono::duration_cast<std::chrono::milliseconds>(documentBudget - spent_);
    const auto documentTooSlow =
        "drawing the document takes longer than " + seconds(documentBudget);
    if (documentLeft.count() <= 0) {
        return {std::nullopt, documentTooSlow, true};
    }
    const auto started = SteadyClock::now();
    struct Spent {
        std::chrono::steady_clock::duration& total;
        SteadyClock::time_point started;
        ~Spent() { total += SteadyClock::now() - started; }
    } spent{spent_, started};
    std::array<int, 2> pipeFds{};
    if (::pipe2(pipeFds.data(), O_CLOEXEC) != 0) {
        throw Error(std::string("no pipe for the page: ") + std::strerror(errno));
    }
    UniqueFd readEnd(pipeFds[0]);
    UniqueFd writeEnd(pipeFds[1]);
    const auto budget = options_.pageTimeBudget;
    const auto cpuSeconds = std::max<long long>(1, (budget.count() + 999) / 1000);
    const auto child =
        spawn(options_.program,
              {std::to_string(options_.memoryLimitBytes), std::to_string(cpuSeconds), what},
              programEnvironment(options_.environment, options_.landlockAbiCeiling),
              document_.get(), writeEnd.get());
    writeEnd.reset();

    const auto tooSlow = "takes longer than " + seconds(budget) + " to draw";
    const auto tooLarge =
        "needs more than " + mebibytes(options_.memoryLimitBytes) + " of memory to draw";
    // The page's own limit, or what is left of the document's when that comes first. It holds
    // until the process has ended, not only its output: one that closes its output and waits
    // (which costs no processor time) is ended here too.
    const bool documentFirst = documentLeft < budget;
    ChildOutputReader::Options reading;
    reading.maxBytes = kMaxPngBytes;
    reading.deadline = started + (documentFirst ? documentLeft : budget);
    if (options_.memoryLimitBytes > 0) {
        reading.watch = [&child, limit = options_.memoryLimitBytes * residentBytesPerByte] {
            return residentBytes(child->pid()) > limit;
        };
        reading.watchInterval = kWatchInterval;
    }
    std::string png;
    std::optional<int> ended;
    try {
        ChildOutputReader reader(std::move(readEnd), *child, stop);
        switch (reader.read(reading)) {
            case ChildOutputReader::End::finished:
                break;
            case ChildOutputReader::End::deadline:
                if (documentFirst) {
                    return {std::nullopt, documentTooSlow, true};
                }
                return {std::nullopt, tooSlow};
            case ChildOutputReader::End::watched:
                return {std::nullopt, tooLarge};
            case ChildOutputReader::End::stopped:
                throw Cancelled();
            case ChildOutputReader::End::pastBound:
            case ChildOutputReader::End::enough:
                return {std::nullopt, "makes the drawing program write more than a page"};
        }
        png = reader.takeOutput();
        ended = reader.status();
    } catch (const std::system_error& error) {
        throw Error(std::string("waiting for the page failed: ") + error.what());
    }

    const int status = *ended;
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        if (signal == SIGXCPU) {
            return {std::nullopt, tooSlow};
        }
        return {std::nullopt,
                "makes the drawing program fail (signal " + std::to_string(signal) + ")"};
    }
    switch (static_cast<ExitStatus>(WEXITSTATUS(status))) {
        case ExitStatus::drawn:
            if (png.empty()) {
                return {std::nullopt, "makes the drawing program write no image"};
            }
            if (page) {
                // Checked while the document's time runs: its time is the page's.
                const auto check = options_.checkPage(png, stop);
                if (check.stopped) {
                    throw Cancelled();
                }
                if (!check.page) {
                    return {std::nullopt,
                            "makes the drawing program write something other than a page image"};
                }
            }
            return {std::move(png), std::nullopt};
        case ExitStatus::noSuchPage:
            return {};
        case ExitStatus::unreadable:
            throw Unreadable();
        case ExitStatus::unconfined: {
            // Whether this system can confine a drawer was asked of its kernel before this one
            // started: a drawer that says it could not, whatever its word or none, failed for
            // this document only, and the next document's drawer is started as this one was.
            const auto reason = drawersReason(png);
            if (reason == PageDrawerProgram::noLandlock.text) {
                throw Error(
                    "the page drawing program failed: it found no Landlock, which this "
                    "system's kernel offers");
            }
            throw Error("the page drawing program failed: it could not confine itself (" +
                        reason.value_or("for a reason it did not say") + ")");
        }
        case ExitStatus::failed: {
            // One damaged page (an empty crop box, say) costs that page, not the document.
            const auto reason = drawersReason(png);
            return {std::nullopt, reason ? "cannot be drawn (" + *reason + ")" : "cannot be drawn"};
        }
        case ExitStatus::outOfMemory:
            return {std::nullopt, tooLarge};
        case ExitStatus::usage:
            break;
    }
    throw Error("the page drawing program " + options_.program.string() + " failed (status " +
                std::to_string(WEXITSTATUS(status)) + ")");
}

}  // namespace vask
