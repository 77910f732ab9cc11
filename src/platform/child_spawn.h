#pragma once

#include <sys/types.h>

#include <array>
#include <filesystem>
#include <string>
#include <vector>

namespace vask {

// How a child program starts. A child gets what is named here and nothing else of this
// process: no descriptor above 2 (whatever a library opened without O_CLOEXEC included), no
// blocked signal, every signal's default action, and its own working folder.
struct ChildSpawn {
    // Run as given; a bare name is looked up in this process's PATH only with `searchPath`.
    std::filesystem::path program;
    bool searchPath = false;
    // After the program's own name.
    std::vector<std::string> arguments;
    // The child's whole environment, "NAME=value" each.
    std::vector<std::string> environment;
    // The descriptors put on 0, 1 and 2; -1 is /dev/null.
    std::array<int, 3> standard{-1, -1, -1};
    std::filesystem::path workingFolder = "/";
    // A process group of its own, led by the child, so that one signal reaches what it starts.
    bool ownProcessGroup = false;
};

// Starts the child and returns its pid (the caller reaps it). Throws std::system_error with the
// reason the program could not be started (not found, not executable, ...).
pid_t spawnChild(const ChildSpawn& spawn);

// This process's environment as "NAME=value" entries, for a child that runs on the user's
// behalf (a desktop opener) rather than on the application's.
std::vector<std::string> currentEnvironment();

}  // namespace vask
