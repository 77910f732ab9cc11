#include "benchmark/fts5_search_backend.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <regex>

#include "platform/file_io.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

ShadowMessage message(std::string guid, std::string text) {
    ShadowMessage m;
    m.guid = std::move(guid);
    m.chatId = "chat";
    m.sender = "+15550100";
    m.text = std::move(text);
    return m;
}

class FTS5SearchBackendTest : public ::testing::Test {
  protected:
    test::TempDir dir;
    FTS5SearchBackend backend{dir / "bench.db"};
};

TEST_F(FTS5SearchBackendTest, SearchesWithTheStoresRankingAndLimit) {
    std::vector<ShadowMessage> batch;
    for (int i = 0; i < 7; ++i) {
        // More repetitions of the word rank higher under bm25.
        std::string text = "lunch";
        for (int r = 0; r < i; ++r) {
            text += " lunch";
        }
        batch.push_back(message("g" + std::to_string(i), text + " filler words here"));
    }
    backend.ingest(batch);
    backend.ingest({});
    EXPECT_EQ(backend.search("lunch", 5), (std::vector<std::string>{"g6", "g5", "g4", "g3", "g2"}));
    EXPECT_TRUE(backend.search("\"unbalanced", 5).empty());
    EXPECT_TRUE(backend.search("lunch", -1).empty());
}

TEST_F(FTS5SearchBackendTest, ALaterMessageWithTheSameGuidReplacesTheEarlier) {
    backend.ingest({message("same", "first words")});
    backend.ingest({message("same", "second words")});
    EXPECT_TRUE(backend.search("first", 5).empty());
    EXPECT_EQ(backend.search("second", 5), std::vector<std::string>{"same"});
}

TEST_F(FTS5SearchBackendTest, ResetStartsEmptyWhetherOrNotTheCompanionFilesExist) {
    backend.ingest({message("g", "pancakes")});
    backend.reset();
    EXPECT_TRUE(backend.search("pancakes", 5).empty());
    std::filesystem::remove(backend.databasePath().string() + "-wal");
    std::filesystem::remove(backend.databasePath().string() + "-shm");
    backend.reset();
    backend.ingest({message("g", "waffles")});
    EXPECT_EQ(backend.search("waffles", 5), std::vector<std::string>{"g"});
}

