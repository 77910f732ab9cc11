#include "sources/file_search.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>

#include "foundation/application_secrets.h"
#include "platform/child_output_reader.h"
#include "platform/child_spawn.h"
#include "platform/text.h"
#include "platform/unique_fd.h"
#include "sources/file_types.h"

namespace vask {
namespace {

bool isWordByte(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c >= 0x80;
}

std::string readPrefix(const std::filesystem::path& path, std::size_t limit) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) {
        return {};
    }
    std::string buffer(limit, '\0');
    std::size_t filled = 0;
    while (filled < limit) {
        const auto n = ::read(fd.get(), buffer.data() + filled, limit - filled);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        filled += static_cast<std::size_t>(n);
    }
    buffer.resize(filled);
    return buffer;
}

// Words that occur in almost every English text, and in most questions, without saying what the
// question is about. Sorted for binary search.
constexpr std::array<std::string_view, 76> kStopWords = {
    "about", "after", "all",   "also", "and",   "any",   "are",    "been",  "before", "but",
    "can",   "could", "did",   "does", "doing", "done",  "each",   "for",   "from",   "get",
    "got",   "had",   "has",   "have", "her",   "hers",  "him",    "his",   "how",    "into",
    "its",   "just",  "may",   "mine", "more",  "most",  "not",    "now",   "off",    "only",
    "other", "our",   "ours",  "out",  "over",  "she",   "should", "some",  "such",   "than",
    "that",  "the",   "their", "them", "then",  "there", "these",  "they",  "this",   "those",
    "too",   "very",  "was",   "were", "what",  "when",  "where",  "which", "who",    "why",
    "will",  "with",  "would", "you",  "your",  "yours"};
static_assert(std::is_sorted(kStopWords.begin(), kStopWords.end()));

bool isStopWord(std::string_view word) {
    return std::binary_search(kStopWords.begin(), kStopWords.end(), word);
}

// The longest path the system takes (PATH_MAX, its terminating NUL aside).
constexpr std::size_t kMaxPathBytes = 4095;
// What the command's output may come to, whatever the limit asked for.
constexpr std::size_t kMaxOutputBytes = std::size_t{64} * 1024 * 1024;
// How long the output is still read once the command ended: a process it left behind in a
// session of its own may hold the output open (ended with the search, as everything the command
// started is), or one that was running before the search and was handed the output (a daemon the
// command talks to, which is not Vask's to end).
constexpr std::chrono::milliseconds kOutputGraceAfterExit{200};

// A path the command reports is absolute (a warning or a progress line is not); a NUL never lies
// in one, nor does one run longer than the system's longest. A name that is not UTF-8 (legal on
// Linux, a Latin-1 one say) is left out: the paths become text for the cache, the logs and the
// helper.
bool isPath(std::string_view line) {
    return line.starts_with('/') && line.size() <= kMaxPathBytes &&
           line.find('\0') == std::string_view::npos && text::isValidUtf8(line);
}

// Keeps the paths of the command's output as it is read, up to `limit`. It holds those paths and
// the line in hand, and of that line no more than a path can take: the lines left out count
// neither toward the limit nor toward what is held, however many or long they are.
class PathLines {
  public:
    explicit PathLines(std::size_t limit) : limit_(limit) {}

    // True once `limit` paths are kept.
    bool add(std::string_view part) {
        while (!part.empty() && paths_.size() < limit_) {
            const auto end = part.find('\n');
            const auto piece = part.substr(0, end);
            if (!tooLong_) {
                tooLong_ = line_.size() + piece.size() > kMaxPathBytes;
                if (tooLong_) {
                    line_.clear();
                } else {
                    line_.append(piece);
                }
            }
            if (end == std::string_view::npos) {
                break;
            }
            endLine();
            part.remove_prefix(end + 1);
        }
        return paths_.size() >= limit_;
    }

    // The paths, with the last line when the output ended after it without a newline (a line
    // the command was cut off in is no path).
    std::vector<std::string> take(bool outputEnded) {
        if (outputEnded) {
            endLine();
        }
        return std::move(paths_);
    }

  private:
    void endLine() {
        if (!tooLong_ && paths_.size() < limit_ && isPath(line_)) {
            paths_.push_back(line_);
        }
        line_.clear();
        tooLong_ = false;
    }

    std::size_t limit_;
    std::vector<std::string> paths_;
    std::string line_;
    bool tooLong_ = false;
};

