// The page drawing program's confinement, tried as a PDF that took poppler over would try it:
// a stand-in drawer (vask-page-drawer-probe) starts and confines itself as the drawer does,
// started by PageDrawer as the drawer is, then attempts each thing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "page_drawer_probe.h"
#include "pdf_fixture.h"
#include "platform/child_spawn.h"
#include "platform/landlock.h"
#include "platform/unique_fd.h"
#include "png_fixture.h"
#include "sources/drawer_confinement.h"
#include "sources/page_drawer.h"
#include "support/process_state.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

constexpr int kConfined = 0;
constexpr int kUnconfined = 1;

// A home with a private key and the application's stored credentials in it, and the
// environment of a desktop session around it.
struct Home {
    test::TempDir dir;
    std::filesystem::path key = dir / ".ssh/id_ed25519";
    std::filesystem::path credentials = dir / ".local/share/ai.ternwick.Vask/credentials.json";

    Home() {
        for (const auto& file : {key, credentials}) {
            std::filesystem::create_directories(file.parent_path());
            std::ofstream(file) << "secret";
        }
    }
    Environment environment() const {
        return {{"HOME", dir.path().string()},
                {"XDG_DATA_HOME", (dir / ".local/share").string()},
                {"LANG", "C.UTF-8"},
                {"PATH", "/usr/bin:/bin"},
                {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/run/user/1000/bus"},
                {"VASK_LOG_FILE", (dir / "vask.log").string()},
                {"VASK_RLM_HELPER_CMD", "helper --serve"},
                {"CORVANE_API_KEY", "sk-secret"}};
    }
};

PageDrawer::Options probeOptions(const Home& home, int abiCeiling = -1) {
    PageDrawer::Options options;
    options.program = VASK_PAGE_DRAWER_PROBE;
    // Budgets no busy machine misses: the cases about them set their own.
    options.pageTimeBudget = std::chrono::minutes(5);
    options.documentTimeBudget = std::chrono::minutes(10);
    options.environment = home.environment();
    options.landlockAbiCeiling = abiCeiling;
    return options;
}

// What the probe answered (a page it drew, as it is), or the reason the drawer gave for its end.
std::string tryIt(const PageDrawer::Options& options, const std::string& attempt, int mode) {
    const auto page = PageDrawer(attempt, options).draw(mode);
    if (!page.png) {
        return "ended: " + page.refusal.value_or("nothing");
    }
    const auto image = test::decodePng(*page.png);
    return image ? test::probeAnswer(image->pixels) : "not an image";
}

// A listening socket: TCP on the loopback (its port) or Unix (at `path`).
struct Listener {
    UniqueFd fd;
    std::string address;
};

Listener tcpListener() {
    Listener listener{UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), {}};
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    EXPECT_EQ(::bind(listener.fd.get(), raw, length), 0);
    EXPECT_EQ(::listen(listener.fd.get(), 4), 0);
    EXPECT_EQ(::getsockname(listener.fd.get(), raw, &length), 0);
    listener.address = std::to_string(ntohs(address.sin_port));
    return listener;
}

Listener unixListener(const std::filesystem::path& path) {
    Listener listener{UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)), path.string()};
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(listener.fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener.fd.get(), 4), 0);
    return listener;
}

bool refused(const std::string& outcome) {
    return outcome.starts_with("denied: ") ||
           outcome ==
               "ended: makes the drawing program fail (signal " + std::to_string(SIGSYS) + ")";
}

