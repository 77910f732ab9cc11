#include "engine/process_spawn.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>
#include <csignal>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace vask {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

void FileDescriptor::reset() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

Pipe Pipe::make() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    return Pipe{FileDescriptor(fds[0]), FileDescriptor(fds[1])};
}

CStringArray::CStringArray(const std::vector<std::string>& strings) {
    storage_.reserve(strings.size());
    pointers_.reserve(strings.size() + 1);
    for (const auto& s : strings) {
        auto copy = std::make_unique<char[]>(s.size() + 1);
        std::memcpy(copy.get(), s.c_str(), s.size() + 1);
        pointers_.push_back(copy.get());
        storage_.push_back(std::move(copy));
    }
    pointers_.push_back(nullptr);
}

CStringArray makeCStringArray(const std::vector<std::string>& strings) {
    return CStringArray(strings);
}

std::vector<std::string> environmentBlock(const std::map<std::string, std::string>& environment) {
    std::vector<std::string> entries;
    entries.reserve(environment.size());
    for (const auto& [name, value] : environment) {
        entries.push_back(std::string(name).append("=").append(value));
    }
    return entries;
}

namespace {

// The spawn's attribute and file-action objects, destroyed on every path.
struct SpawnObjects {
    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attributes{};
    SpawnObjects() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnObjects() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnObjects(const SpawnObjects&) = delete;
    SpawnObjects& operator=(const SpawnObjects&) = delete;
};

void check(int rc, const char* what) {
    if (rc != 0) {
        throw std::system_error(rc, std::generic_category(), what);
    }
}

}  // namespace

pid_t spawnProcessGroup(const std::filesystem::path& executablePath,
                        const std::vector<std::string>& arguments,
                        const std::map<std::string, std::string>& environment, Pipe& stdinPipe,
                        Pipe& stdoutPipe, Pipe& stderrPipe, Pipe* eventPipe) {
    SpawnObjects spawn;
    check(posix_spawn_file_actions_adddup2(&spawn.actions, stdinPipe.readEnd.get(), 0),
          "posix_spawn_file_actions_adddup2");
    check(posix_spawn_file_actions_adddup2(&spawn.actions, stdoutPipe.writeEnd.get(), 1),
          "posix_spawn_file_actions_adddup2");
    check(posix_spawn_file_actions_adddup2(&spawn.actions, stderrPipe.writeEnd.get(), 2),
          "posix_spawn_file_actions_adddup2");
    if (eventPipe != nullptr) {
        check(posix_spawn_file_actions_adddup2(&spawn.actions, eventPipe->writeEnd.get(), 3),
              "posix_spawn_file_actions_adddup2");
    }
    // Descriptors at or below the highest target are targets themselves and must stay open.
    const int highestTarget = eventPipe != nullptr ? 3 : 2;
    std::vector<int> pipeEnds = {stdinPipe.readEnd.get(),  stdinPipe.writeEnd.get(),
                                 stdoutPipe.readEnd.get(), stdoutPipe.writeEnd.get(),
                                 stderrPipe.readEnd.get(), stderrPipe.writeEnd.get()};
    if (eventPipe != nullptr) {
        pipeEnds.push_back(eventPipe->readEnd.get());
        pipeEnds.push_back(eventPipe->writeEnd.get());
    }
    for (const int fd : pipeEnds) {
        if (fd > highestTarget) {
            check(posix_spawn_file_actions_addclose(&spawn.actions, fd),
                  "posix_spawn_file_actions_addclose");
        }
    }

    // Whatever else the application has open (descriptors made without O_CLOEXEC by libraries)
    // is none of the helper's business.
    check(posix_spawn_file_actions_addclosefrom_np(&spawn.actions, highestTarget + 1),
          "posix_spawn_file_actions_addclosefrom_np");

    // Group 0: the child leads a new group whose id is its own pid, so one signal reaches
    // everything it starts. The application's signal state must not leak into the helper: an
    // ignored signal would stay ignored across the exec, so every disposition is reset.
    sigset_t empty;
    sigemptyset(&empty);
    sigset_t defaults;
    sigfillset(&defaults);
    check(posix_spawnattr_setpgroup(&spawn.attributes, 0), "posix_spawnattr_setpgroup");
    check(posix_spawnattr_setsigmask(&spawn.attributes, &empty), "posix_spawnattr_setsigmask");
    check(posix_spawnattr_setsigdefault(&spawn.attributes, &defaults),
          "posix_spawnattr_setsigdefault");
    check(posix_spawnattr_setflags(
              &spawn.attributes, static_cast<short>(POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                    POSIX_SPAWN_SETSIGDEF)),
          "posix_spawnattr_setflags");

    std::vector<std::string> argv;
    argv.reserve(arguments.size() + 1);
    argv.push_back(executablePath.string());
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const auto argvArray = makeCStringArray(argv);
    const auto envArray = makeCStringArray(environmentBlock(environment));

    pid_t pid = 0;
    check(::posix_spawn(&pid, executablePath.c_str(), &spawn.actions, &spawn.attributes,
                        argvArray.data(), envArray.data()),
          "posix_spawn");
    stdinPipe.readEnd.reset();
    stdoutPipe.writeEnd.reset();
    stderrPipe.writeEnd.reset();
    if (eventPipe != nullptr) {
        eventPipe->writeEnd.reset();
    }
    return pid;
}

}  // namespace vask
