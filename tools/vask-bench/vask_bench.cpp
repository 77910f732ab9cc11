// vask-bench --corpus FILE [--out REPORT]
// Runs the retrieval benchmark over the application's full-text search: one line per query, then
// a summary; the report is written as JSON. Exit status 0 on a complete run, 1 when the corpus
// cannot be read, the report cannot be written or a search fails, 2 on wrong arguments, 128 plus
// the signal's number when SIGINT or SIGTERM ends it. The corpus's messages are streamed into a
// scratch database as they are read, so memory stays far below the file's size; the scratch
// folder goes with the run, also when a signal ends it. The report path is checked before the
// run: a folder, a folder that cannot be written or a pipe nobody reads fails at once. A report
// path naming a device or a pipe is written to, not replaced.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include <nlohmann/json.hpp>

#include "benchmark/benchmark_runner.h"
#include "benchmark/fts5_search_backend.h"
#include "platform/file_io.h"
#include "platform/unique_fd.h"

namespace {

namespace fs = std::filesystem;

// The scratch folder of the run under way, removed by the signal watcher.
std::mutex scratchMutex;
fs::path scratchFolder;

// SIGINT and SIGTERM are blocked in every thread and taken by one of their own, which removes the
// scratch folder (the database, its journals and bulk-copy lock) and ends the process. Called
// before any other thread starts, so that all of them inherit the mask.
void removeScratchFolderOnSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([signals] {
        int signal = 0;
        while (sigwait(&signals, &signal) != 0) {
        }
        const std::lock_guard lock(scratchMutex);
        if (!scratchFolder.empty()) {
            std::error_code ignored;
            fs::remove_all(scratchFolder, ignored);
        }
        std::cerr << "vask-bench: stopped by signal " << signal << "\n";
        std::_Exit(128 + signal);
    }).detach();
}

// Where the report goes, checked before the run so that a report which cannot be written does
// not cost the whole run. A pipe or a device is opened at once and kept open until the report is
// written; a regular file (or a new one) is replaced atomically at the end, which needs its
// folder to be writable.
class ReportDestination {
  public:
    explicit ReportDestination(fs::path path) : path_(std::move(path)) {
        struct stat status {};
        if (::stat(path_.c_str(), &status) != 0) {
            if (errno != ENOENT) {
                throw vask::FileError("inspect", path_, errno);
            }
            requireWritableFolder();
        } else if (S_ISREG(status.st_mode)) {
            requireWritableFolder();
        } else if (S_ISDIR(status.st_mode)) {
            throw vask::FileError("write", path_, EISDIR);
        } else if (S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode)) {
            // Not waiting for a reader: a pipe nobody reads fails here (ENXIO).
            fd_.reset(::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
            if (!fd_.isOpen()) {
                if (errno == ENXIO && S_ISFIFO(status.st_mode)) {
                    throw vask::FileError("write", path_, ENXIO,
                                          "no process is reading from this pipe");
                }
                throw vask::FileError("write", path_, errno);
            }
            ::fcntl(fd_.get(), F_SETFL, ::fcntl(fd_.get(), F_GETFL) & ~O_NONBLOCK);
        } else {
            throw vask::FileError("write", path_, EINVAL,
                                  "it is neither a regular file, a character device nor a pipe");
        }
    }

    const fs::path& path() const { return path_; }

    void write(std::string_view report) const {
        if (!fd_.isOpen()) {
            vask::writeFileAtomically(path_, report,
                                      fs::perms::owner_read | fs::perms::owner_write |
                                          fs::perms::group_read | fs::perms::others_read);
            return;
        }
        while (!report.empty()) {
            const auto n = ::write(fd_.get(), report.data(), report.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                throw vask::FileError("write", path_, n < 0 ? errno : EIO);
            }
            report.remove_prefix(static_cast<std::size_t>(n));
        }
    }

  private:
    void requireWritableFolder() const {
        const auto folder = path_.parent_path().empty() ? fs::path(".") : path_.parent_path();
        struct stat status {};
        if (::stat(folder.c_str(), &status) != 0) {
            throw vask::FileError("write", path_, errno);
        }
        if (!S_ISDIR(status.st_mode)) {
            throw vask::FileError("write", path_, ENOTDIR);
        }
        if (::access(folder.c_str(), W_OK | X_OK) != 0) {
            throw vask::FileError("write", path_, errno,
                                  "its folder " + folder.string() + " cannot be written");
        }
    }

    fs::path path_;
    vask::UniqueFd fd_;
};

