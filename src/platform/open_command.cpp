#include "platform/open_command.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

extern char** environ;

namespace vask {
namespace {

std::string exitDescription(int status) {
    if (WIFEXITED(status)) {
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return "was ended by signal " + std::to_string(WTERMSIG(status));
    }
    return "ended abnormally";
}

}  // namespace

std::optional<std::string> runOpenCommand(
    std::vector<std::string> command, const std::string& url,
    std::function<void(std::optional<std::string>)> finished) {
    if (command.empty()) {
        return "no opener command";
    }
    command.push_back(url);
    std::vector<char*> argv;
    argv.reserve(command.size() + 1);
    for (auto& argument : command) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        return command.front() + ": " + std::strerror(error);
    }
    std::thread([pid, program = command.front(), finished = std::move(finished)] {
        int status = 0;
        while (waitpid(pid, &status, 0) == -1) {
            if (errno != EINTR) {
                finished(program + ": " + std::strerror(errno));
                return;
            }
        }
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            finished(std::nullopt);
            return;
        }
        finished(program + " " + exitDescription(status));
    }).detach();
    return std::nullopt;
}

bool CommandUrlOpener::open(const std::string& url) {
    return !runOpenCommand(command_, url, [](std::optional<std::string>) {});
}

void CommandUrlOpener::openReporting(const std::string& url, Finished finished) {
    auto shared = std::make_shared<Finished>(std::move(finished));
    if (auto failure = runOpenCommand(command_, url, [shared](std::optional<std::string> why) {
            (*shared)(std::move(why));
        })) {
        (*shared)(std::move(failure));
    }
}

}  // namespace vask
