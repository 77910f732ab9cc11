// The command-line driver's handling of its report path, of signals and of its summary.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <vector>

#include "platform/file_io.h"
#include "support/eventually.h"
#include "support/temp_dir.h"
#include "vask-bench/corpus_generator.h"

extern char** environ;

namespace vask {
namespace {

namespace fs = std::filesystem;

void writeCorpus(const fs::path& path, std::size_t messages) {
    std::ofstream(path)
        << tools::generateCorpus({.messages = messages, .chats = 50, .seed = 5}).toJSON().dump();
}

// Runs the tool to the end; its exit status, and what it wrote to stdout and stderr.
struct Run {
    int status;
    std::string out;
    std::string err;
};

Run runTool(const test::TempDir& dir, const fs::path& corpus, const fs::path& report) {
    const std::string command = std::string("timeout 120 ") + VASK_BENCH_TOOL + " --corpus " +
                                corpus.string() + " --out " + report.string() + " >" +
                                (dir / "out.txt").string() + " 2>" + (dir / "err.txt").string();
    const int status = std::system(command.c_str());
    return {WEXITSTATUS(status), readFileIfExists(dir / "out.txt").value_or(""),
            readFileIfExists(dir / "err.txt").value_or("")};
}

TEST(VaskBenchToolTest, AReportPathThatCannotTakeTheReportFailsBeforeTheRun) {
    test::TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    writeFileAtomically(dir / "plain", "");
    struct Case {
        std::string name;
        fs::path out;
        std::string mentions;
    };
    const std::vector<Case> cases = {
        {"a folder", dir.path(), "Is a directory"},
        {"a pipe nobody reads", dir / "fifo", "no process is reading"},
        {"a file in a missing folder", dir / "missing" / "report.json", "No such file"},
        {"a file under a regular file", dir / "plain" / "report.json", "Not a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto run = runTool(dir, VASK_SAMPLE_CORPUS, c.out);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(c.mentions), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "") << "the benchmark ran before the report path was refused";
    }
}

TEST(VaskBenchToolTest, TheSummaryShowsCommonWordsApartFromRareKeywords) {
    test::TempDir dir;
    writeCorpus(dir / "corpus.json", 3000);
    const auto run = runTool(dir, dir / "corpus.json", dir / "report.json");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("  keyword, rare words: 10 queries"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("  keyword, common words: 10 queries"), std::string::npos) << run.out;
}

// A signal during the run removes the scratch database and everything beside it.
TEST(VaskBenchToolTest, InterruptedRunsLeaveNoScratchFolder) {
    test::TempDir dir;
    writeCorpus(dir / "corpus.json", 200'000);
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        test::TempDir tmp;
        const std::string tmpdir = "TMPDIR=" + tmp.path().string();
        std::vector<char*> env;
        for (char** e = environ; *e != nullptr; ++e) {
            env.push_back(*e);
        }
        env.push_back(const_cast<char*>(tmpdir.c_str()));
        env.push_back(nullptr);
        const std::string corpus = (dir / "corpus.json").string();
        std::vector<char*> argv = {const_cast<char*>(VASK_BENCH_TOOL),
                                   const_cast<char*>("--corpus"), const_cast<char*>(corpus.c_str()),
                                   nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        pid_t pid = 0;
        ASSERT_EQ(::posix_spawn(&pid, VASK_BENCH_TOOL, &actions, nullptr, argv.data(), env.data()),
                  0);
        posix_spawn_file_actions_destroy(&actions);
        // Once the scratch database exists, the messages are going into it.
        const bool started = test::eventually([&] {
            for (const auto& folder : fs::directory_iterator(tmp.path())) {
                if (fs::exists(folder.path() / "shadow.db")) {
                    return true;
                }
            }
            return false;
        });
        ::kill(pid, signal);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(started);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 128 + signal);
        EXPECT_TRUE(fs::is_empty(tmp.path())) << "the run left its scratch folder behind";
    }
}

}  // namespace
}  // namespace vask