// Reads what `output` holds now, without waiting, into `paths` (no more than the output's bound);
// true when the output ended there.
bool drain(const UniqueFd& output, PathLines& paths) {
    const int flags = ::fcntl(output.get(), F_GETFL);
    if (flags < 0 || ::fcntl(output.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        return false;
    }
    std::array<char, 64 * 1024> chunk{};
    for (std::size_t read = 0; read < kMaxOutputBytes;) {
        const auto n = ::read(output.get(), chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n == 0;
        }
        read += static_cast<std::size_t>(n);
        if (paths.add(std::string_view(chunk.data(), static_cast<std::size_t>(n)))) {
            return false;
        }
    }
    return false;
}

}  // namespace

FileSearch::FileSearch() : FileSearch(Options{}) {}

FileSearch::FileSearch(Options options) : options_(std::move(options)) {}

bool FileSearch::usesCommand() const {
    return ::access(options_.commandPath.c_str(), X_OK) == 0;
}

std::vector<std::string> FileSearch::commandArguments(
    std::string_view query, const std::vector<std::filesystem::path>& scopes) {
    std::vector<std::string> arguments;
    // A leading blank keeps a query starting with "-" from reading as an option; built by
    // appending, as GCC 12 warns (-Wrestrict, wrongly) about " " + a temporary string.
    std::string argument = query.starts_with('-') ? " " : "";
    argument += query;
    arguments.push_back(std::move(argument));
    for (const auto& scope : scopes) {
        arguments.emplace_back("-onlyin");
        arguments.emplace_back(scope.string());
    }
    return arguments;
}

std::vector<std::string> FileSearch::queryTerms(std::string_view query) {
    std::vector<std::string> terms;
    std::size_t i = 0;
    while (i < query.size()) {
        while (i < query.size() && !isWordByte(static_cast<unsigned char>(query[i]))) {
            ++i;
        }
        const auto start = i;
        while (i < query.size() && isWordByte(static_cast<unsigned char>(query[i]))) {
            ++i;
        }
        if (i - start >= 3) {
            auto term = text::toLower(query.substr(start, i - start));
            if (!isStopWord(term) && std::find(terms.begin(), terms.end(), term) == terms.end()) {
                terms.push_back(std::move(term));
            }
        }
    }
    return terms;
}

FileSearch::Result FileSearch::search(std::string_view query,
                                      const std::vector<std::filesystem::path>& scopes,
                                      std::size_t limit, const ExclusionCheck& isExcluded,
                                      std::stop_token stop) const {
    if (usesCommand()) {
        return runCommand(query, scopes, limit, stop);
    }
    return walk(query, scopes, limit, isExcluded, stop);
}

FileSearch::Result FileSearch::runCommand(std::string_view query,
                                          const std::vector<std::filesystem::path>& scopes,
                                          std::size_t limit, std::stop_token stop) const {
    if (limit == 0) {
        return {};
    }
    std::array<int, 2> pipeFds{};
    if (::pipe2(pipeFds.data(), O_CLOEXEC) != 0) {
        throw FileSearchError(std::strerror(errno));
    }
    UniqueFd readEnd(pipeFds[0]);
    UniqueFd writeEnd(pipeFds[1]);

    // The search command runs for the user, with their environment (but for Vask's own secrets,
    // which no child gets), and gets only its output pipe. Nothing it starts outlives the search,
    // however the search ends: it runs under a keeper that ends every descendant of it, and
    // only those (see ChildProcess).
    ChildSpawn spawn;
    spawn.program = options_.commandPath;
    spawn.arguments = commandArguments(query, scopes);
    spawn.environment = currentEnvironment();
    spawn.withheld = isApplicationSecret;
    spawn.standard = {-1, writeEnd.get(), -1};
    spawn.ownProcessGroup = true;
    spawn.ownPidNamespace = options_.ownPidNamespace;
    Result result;
    // One budget from the start on: a keeper stopped before it let the command run holds the
    // start no longer than it would hold the reading.
    const ChildProcess::StartBound bound{std::chrono::steady_clock::now() + options_.timeBudget,
                                         stop};
    PathLines paths(limit);
    std::unique_ptr<ChildProcess> child;
    try {
        child = std::make_unique<ChildProcess>(spawn, ChildProcess::Descendants::ended,
                                               options_.stopBudget, bound);
    } catch (const std::system_error& error) {
        result.timedOut = error.code() == std::errc::timed_out;
        result.cancelled = error.code() == std::errc::operation_canceled;
        if (!result.timedOut && !result.cancelled) {
            throw FileSearchError(error.code().message());
        }
        // The command may have run and printed before its keeper let go (a keeper slow to run
        // on a busy machine): what it printed is found, as after a stop in the reading. Its
        // writers are ended by now; what the pipe holds is read without waiting.
        writeEnd.reset();
        result.paths = paths.take(drain(readEnd, paths));
        return result;
    }
    writeEnd.reset();

    ChildOutputReader::Options reading;
    // Only the paths are kept, as they come; enough of them end the reading (the rest would be
    // dropped), and so does more output than any search gives.
    reading.keep = false;
    reading.maxBytes = kMaxOutputBytes;
    reading.deadline = bound.deadline;
    reading.afterEnd = kOutputGraceAfterExit;
    reading.enough = [&paths](std::string_view part) { return paths.add(part); };
    bool outputEnded = false;
    try {
        // A command that closed its output may still run: the same budget and stop bound its
        // end. One that ended is not waited for past a moment after, whatever holds its output;
        // what it started is ended as the child goes.
        ChildOutputReader reader(std::move(readEnd), *child, stop);
        switch (reader.read(reading)) {
            case ChildOutputReader::End::deadline:
                result.timedOut = true;
                break;
            case ChildOutputReader::End::stopped:
                result.cancelled = true;
                break;
            case ChildOutputReader::End::finished:
            case ChildOutputReader::End::enough:
            case ChildOutputReader::End::pastBound:
            case ChildOutputReader::End::watched:
                break;
        }
        outputEnded = reader.outputEnded();
    } catch (const std::system_error& error) {
        throw FileSearchError(error.what());
    }
    child.reset();
    result.paths = paths.take(outputEnded);
    return result;
}