struct Options {
    std::filesystem::path corpus;
    std::optional<std::filesystem::path> out;
};

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    bool haveCorpus = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if ((arg == "--corpus" || arg == "--out") && i + 1 < argc) {
            (arg == "--corpus" ? options.corpus : options.out.emplace()) = argv[++i];
            haveCorpus = haveCorpus || arg == "--corpus";
        } else {
            return std::nullopt;
        }
    }
    return haveCorpus ? std::optional(options) : std::nullopt;
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

void printSummary(const vask::BenchmarkMetrics& metrics, std::size_t messageCount) {
    std::cout << "\n"
              << metrics.queryCount << " queries over " << messageCount << " messages\n"
              << "  R@1 " << fixed(metrics.vaskAt1, 3) << "  R@3 " << fixed(metrics.vaskAt3, 3)
              << "  R@5 " << fixed(metrics.vaskAt5, 3) << "\n"
              << "  P@1 " << fixed(metrics.precisionAt1, 3) << "  P@3 "
              << fixed(metrics.precisionAt3, 3) << "  P@5 " << fixed(metrics.precisionAt5, 3)
              << "\n"
              << "  MRR " << fixed(metrics.mrr, 3) << "\n"
              << "  latency p50 " << fixed(metrics.latencyP50Ms, 3) << " ms  p95 "
              << fixed(metrics.latencyP95Ms, 3) << " ms\n";
    const auto printCategory = [](std::string_view name, const vask::CategoryMetrics& figures) {
        std::cout << "  " << name << ": " << figures.queryCount << " queries, R@5 "
                  << fixed(figures.vaskAt5, 3) << ", P@3 " << fixed(figures.precisionAt3, 3)
                  << ", MRR " << fixed(figures.mrr, 3) << ", latency p50 "
                  << fixed(figures.latencyP50Ms, 3) << " ms p95 "
                  << fixed(figures.latencyP95Ms, 3) << " ms\n";
    };
    // Keyword queries of everyday words take far longer than rare codes: each has its own line.
    std::vector<const vask::QueryResult*> rareKeywords;
    std::vector<const vask::QueryResult*> commonWords;
    for (const auto& result : metrics.perQueryResults) {
        if (result.category == vask::rawValue(vask::QueryCategory::keyword)) {
            (result.queryId.starts_with(vask::commonWordsQueryPrefix) ? commonWords : rareKeywords)
                .push_back(&result);
        }
    }
    for (const auto category : vask::allQueryCategories()) {
        const auto it = metrics.perCategoryMetrics.find(std::string(vask::rawValue(category)));
        if (it == metrics.perCategoryMetrics.end()) {
            continue;
        }
        if (category == vask::QueryCategory::keyword && !commonWords.empty()) {
            if (!rareKeywords.empty()) {
                printCategory("keyword, rare words", vask::categoryMetrics(rareKeywords));
            }
            printCategory("keyword, common words", vask::categoryMetrics(commonWords));
            continue;
        }
        printCategory(it->first, it->second);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = parse(argc, argv);
    if (!options) {
        std::cerr << "usage: vask-bench --corpus FILE [--out REPORT]\n";
        return 2;
    }
    removeScratchFolderOnSignals();
    try {
        std::optional<ReportDestination> destination;
        if (options->out) {
            destination.emplace(*options->out);
        }
        // The scratch database is only a means of measuring: it goes with the backend, whatever
        // the outcome.
        // Made with the watcher's lock held, so that a signal meanwhile waits for the folder's
        // name and removes it.
        std::unique_lock scratchLock(scratchMutex);
        auto backend = std::make_shared<vask::FTS5SearchBackend>(std::nullopt);
        scratchFolder = backend->scratchFolder();
        scratchLock.unlock();
        std::size_t messageCount = 0;
        std::vector<vask::ShadowMessage> shadowBatch;
        auto corpus = vask::BenchmarkCorpus::streamFromFile(
            options->corpus, [&](std::vector<vask::CorpusMessage>& batch) {
                shadowBatch.clear();
                for (const auto& message : batch) {
                    shadowBatch.push_back(message.toShadowMessage());
                }
                backend->ingest(shadowBatch);
                messageCount += batch.size();
            });
        shadowBatch = {};
        const vask::BenchmarkRunner runner(backend, std::move(corpus));
        const auto metrics = runner.run(true, std::cout);
        printSummary(metrics, messageCount);
        if (destination) {
            destination->write(metrics.toJSON().dump(2) + "\n");
            std::cout << "report: " << destination->path().string() << "\n";
        }
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "vask-bench: " << error.what() << "\n";
        return 1;
    }
}