TEST(DrawerConfinementTest, AConfinedDrawerReachesNothingOfTheUsers) {
    if (kernelLandlockAbi() < 1) {
        GTEST_SKIP() << "this kernel has no Landlock";
    }
    Home home;
    const auto tcp = tcpListener();
    const auto unixSocket = unixListener(home.dir / "bus");
    const std::vector<std::pair<std::string, std::string>> attempts = {
        {"the private key in the home folder", "read " + home.key.string()},
        {"the stored credentials", "read " + home.credentials.string()},
        {"the application's environment", "read /proc/" + std::to_string(::getpid()) + "/environ"},
        {"the application's memory", "read /proc/" + std::to_string(::getpid()) + "/mem"},
        {"a file opened to write", "write " + (home.dir / ".ssh/autostart.desktop").string()},
        {"the document that later pages read", "rewrite-input"},
        {"a TCP connection to the loopback", "tcp " + tcp.address},
        {"a Unix socket", "unix " + unixSocket.address},
        {"running a program", "exec"},
        {"a forked child", "fork"},
        {"a process sharing its memory, as a leak check's tracer is", "clone"},
        {"a signal to the application", "signal"},
        {"tracing the application", "ptrace"},
        {"a lease on the document, signalled when another opens it", "lease"},
        {"memory merged with other processes' pages", "merge-pages"},
        {"whether the private key exists, through a descriptor that opens nothing",
         "path-open " + home.key.string()},
    };
    // The kernel's own Landlock, and the older one of Debian 12's kernel (no TCP or signal
    // scoping), where the call list alone refuses sockets, signals and tracing.
    for (const int abi : {-1, 3}) {
        for (const auto& [name, attempt] : attempts) {
            SCOPED_TRACE(name + " at ABI " + std::to_string(abi));
            // Unconfined, the same attempt reaches what it aims at: the probe aims right.
            // (The document is sealed for every process alike, and the process limit refuses
            // new processes to all but root. ThreadSanitizer's runtime takes over glibc's clone,
            // and its steps in a child that shares the probe's memory end the probe.)
            const bool newProcess = attempt == "clone" || attempt == "fork";
            const bool sharedMemoryUnderThreadSanitizer =
                attempt == "clone" && PageDrawer::threadSanitizedBuild;
            if (abi < 0 && attempt != "exec" && attempt != "rewrite-input" &&
                (!newProcess || ::geteuid() == 0) && !sharedMemoryUnderThreadSanitizer) {
                EXPECT_EQ(tryIt(probeOptions(home), attempt, kUnconfined), "done");
            }
            const auto outcome = tryIt(probeOptions(home, abi), attempt, kConfined);
            EXPECT_TRUE(refused(outcome)) << outcome;
        }
    }
}

// A process standing in for Vask (and its process group), for the drawer to try to signal.
std::unique_ptr<ChildProcess> standInVask() {
    ChildSpawn spawn;
    spawn.program = "/bin/sleep";
    spawn.arguments = {"600"};
    spawn.ownProcessGroup = true;
    return std::make_unique<ChildProcess>(spawn);
}

bool endsSoon(ChildProcess& process, std::chrono::milliseconds within) {
    return process.waitUntil(std::chrono::steady_clock::now() + within, -1).has_value();
}

// The kernel signals the owner of a descriptor set for signal-driven I/O when it becomes
// writable, and the drawer's output becomes writable when Vask reads it: owned by Vask (or by
// its process group), the output pipe would end Vask with SIGIO, or with the signal F_SETSIG
// names. Landlock scopes such signals only from ABI 6, so the call list refuses them below.
TEST(DrawerConfinementTest, ADrawerCannotHaveTheKernelSignalVask) {
    if (kernelLandlockAbi() < 1) {
        GTEST_SKIP() << "this kernel has no Landlock";
    }
    Home home;
    struct Case {
        std::string name;
        std::string attempt;
        bool group;
    };
    const std::vector<Case> cases = {
        {"SIGIO to Vask", "sigio", false},
        {"SIGKILL to Vask through F_SETSIG", "sigkill", false},
        {"SIGIO to Vask's process group", "sigio", true},
    };
    for (const auto& c : cases) {
        // Unconfined, the stand-in is ended: the probe aims right.
        {
            SCOPED_TRACE(c.name + " unconfined");
            const auto vask = standInVask();
            const auto target = std::to_string(c.group ? -vask->pid() : vask->pid());
            EXPECT_EQ(tryIt(probeOptions(home), c.attempt + " " + target, kUnconfined), "done");
            // Signalled before the drawing was over: the bound only keeps a fault from hanging.
            EXPECT_TRUE(endsSoon(*vask, std::chrono::minutes(1)));
        }
        // Debian 12's kernel (ABI 2), one without signal scoping (5), and this kernel's own.
        for (const int abi : {2, 5, -1}) {
            SCOPED_TRACE(c.name + " at ABI " + std::to_string(abi));
            const auto vask = standInVask();
            const auto target = std::to_string(c.group ? -vask->pid() : vask->pid());
            const auto outcome =
                tryIt(probeOptions(home, abi), c.attempt + " " + target, kConfined);
            EXPECT_TRUE(refused(outcome)) << outcome;
            EXPECT_FALSE(endsSoon(*vask, std::chrono::milliseconds(300)))
                << "Vask's stand-in was ended";
        }
    }
}