FileSearch::Result FileSearch::walk(std::string_view query,
                                    const std::vector<std::filesystem::path>& scopes,
                                    std::size_t limit, const ExclusionCheck& isExcluded,
                                    std::stop_token stop) const {
    namespace fs = std::filesystem;
    Result result;
    const auto terms = queryTerms(query);
    if (terms.empty() || limit == 0) {
        return result;
    }
    struct Hit {
        int score;
        std::string path;
    };
    std::vector<Hit> hits;
    const auto deadline = std::chrono::steady_clock::now() + options_.timeBudget;

    for (const auto& scope : scopes) {
        std::error_code ec;
        fs::recursive_directory_iterator it(scope, fs::directory_options::skip_permission_denied,
                                            ec);
        for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (stop.stop_requested()) {
                result.cancelled = true;
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                result.timedOut = true;
                break;
            }
            const auto& entry = *it;
            std::error_code statusError;
            const auto status = entry.symlink_status(statusError);
            if (statusError || fs::is_symlink(status)) {
                continue;
            }
            auto path = entry.path().string();
            if (fs::is_directory(status)) {
                if (isExcluded && isExcluded(path + "/")) {
                    it.disable_recursion_pending();
                }
                continue;
            }
            // A path that is not UTF-8 is left out, as the search command's are.
            if (!fs::is_regular_file(status) || !text::isValidUtf8(path) ||
                (isExcluded && isExcluded(path))) {
                continue;
            }
            const auto name = text::toLower(entry.path().filename().string());
            std::string content;
            const auto type = FileTypes::forPath(path);
            if (type && type->isTextOrSourceCode()) {
                std::error_code sizeError;
                const auto size = entry.file_size(sizeError);
                if (!sizeError && size <= options_.smallFileBytes) {
                    content =
                        text::asciiLowered(readPrefix(entry.path(), options_.textPrefixBytes));
                }
            }
            int score = 0;
            for (const auto& term : terms) {
                if (name.find(term) != std::string::npos) {
                    score += 2;
                } else if (content.find(term) != std::string::npos) {
                    score += 1;
                }
            }
            if (score > 0) {
                hits.push_back({score, std::move(path)});
            }
        }
        if (result.cancelled || result.timedOut) {
            break;
        }
    }
    // Best matches first, so that the limit keeps them; equal scores keep the walk's order.
    std::stable_sort(hits.begin(), hits.end(),
                     [](const Hit& a, const Hit& b) { return a.score > b.score; });
    for (auto& hit : hits) {
        if (result.paths.size() >= limit) {
            break;
        }
        result.paths.push_back(std::move(hit.path));
        result.scores.push_back(hit.score);
    }
    return result;
}

}  // namespace vask
