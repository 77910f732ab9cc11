#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace vask {

class FileSearchError : public Error {
  public:
    explicit FileSearchError(const std::string& message) : Error(message) {}
};

// Finds files in the allowed folders whose names or contents match a question: through the
// system's search command where one is installed, otherwise by walking the folders ourselves
// (names, and the start of small text files). Either way the search has a time budget and ends
// early when `stop` is requested; what was found by then is returned.
class FileSearch {
  public:
    struct Options {
        // The search command; when no executable exists there, the folders are walked.
        std::filesystem::path commandPath = "/usr/bin/mdfind";
        std::chrono::milliseconds timeBudget{std::chrono::seconds(5)};
        // How long the search's end waits for what the command started to be ended by its
        // keeper; past it the keeper is killed, and the command's process group with it.
        std::chrono::milliseconds stopBudget{500};
        // The command runs in a PID namespace of its own where the kernel allows one, so that
        // whatever it does, nothing it started outlives its keeper (see ChildProcess); false
        // runs it as where none is allowed.
        bool ownPidNamespace = true;
        // Text files up to this size have their start read by the walk...
        std::uintmax_t smallFileBytes = std::uintmax_t{1024} * 1024;
        // ...and this much of it.
        std::size_t textPrefixBytes = std::size_t{16} * 1024;
    };

    struct Result {
        std::vector<std::string> paths;
        // The walk's score of each path (higher is better), in the order of `paths`; empty when
        // the search command answered, whose order is its own.
        std::vector<int> scores;
        // True when the time budget ran out or `stop` was requested before the search ended.
        bool timedOut = false;
        bool cancelled = false;
    };

    // Called with a path (a folder's path ends with "/"); true leaves it out, and the walk does
    // not enter a folder it leaves out.
    using ExclusionCheck = std::function<bool(const std::string& path)>;

    FileSearch();
    explicit FileSearch(Options options);

    bool usesCommand() const;

    // At most `limit` paths. The walk never follows symbolic links: a link is neither entered
    // nor reported. Of the command's output lines only paths count toward `limit` (a line that
    // is not absolute, holds a NUL, is longer than a path can be, or is not UTF-8 is none, and
    // costs no memory); the output is read up to 64 MiB, and no longer than a moment after the
    // command ended, whatever holds it. Whatever the command started (and only that) is ended
    // when the search returns, however it ends; should the command's keeper be killed, that is
    // the command and its process group (see ChildProcess). The budget and the stop bound the
    // command's start too (a keeper the command stopped before the command ran): a start they
    // end returns what the command printed by then, timed out or cancelled. Throws
    // FileSearchError when the search command cannot be started or waited for.
    Result search(std::string_view query, const std::vector<std::filesystem::path>& scopes,
                  std::size_t limit, const ExclusionCheck& isExcluded,
                  std::stop_token stop = {}) const;

    // The command's arguments: the query, then "-onlyin" and each scope. A query that starts with
    // "-" gets a leading blank so that the command reads it as the query, never as an option.
    static std::vector<std::string> commandArguments(
        std::string_view query, const std::vector<std::filesystem::path>& scopes);

    // Lower-cased words of at least three bytes, each once, in order, without the common words
    // of a question ("the", "did", "what"...) that would match almost any text.
    static std::vector<std::string> queryTerms(std::string_view query);

  private:
    Result runCommand(std::string_view query, const std::vector<std::filesystem::path>& scopes,
                      std::size_t limit, std::stop_token stop) const;
    Result walk(std::string_view query, const std::vector<std::filesystem::path>& scopes,
                std::size_t limit, const ExclusionCheck& isExcluded, std::stop_token stop) const;

    Options options_;
};

}  // namespace vask