// What a drawer hands back is a page only when it is a PNG within the page bound, and a reason
// only when it is one of the drawer's own words: a drawer a page took over says nothing else to
// the vision service or into the page's note. A failure is said as what it is.
TEST(DrawerConfinementTest, WhatADrawerHandsBackIsAPageOrOneOfItsOwnReasons) {
    Home home;
    const auto options = probeOptions(home);
    const std::string png("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
    const auto size = [](std::string_view bytes) { return std::string(bytes.data(), 4); };
    const std::string notAnImage = "refusal: text that the vision service would take for a page";
    const std::string ofEach = "write something other than a page image";
    const auto page = test::probePage("the page");
    const auto header = page.substr(0, 33);
    struct Case {
        std::string name;
        std::string attempt;
        std::string outcome;
    };
    const std::vector<Case> cases = {
        {"text as the page", "raw 0 " + notAnImage, "ended: makes the drawing program " + ofEach},
        {"a PNG wider than a page", "raw 0 " + png + size("\0\0\x0f\xa0") + size("\0\0\0\x01"),
         "ended: makes the drawing program " + ofEach},
        {"a PNG of no pixels", "raw 0 " + png + size("\0\0\0\0") + size("\0\0\0\x01"),
         "ended: makes the drawing program " + ofEach},
        {"a page's header alone", "raw 0 " + png + size("\0\0\x07\xd0") + size("\0\0\x05\x0a"),
         "ended: makes the drawing program " + ofEach},
        {"a page's header, then anything", "raw 0 " + header + std::string(65536, 'x'),
         "ended: makes the drawing program " + ofEach},
        {"a page, then anything", "raw 0 " + page + "x",
         "ended: makes the drawing program " + ofEach},
        {"a page cut short", "raw 0 " + page.substr(0, page.size() - 1),
         "ended: makes the drawing program " + ofEach},
        {"a page", "raw 0 " + page, "the page"},
        {"an abort in the drawing code", "abort",
         "ended: makes the drawing program fail (signal " + std::to_string(SIGABRT) + ")"},
        {"free text as the reason", "raw 5 " + notAnImage, "ended: cannot be drawn"},
        {"a reason of the drawer's", "raw 5 empty-crop-box",
         "ended: cannot be drawn (page has an empty crop box)"},
        {"an exception in the drawing code", "throw",
         "ended: cannot be drawn (the drawing program met an unexpected error)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(tryIt(options, c.attempt, kConfined), c.outcome);
    }
}

// A drawer that closes its output and then waits (which costs no processor time) is ended at the
// page's time, or at once when a stop is requested, as one that draws on would be.
TEST(DrawerConfinementTest, ADrawerThatClosesItsOutputAndWaitsIsEnded) {
    Home home;
    struct Case {
        std::string name;
        std::chrono::milliseconds pageTime;
        bool stopped;
        std::string outcome;
    };
    const std::vector<Case> cases = {
        {"at the page's time", std::chrono::seconds(1), false, "takes longer than 1 s to draw"},
        {"at a stop request", std::chrono::minutes(5), true, "page drawing was stopped"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto options = probeOptions(home);
        options.pageTimeBudget = c.pageTime;
        const PageDrawer drawer("hang", options);
        std::stop_source stop;
        auto drawing = std::async(std::launch::async, [&] {
            try {
                return drawer.draw(kConfined, stop.get_token()).refusal.value_or("drawn");
            } catch (const PageDrawer::Cancelled& cancelled) {
                return std::string(cancelled.what());
            }
        });
        if (c.stopped) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            stop.request_stop();
        }
        if (drawing.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            ADD_FAILURE() << "the drawing still waits for the drawer";
            test::killChildren();
        }
        EXPECT_EQ(drawing.get(), c.outcome);
    }
}

TEST(DrawerConfinementTest, TheDrawerIsGivenOnlyItsInputOutputAndTheVariablesItReads) {
    Home home;
    // A descriptor this process leaves open to children, as a library or the shell might.
    const UniqueFd inheritable(::open("/dev/null", O_RDONLY));
    ASSERT_TRUE(inheritable.isOpen());
    const auto options = probeOptions(home);
    EXPECT_EQ(tryIt(options, "descriptors", kConfined), "0 1 2");
    EXPECT_EQ(tryIt(options, "folder", kConfined), "/");

    std::set<std::string> names;
    std::istringstream listed(tryIt(options, "environment", kConfined));
    for (std::string name; std::getline(listed, name);) {
        names.insert(name);
    }
    std::set<std::string> expected{"HOME", "XDG_DATA_HOME", "LANG", "VASK_PAGE_DRAWER_PARENT"};
    if (PageDrawer::sanitizedBuild) {
        expected.insert(PageDrawer::sanitizerOptionsVariable);
    }
    EXPECT_EQ(names, expected);
}

// Whether the kernel offers Landlock is asked of the kernel: where it offers none, no drawer is
// started (one that is not there is never looked for) and the reason is said.
TEST(DrawerConfinementTest, WithoutLandlockNoDrawerIsStartedAndTheReasonIsSaid) {
    struct Case {
        std::string name;
        std::function<int()> kernelAbi;
        int ceiling;
    };
    const std::vector<Case> cases = {
        {"a kernel without Landlock", [] { return 0; }, -1},
        {"Landlock capped to none", [] { return 6; }, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PageDrawer::Options options;
        options.program = "/nonexistent/vask-page-drawer";
        options.landlockAbiCeiling = c.ceiling;
        options.system = std::make_shared<PageDrawer::SystemRecord>(c.kernelAbi);
        try {
            PageDrawer(test::minimalPdf(1), options).draw(0);
            FAIL() << "a page was drawn unconfined";
        } catch (const PageDrawer::Unconfined& error) {
            EXPECT_EQ(std::string(error.what()),
                      "pages are not drawn: the page drawing program could not be confined (this "
                      "system's kernel offers no Landlock, without which the page drawing "
                      "program cannot keep a PDF from reading the user's files)");
        }
    }
}

// Whether drawing is possible here is the kernel's answer alone: a drawer that ends as unconfined,
// whatever it says (the kernel's want of Landlock, its own failure, or nothing), on a kernel
// that offers Landlock, has failed for its document only, and later documents are drawn.
TEST(DrawerConfinementTest, ADrawersWordAboutItsConfinementCostsItsDocumentOnly) {
    if (kernelLandlockAbi() < 1) {
        GTEST_SKIP() << "this kernel has no Landlock";
    }
    struct Case {
        std::string name;
        std::string answer;
        std::string error;
    };
    const std::string failed = "the page drawing program failed: ";
    const std::vector<Case> cases = {
        {"no Landlock", "raw 7 no-landlock",
         failed + "it found no Landlock, which this system's kernel offers"},
        {"not confined", "raw 7 not-confined",
         failed + "it could not confine itself (the confinement could not be put in place)"},
        {"nothing", "raw 7", failed + "it could not confine itself (for a reason it did not say)"},
        {"free text", "raw 7 refusal: text the user would read",
         failed + "it could not confine itself (for a reason it did not say)"},
    };
    Home home;
    const auto options = probeOptions(home);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const bool counting : {false, true}) {
            try {
                const PageDrawer drawer(c.answer, options);
                if (counting) {
                    drawer.pageCount();
                } else {
                    drawer.draw(kConfined);
                }
                ADD_FAILURE() << "the drawer's answer was taken";
            } catch (const PageDrawer::Unconfined& error) {
                ADD_FAILURE() << "taken for the system's: " << error.what();
            } catch (const PageDrawer::Error& error) {
                EXPECT_EQ(std::string(error.what()), c.error);
            }
        }
        const auto later = PageDrawer(test::minimalPdf(1), options).draw(kConfined);
        EXPECT_TRUE(later.png.has_value()) << later.refusal.value_or("");
    }
}

// Fonts that a page names but does not embed (the standard ones, and Japanese in a CID font
// with poppler's character maps) are found on the system: the confined drawer
// draws such a page as the same drawing code draws it with the authority of the user.
TEST(DrawerConfinementTest, StandardFontsNotEmbeddedAreDrawnAsUnconfined) {
    if (kernelLandlockAbi() < 1) {
        GTEST_SKIP() << "this kernel has no Landlock";
    }
    Home home;
    auto options = probeOptions(home);
    options.environment = processEnvironment();
    struct Case {
        std::string name;
        std::string pdf;
        std::string blank;  // the same page without its text
    };
    std::vector<Case> cases;
    for (const std::string font : {"Helvetica", "Times-Bold", "Courier"}) {
        cases.push_back({font, test::standardFontPdf(font, "Hamburgefonstiv 0123"),
                         test::standardFontPdf(font, "")});
    }
    cases.push_back({"Japanese", test::japaneseTextPdf(5), test::japaneseTextPdf(0)});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto& pdf = c.pdf;
        const auto unconfined = tryIt(options, pdf, kUnconfined);
        ASSERT_NE(unconfined, tryIt(options, c.blank, kUnconfined))
            << "no font on this system draws " << c.name;
        for (const int abi : {-1, 3}) {
            options.landlockAbiCeiling = abi;
            EXPECT_EQ(tryIt(options, pdf, kConfined), unconfined);
        }
        options.landlockAbiCeiling = -1;
    }
}

}  // namespace
}  // namespace vask
