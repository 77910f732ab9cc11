// A stand-in for vask-page-drawer that starts as it does (limits, input, the same confinement)
// and then, instead of drawing, tries what a PDF that took poppler over would try. Its input is
// the attempt, "ATTEMPT [ARGUMENT]"; asked for page 0 it tries it confined, for page 1 without
// the confinement (what the attempt reaches otherwise). It answers on standard output with a page
// that holds the answer (test::probePage): "done" when the attempt succeeded, "denied: ERROR"
// when it failed; the confinement may also end it (SIGSYS). A PDF as its input is drawn (its
// first page) or counted as the drawer does it.
// What it was started with (descriptors, working folder, environment) is
// seen before anything else runs.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "page_drawer_probe.h"
#include "sources/page_drawer_program.h"

extern char** environ;

namespace {

std::string startDescriptors;
std::string startFolder;
std::string startEnvironment;

void seeStart() {
    if (DIR* fds = ::opendir("/proc/self/fd")) {
        const int own = ::dirfd(fds);
        while (const dirent* entry = ::readdir(fds)) {
            if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != own) {
                startDescriptors +=
                    std::string(startDescriptors.empty() ? "" : " ") + entry->d_name;
            }
        }
        ::closedir(fds);
    }
    char folder[4096];
    if (::getcwd(folder, sizeof folder) != nullptr) {
        startFolder = folder;
    }
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable(*entry);
        startEnvironment += variable.substr(0, variable.find('=')) + "\n";
    }
}

std::string outcome(bool done) {
    return done ? "done" : std::string("denied: ") + std::strerror(errno);
}

pid_t parent() {
    const char* named = std::getenv("VASK_PAGE_DRAWER_PARENT");
    return named != nullptr ? static_cast<pid_t>(std::atol(named)) : ::getppid();
}

bool connectTo(int domain, const sockaddr* address, socklen_t length) {
    const int fd = ::socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return fd >= 0 && ::connect(fd, address, length) == 0;
}

std::string attempt(const std::string& what, const std::string& argument) {
    if (what == "descriptors") {
        return startDescriptors;
    }
    if (what == "folder") {
        return startFolder;
    }
    if (what == "environment") {
        return startEnvironment;
    }
    if (what == "read") {
        // Opened is read: the checks are made on the open (a process's memory at offset 0 would
        // not read, being unmapped).
        return outcome(::open(argument.c_str(), O_RDONLY | O_CLOEXEC) >= 0);
    }
    if (what == "rewrite-input") {
        return outcome(::lseek(STDIN_FILENO, 0, SEEK_SET) == 0 &&
                       ::write(STDIN_FILENO, "x", 1) == 1);
    }
    if (what == "write") {
        return outcome(::open(argument.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600) >= 0);
    }
    if (what == "tcp") {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argument.c_str())));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return outcome(
            connectTo(AF_INET, reinterpret_cast<const sockaddr*>(&address), sizeof address));
    }
    if (what == "unix") {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, argument.c_str(), sizeof address.sun_path - 1);
        return outcome(
            connectTo(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), sizeof address));
    }
    if (what == "exec") {
        ::execl("/bin/true", "true", nullptr);
        return outcome(false);
    }
    // A process that shares this one's memory, as the sanitizers' leak check starts to stop
    // it at exit.
    if (what == "clone") {
        static char stack[65536];
        const int child = ::clone([](void*) { return 0; }, stack + sizeof stack,
                                  CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_UNTRACED, nullptr);
        // Not waited for: it ends at once, and is gone with this process.
        return outcome(child > 0);
    }
    if (what == "fork") {
        const pid_t child = ::fork();
        if (child == 0) {
            ::_exit(0);
        }
        if (child > 0) {
            ::waitpid(child, nullptr, 0);
        }
        return outcome(child > 0);
    }
    if (what == "signal") {
        // Signal 0: the permission check of a signal without one.
        return outcome(::kill(parent(), 0) == 0);
    }
    if (what == "ptrace") {
        // Seized, not stopped: the application runs on if it is allowed; the tracer's exit
        // lets go.
        return outcome(::ptrace(PTRACE_SEIZE, parent(), nullptr, nullptr) == 0);
    }
    // Signals to Vask through the output pipe: the kernel sends the owner SIGIO (or the signal
    // F_SETSIG names) when Vask reads what this process wrote. The argument is the pid, or
    // minus the process group, to signal.
    if (what == "sigio" || what == "sigkill") {
        const int owner = std::atoi(argument.c_str());
        return outcome(::fcntl(STDOUT_FILENO, F_SETOWN, owner) == 0 &&
                       (what == "sigio" || ::fcntl(STDOUT_FILENO, F_SETSIG, SIGKILL) == 0) &&
                       ::fcntl(STDOUT_FILENO, F_SETFL, O_WRONLY | O_ASYNC) == 0);
    }
    // Memory offered for merging with identical pages of other processes, whose copy-on-write
    // time would tell what those hold.
    if (what == "merge-pages") {
        void* memory =
            ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return outcome(memory != MAP_FAILED && ::madvise(memory, 4096, MADV_MERGEABLE) == 0);
    }
    if (what == "lease") {
        return outcome(::fcntl(STDIN_FILENO, F_SETLEASE, F_RDLCK) == 0);
    }
    // Whether a file exists, and its size, through a descriptor that opens nothing.
    if (what == "path-open") {
        const int fd = ::open(argument.c_str(), O_PATH | O_CLOEXEC);
        struct stat info {};
        return outcome(fd >= 0 && ::fstat(fd, &info) == 0);
    }
    return "unknown attempt " + what;
}

// Waits for ever, costing no processor time.
[[noreturn]] void waitForEver() {
    int word = 0;
    for (;;) {
        ::syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
    }
}

int probe(std::string document, const std::string& asked) {
    // A PDF is drawn as the drawer draws it (page 0), confined or not, or counted.
    if (document.starts_with("%PDF")) {
        return vask::PageDrawerProgram::draw(std::move(document), asked == "count" ? asked : "0");
    }
    const auto space = document.find(' ');
    const auto what = document.substr(0, space);
    const auto argument = space == std::string::npos ? std::string() : document.substr(space + 1);
    if (what == "raw") {
        const auto bytes = argument.find(' ');
        vask::PageDrawerProgram::answer(bytes == std::string::npos ? std::string()
                                                                   : argument.substr(bytes + 1));
        return std::atoi(argument.c_str());
    }
    if (what == "abort") {
        std::abort();
    }
    if (what == "hang") {
        ::close(STDOUT_FILENO);
        waitForEver();
    }
    if (what == "throw") {
        throw std::runtime_error("a page the drawing code did not expect");
    }
    const auto outcome = attempt(what, argument);
    vask::PageDrawerProgram::answer(vask::test::probePage(outcome));
    // The kernel signals the owner only when the output is read while this process still
    // holds it: held until the pipe is empty.
    if ((what == "sigio" || what == "sigkill") && outcome == "done") {
        for (int held = 1; ::ioctl(STDOUT_FILENO, FIONREAD, &held) == 0 && held > 0;) {
            ::usleep(1000);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    seeStart();
    const bool confine = argc < 4 || std::string(argv[3]) != "1";
    return vask::PageDrawerProgram::run(argc, argv, confine, probe);
}
