#include "sources/drawer_confinement.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <set>

#include "platform/landlock.h"
#include "platform/unique_fd.h"
#include "sources/page_drawer.h"

namespace vask {
namespace {

// What the kernel's UAPI header of Debian 12 (6.1) lacks, from later kernels' header.
constexpr std::uint64_t kAccessFsTruncate = 1ULL << 14;  // ABI 3
constexpr std::uint64_t kAccessFsIoctlDev = 1ULL << 15;  // ABI 5
constexpr std::uint64_t kAccessNetBindTcp = 1ULL << 0;   // ABI 4
constexpr std::uint64_t kAccessNetConnectTcp = 1ULL << 1;
constexpr std::uint64_t kScopeAbstractUnixSocket = 1ULL << 0;  // ABI 6
constexpr std::uint64_t kScopeSignal = 1ULL << 1;

// struct landlock_ruleset_attr as ABI 6 has it; older kernels take it as long as what they do
// not know is zero.
struct RulesetAttr {
    std::uint64_t handledAccessFs = 0;
    std::uint64_t handledAccessNet = 0;
    std::uint64_t scoped = 0;
};

// Every file-system right of `abi`.
std::uint64_t fileSystemRights(int abi) {
    std::uint64_t rights = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;
    if (abi >= 2) {
        rights |= LANDLOCK_ACCESS_FS_REFER;
    }
    if (abi >= 3) {
        rights |= kAccessFsTruncate;
    }
    if (abi >= 5) {
        rights |= kAccessFsIoctlDev;
    }
    return rights;
}

std::string reason(const char* step) {
    return std::string(step) + ": " + std::strerror(errno);
}

void addReadableFolder(int ruleset, const std::filesystem::path& folder) {
    const UniqueFd opened(::open(folder.c_str(), O_PATH | O_CLOEXEC));
    if (!opened.isOpen()) {
        return;  // gone since it was listed: nothing to allow
    }
    landlock_path_beneath_attr rule{};
    rule.allowed_access = LANDLOCK_ACCESS_FS_READ_FILE;
    rule.parent_fd = opened.get();
    std::error_code error;
    if (std::filesystem::is_directory(folder, error)) {
        rule.allowed_access |= LANDLOCK_ACCESS_FS_READ_DIR;
    }
    if (::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0) {
        throw DrawerConfinement::Error(reason("landlock_add_rule") + " (" + folder.string() + ")");
    }
}

void restrictFileSystem(int abi) {
    RulesetAttr attr;
    attr.handledAccessFs = fileSystemRights(abi);
    if (abi >= 4) {
        attr.handledAccessNet = kAccessNetBindTcp | kAccessNetConnectTcp;
    }
    if (abi >= 6) {
        attr.scoped = kScopeAbstractUnixSocket | kScopeSignal;
    }
    const UniqueFd ruleset(
        static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0U)));
    if (!ruleset.isOpen()) {
        throw DrawerConfinement::Error(reason("landlock_create_ruleset"));
    }
    for (const auto& folder : DrawerConfinement::readableFolders()) {
        addReadableFolder(ruleset.get(), folder);
    }
    if (::syscall(SYS_landlock_restrict_self, ruleset.get(), 0U) != 0) {
        throw DrawerConfinement::Error(reason("landlock_restrict_self"));
    }
}

// The calls drawing needs after fontconfig is loaded, found by drawing pages of real documents
// (manuals, office and ghostscript output, base-14 and CJK fonts not embedded).
// `newfstatat` and `statx` stay: glibc's fstat is newfstatat(fd, "", AT_EMPTY_PATH), poppler
// looks its data files up by path, and seccomp sees no path. Landlock does not cover them
// either, so a drawer a page took over may learn whether a path exists, its size and its times,
// but not what the file holds.
constexpr const char* kAllowedCalls[] = {
    "read",           "pread64",      "readv",        "write",      "writev",
    "lseek",          "close",        "fstat",        "newfstatat", "statx",
    "getdents64",     "munmap",       "mremap",       "brk",        "futex",
    "rt_sigprocmask", "rt_sigaction", "rt_sigreturn", "getpid",     "gettid",
    "clock_gettime",  "getrandom",    "sysinfo",      "exit",       "exit_group",
};