TEST_F(FTS5SearchBackendTest, ADatabaseErrorDuringASearchIsAnErrorNotAnEmptyResult) {
    backend.ingest({message("g", "pancakes")});
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(backend.databasePath().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "DROP TABLE messages_fts", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    EXPECT_THROW(backend.search("pancakes", 5), ShadowDB::Error);
}

// Without a path, each backend keeps its database in a private folder of its own and takes the
// folder with everything the store made in it (bulk-copy lock included) when it goes.
TEST(FTS5SearchBackendScratchTest, EachBackendWithoutAPathGetsAScratchFolderRemovedWhole) {
    test::TempDir tmp;
    test::ScopedEnvironment environment;
    environment.set("TMPDIR", tmp.path().string());
    std::filesystem::path firstFolder;
    {
        FTS5SearchBackend first(std::nullopt);
        const FTS5SearchBackend second(std::nullopt);
        const std::regex name(
            "bench-shadow-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-"
            "[0-9A-F]{12}");
        for (const auto* backend : std::array<const FTS5SearchBackend*, 2>{&first, &second}) {
            EXPECT_EQ(backend->scratchFolder().parent_path(), tmp.path());
            EXPECT_TRUE(std::regex_match(backend->scratchFolder().filename().string(), name))
                << backend->scratchFolder();
            EXPECT_EQ(backend->databasePath().parent_path(), backend->scratchFolder());
            EXPECT_TRUE(std::filesystem::exists(backend->databasePath()));
            EXPECT_EQ(std::filesystem::status(backend->scratchFolder()).permissions(),
                      std::filesystem::perms::owner_all);
        }
        EXPECT_NE(first.scratchFolder(), second.scratchFolder());
        std::vector<ShadowMessage> batch;
        for (int i = 0; i < 2000; ++i) {
            batch.push_back(message("g" + std::to_string(i), "pancakes " + std::to_string(i)));
        }
        first.ingest(batch);
        first.reset();
        first.ingest(batch);
        firstFolder = first.scratchFolder();
    }
    EXPECT_FALSE(std::filesystem::exists(firstFolder));
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
}

// The command-line driver: exit status and report for a good corpus, a clear error for a bad one.
TEST(VaskBenchToolTest, WritesEveryReportKeyAndFailsOnABadCorpus) {
    test::TempDir dir;
    const auto report = dir / "report.json";
    const std::string run = std::string(VASK_BENCH_TOOL) + " --corpus " + VASK_SAMPLE_CORPUS +
                            " --out " + report.string() + " > " + (dir / "out.txt").string() +
                            " 2>/dev/null";
    ASSERT_EQ(std::system(run.c_str()), 0);
    const auto written = nlohmann::json::parse(*readFileIfExists(report));
    for (const char* key :
         {"vask_at_1", "vask_at_3", "vask_at_5", "precision_at_1", "precision_at_3",
          "precision_at_5", "mrr", "query_count", "latency_p50_ms", "latency_p95_ms",
          "per_query_results", "per_category_metrics"}) {
        EXPECT_TRUE(written.contains(key)) << key;
    }
    const auto output = *readFileIfExists(dir / "out.txt");
    const auto lines = std::count(output.begin(), output.end(), '\n');
    EXPECT_GT(lines, written["query_count"].get<int>());

    writeFileAtomically(dir / "bad.json", R"({"version": "1", "messages": [], "queries": 3})");
    const std::string bad = std::string(VASK_BENCH_TOOL) + " --corpus " +
                            (dir / "bad.json").string() + " > /dev/null 2> " +
                            (dir / "err.txt").string();
    const int status = std::system(bad.c_str());
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(readFileIfExists(dir / "err.txt")->find("\"queries\""), std::string::npos);
}

// A report path naming a device or a pipe is written to, never replaced by a regular file; a
// corpus that is a pipe is refused, not waited on; and no run leaves anything in the temporary
// folder.
TEST(VaskBenchToolTest, DevicesAndPipesAreNotReplacedAndNothingIsLeftBehind) {
    test::TempDir dir;
    test::TempDir tmp;
    ASSERT_EQ(::mkfifo((dir / "report-fifo").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((dir / "corpus-fifo").c_str(), 0600), 0);
    const bool haveDevice = ::mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;

    struct Case {
        const char* name;
        std::filesystem::path corpus;
        std::filesystem::path out;
        int status;
        const char* mentions;  // in the error output
    };
    std::vector<Case> cases = {
        {"report to a pipe nobody reads", VASK_SAMPLE_CORPUS, dir / "report-fifo", 1,
         "no process is reading"},
        {"corpus from a pipe", dir / "corpus-fifo", dir / "report.json", 1, "regular file"},
        {"corpus from a device", "/dev/zero", dir / "report.json", 1, "regular file"},
        {"report to a regular file", VASK_SAMPLE_CORPUS, dir / "report.json", 0, ""},
    };
    if (haveDevice) {
        cases.push_back({"report to a device", VASK_SAMPLE_CORPUS, dir / "null", 0, ""});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Bounded: the old reader waited for a writer to the pipe for ever.
        const std::string command = "TMPDIR=" + tmp.path().string() + " timeout 60 " +
                                    VASK_BENCH_TOOL + " --corpus " + c.corpus.string() + " --out " +
                                    c.out.string() + " >/dev/null 2>" + (dir / "err.txt").string();
        const int status = std::system(command.c_str());
        EXPECT_EQ(WEXITSTATUS(status), c.status);
        EXPECT_NE(readFileIfExists(dir / "err.txt")->find(c.mentions), std::string::npos)
            << *readFileIfExists(dir / "err.txt");
        EXPECT_TRUE(std::filesystem::is_empty(tmp.path())) << "the run left files behind";
    }
    EXPECT_TRUE(std::filesystem::is_fifo(dir / "report-fifo"));
    EXPECT_TRUE(std::filesystem::is_fifo(dir / "corpus-fifo"));
    if (haveDevice) {
        EXPECT_TRUE(std::filesystem::is_character_file(dir / "null"));
    } else {
        GTEST_SKIP() << "mknod is not permitted here: the device case needs root or CAP_MKNOD";
    }
}

}  // namespace
}  // namespace vask
