#include "platform/child_spawn.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/unique_fd.h"

namespace vask {
namespace {

struct Ran {
    std::string output;
    int status = -1;
};

// Runs `spawn` with its standard output into a pipe, and waits for it.
Ran run(ChildSpawn spawn) {
    std::array<int, 2> fds{};
    EXPECT_EQ(::pipe2(fds.data(), O_CLOEXEC), 0);
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    spawn.standard[1] = writeEnd.get();
    const pid_t pid = spawnChild(spawn);
    writeEnd.reset();
    Ran ran;
    std::array<char, 4096> chunk{};
    for (ssize_t n = 0; (n = ::read(readEnd.get(), chunk.data(), chunk.size())) != 0;) {
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            break;
        }
        ran.output.append(chunk.data(), static_cast<std::size_t>(n));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return ran;
}

ChildSpawn shell(const std::string& script) {
    ChildSpawn spawn;
    spawn.program = "/bin/sh";
    spawn.arguments = {"-c", script};
    spawn.environment = {"PATH=/usr/bin:/bin"};
    return spawn;
}

TEST(ChildSpawnTest, AChildGetsWhatIsNamedAndNothingElse) {
    // A descriptor this process leaves open to children, as a library might, far up.
    const UniqueFd stray(::fcntl(STDERR_FILENO, F_DUPFD, 200));
    ASSERT_GE(stray.get(), 200);
    const auto strayPath = "/proc/self/fd/" + std::to_string(stray.get());

    ChildSpawn env;
    env.program = "/usr/bin/env";
    env.environment = {"HOME=/home/someone", "LANG=C.UTF-8"};
    ChildSpawn searched = env;
    searched.program = "env";
    searched.searchPath = true;
    ChildSpawn elsewhere = shell("pwd");
    elsewhere.workingFolder = "/tmp";
    ChildSpawn withheld = env;
    withheld.environment.insert(withheld.environment.begin(), "APP_TOKEN=t");
    withheld.withheld = [](std::string_view name) { return name == "APP_TOKEN"; };
    ChildSpawn group = shell("cut -d' ' -f5 /proc/$$/stat; echo $$");
    group.ownProcessGroup = true;

    struct Case {
        std::string name;
        ChildSpawn spawn;
        std::string output;
    };
    const std::vector<Case> cases = {
        {"exactly the environment given", env, "HOME=/home/someone\nLANG=C.UTF-8\n"},
        {"a program found on this process's PATH", searched, "HOME=/home/someone\nLANG=C.UTF-8\n"},
        {"but for what is withheld", withheld, "HOME=/home/someone\nLANG=C.UTF-8\n"},
        {"no descriptor above 2",
         shell("for fd in 3 4 5 6 7 8 9 " + std::to_string(stray.get()) +
               "; do [ -e /proc/self/fd/$fd ] && echo $fd; done; true"),
         ""},
        {"standard input from /dev/null", shell("cat; echo end"), "end\n"},
        {"working folder / by default", shell("pwd"), "/\n"},
        {"another working folder when asked", elsewhere, "/tmp\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto ran = run(c.spawn);
        EXPECT_EQ(ran.status, 0);
        EXPECT_EQ(ran.output, c.output);
    }
    // Its own group, led by itself.
    const auto ran = run(group);
    const auto newline = ran.output.find('\n');
    ASSERT_NE(newline, std::string::npos);
    EXPECT_EQ(ran.output.substr(0, newline) + "\n", ran.output.substr(newline + 1));
}

TEST(ChildSpawnTest, AProgramThatCannotRunIsAnErrorWithItsCause) {
    ChildSpawn missing;
    missing.program = "/nonexistent/program";
    try {
        spawnChild(missing);
        FAIL() << "a missing program was started";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), ENOENT);
    }
    ChildSpawn notOnPath = missing;
    notOnPath.program = "vask-no-such-program";
    notOnPath.searchPath = true;
    EXPECT_THROW(spawnChild(notOnPath), std::system_error);
}

}  // namespace
}  // namespace vask
