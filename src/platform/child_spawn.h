#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace vask {

// Whether a child is kept from the environment variable `name`: the application's secrets,
// which only the application knows.
using WithheldVariables = std::function<bool(std::string_view name)>;

// How a child program starts. A child gets what is named here and nothing else of this
// process: no descriptor above 2 (whatever a library opened without O_CLOEXEC included), no
// blocked signal, every signal's default action, and its own working folder.
struct ChildSpawn {
    // Run as given; a bare name is looked up in this process's PATH only with `searchPath`.
    std::filesystem::path program;
    bool searchPath = false;
    // After the program's own name.
    std::vector<std::string> arguments;
    // The child's whole environment, "NAME=value" each, but for the variables `withheld` names.
    std::vector<std::string> environment;
    // What the child never gets, whatever `environment` holds; nothing without it.
    WithheldVariables withheld;
    // The descriptors put on 0, 1 and 2; -1 is /dev/null.
    std::array<int, 3> standard{-1, -1, -1};
    std::filesystem::path workingFolder = "/";
    // A process group of its own, led by the child, so that one signal reaches what it starts.
    bool ownProcessGroup = false;
};

// Starts the child and returns its pid (the caller reaps it). Throws std::system_error with the
// reason the program could not be started (not found, not executable, ...).
pid_t spawnChild(const ChildSpawn& spawn);

// A started child that its owner waits for with a deadline and a stop: the child's pidfd, readable
// once it ended, is polled beside whatever else the owner waits on. However the owner stops
// waiting, the child is killed (with its process group when it leads one) and reaped, so nothing
// a child does (closing its output and sleeping, say) can hold a worker or a quit.
class ChildProcess {
  public:
    // Starts `spawn`. Throws std::system_error (the spawn's, or the pidfd's).
    explicit ChildProcess(const ChildSpawn& spawn);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Readable once the child ended.
    int endedFd() const { return ended_.get(); }
    // The child's wait status when it ended (reaped here); nothing while it runs. Never blocks.
    std::optional<int> reapIfEnded();
    // Polls until the child ends (its wait status), `deadline` passes or `wake` becomes readable
    // (nothing either way; the child runs on until the destructor or kill()).
    std::optional<int> waitUntil(std::chrono::steady_clock::time_point deadline, int wake);
    // SIGKILL to the child, or to its process group when it leads one.
    void kill() const;

  private:
    pid_t pid_;
    bool group_;
    UniqueFd ended_;
    std::optional<int> status_;
};

// SIGKILL to every other process that holds the pipe whose inode is `pipe`: for a pipe only
// this process and a child it started were given, what the child left holding it, out of reach
// of the kill of its process group (a process that started a session of its own). Processes
// whose descriptors cannot be looked at (another user's) are passed. Returns how many were
// signalled.
std::size_t killPipeHolders(ino_t pipe);

// This process's environment as "NAME=value" entries, for a child that runs on the user's
// behalf (a desktop opener) rather than on the application's.
std::vector<std::string> currentEnvironment();

}  // namespace vask