// The fcntl commands drawing and the C library use (measured: descriptors made close-on-exec).
// Never F_SETOWN, F_SETOWN_EX or F_SETSIG, which would have the kernel signal another process
// (Vask, or its whole process group) when the output pipe is read, nor F_SETLEASE or F_NOTIFY,
// which signal this one for events elsewhere; F_SETFL only without O_ASYNC. Landlock scopes
// such signals only from ABI 6, so the call list refuses them at every ABI.
constexpr int kAllowedFcntlCommands[] = {F_GETFD, F_SETFD, F_GETFL, F_DUPFD_CLOEXEC};

// madvise as the allocators use it (glibc's and the sanitizers'); not the advice that merges
// pages with other processes', poisons or offlines physical pages (which root may do) or pages
// memory out.
constexpr int kAllowedAdvice[] = {
    MADV_NORMAL, MADV_RANDOM,   MADV_SEQUENTIAL, MADV_WILLNEED, MADV_DONTNEED,
    MADV_FREE,   MADV_HUGEPAGE, MADV_NOHUGEPAGE, MADV_DONTDUMP, MADV_DODUMP,
};

// What the sanitizers' runtime calls besides: reports go through sigaltstack'ed handlers and read
// the process's memory map and threads with the older open and getdents, and the dynamic-type
// check tests whether memory is readable by writing it into a pipe. Only in sanitized builds,
// whose drawer runs without the leak check at exit (its tracer would be a second process).
constexpr const char* kSanitizerCalls[] = {
    "sigaltstack", "sched_yield", "getppid", "getdents", "pipe2",
};

// An argument condition: argument `index` masked with `mask` equals `value`, or (without a mask)
// equals `value`. (libseccomp's SCMP_A* macros are C compound literals.)
scmp_arg_cmp argumentMasked(unsigned index, scmp_datum_t mask, scmp_datum_t value) {
    return scmp_arg_cmp{index, SCMP_CMP_MASKED_EQ, mask, value};
}
scmp_arg_cmp argumentEquals(unsigned index, scmp_datum_t value) {
    return scmp_arg_cmp{index, SCMP_CMP_EQ, value, 0};
}

class SeccompFilter {
  public:
    SeccompFilter() : context_(seccomp_init(SCMP_ACT_KILL_PROCESS)) {
        if (context_ == nullptr) {
            throw DrawerConfinement::Error("seccomp_init failed");
        }
    }
    ~SeccompFilter() { seccomp_release(context_); }
    SeccompFilter(const SeccompFilter&) = delete;
    SeccompFilter& operator=(const SeccompFilter&) = delete;

    // `name` on this architecture; nothing when it has no such call.
    void add(std::uint32_t action, const char* name, std::initializer_list<scmp_arg_cmp> args) {
        const int number = seccomp_syscall_resolve_name(name);
        if (number == __NR_SCMP_ERROR) {
            return;
        }
        const int added = seccomp_rule_add_array(context_, action, number,
                                                 static_cast<unsigned>(args.size()), args.begin());
        if (added != 0) {
            throw DrawerConfinement::Error(std::string("seccomp rule for ") + name + ": " +
                                           std::strerror(-added));
        }
    }
    void load() {
        if (const int loaded = seccomp_load(context_); loaded != 0) {
            throw DrawerConfinement::Error(std::string("seccomp_load: ") + std::strerror(-loaded));
        }
    }

  private:
    scmp_filter_ctx context_;
};

void restrictCalls() {
    SeccompFilter filter;
    for (const char* name : kAllowedCalls) {
        filter.add(SCMP_ACT_ALLOW, name, {});
    }
    for (const int command : kAllowedFcntlCommands) {
        filter.add(SCMP_ACT_ALLOW, "fcntl",
                   {argumentEquals(1, static_cast<scmp_datum_t>(command))});
    }
    filter.add(SCMP_ACT_ALLOW, "fcntl",
               {argumentEquals(1, F_SETFL), argumentMasked(2, O_ASYNC, 0)});
    for (const int advice : kAllowedAdvice) {
        filter.add(SCMP_ACT_ALLOW, "madvise",
                   {argumentEquals(2, static_cast<scmp_datum_t>(advice))});
    }
    // Opening only to read: no write access, no creating, truncating or anonymous files, and no
    // O_PATH (Landlock checks no right on such an open, and fstat on it tells of any file).
    constexpr auto kRefusedOpenFlags = static_cast<scmp_datum_t>(
        O_ACCMODE | O_CREAT | O_TRUNC | (O_TMPFILE & ~O_DIRECTORY) | O_PATH);
    filter.add(SCMP_ACT_ALLOW, "openat", {argumentMasked(2, kRefusedOpenFlags, 0)});
    if constexpr (PageDrawer::sanitizedBuild) {
        // The sanitizers' runtime opens with the older call where there is one.
        filter.add(SCMP_ACT_ALLOW, "open", {argumentMasked(1, kRefusedOpenFlags, 0)});
    }
    // Memory, never executable.
    filter.add(SCMP_ACT_ALLOW, "mmap", {argumentMasked(2, PROT_EXEC, 0)});
    filter.add(SCMP_ACT_ALLOW, "mprotect", {argumentMasked(2, PROT_EXEC, 0)});
    // abort() signals itself; nothing else.
    filter.add(SCMP_ACT_ALLOW, "tgkill",
               {argumentEquals(0, static_cast<scmp_datum_t>(::getpid()))});
    // fontconfig asks where its program lies; it does without the answer.
    filter.add(SCMP_ACT_ERRNO(EPERM), "readlink", {});
    filter.add(SCMP_ACT_ERRNO(EPERM), "readlinkat", {});
    if constexpr (PageDrawer::sanitizedBuild) {
        for (const char* name : kSanitizerCalls) {
            filter.add(SCMP_ACT_ALLOW, name, {});
        }
    }
    filter.load();
}

}  // namespace

std::vector<std::filesystem::path> DrawerConfinement::readableFolders() {
    std::set<std::filesystem::path> folders;
    const auto take = [&](FcStrList* list) {
        if (list == nullptr) {
            return;
        }
        while (const FcChar8* entry = FcStrListNext(list)) {
            folders.insert(reinterpret_cast<const char*>(entry));
        }
        FcStrListDone(list);
    };
    take(FcConfigGetFontDirs(nullptr));
    take(FcConfigGetCacheDirs(nullptr));
    // poppler's character maps and encodings (poppler-data).
    folders.insert(POPPLER_DATA_FOLDER);
    if constexpr (PageDrawer::sanitizedBuild) {
        // The sanitizers read this process's memory map and threads when they report.
        folders.insert("/proc/" + std::to_string(::getpid()));
    }
    std::vector<std::filesystem::path> existing;
    for (const auto& folder : folders) {
        std::error_code error;
        if (std::filesystem::exists(folder, error)) {
            existing.push_back(folder);
        }
    }
    return existing;
}

void DrawerConfinement::loadFonts() {
    static const bool loaded = [] {
        if (FcInit() == FcFalse) {
            return false;
        }
        // Released at exit, after poppler (whose statics go first), so that the leak check of
        // sanitized builds sees fontconfig's own memory freed.
        std::atexit(FcFini);
        return true;
    }();
    if (!loaded) {
        throw Error("fontconfig could not be loaded");
    }
}

int DrawerConfinement::apply(int abiCeiling) {
    // Landlock and seccomp bind the calling thread (and what it starts) only.
    std::error_code error;
    const auto threads =
        std::distance(std::filesystem::directory_iterator("/proc/self/task", error),
                      std::filesystem::directory_iterator());
    if (error || threads != 1) {
        throw Error("the page drawing program must confine itself while it has one thread");
    }
    loadFonts();
    int abi = kernelLandlockAbi();
    if (abiCeiling >= 0) {
        abi = std::min(abi, abiCeiling);
    }
    if (abi < 1) {
        throw NoLandlock();
    }
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        throw Error(reason("no new privileges"));
    }
    if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
        throw Error(reason("not dumpable"));
    }
    restrictFileSystem(abi);
    restrictCalls();
    return abi;
}

}  // namespace vask
