#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "platform/child_spawn.h"

namespace vask {

// Reads what a child writes to a pipe until the child is done with it (its output ended and the
// child ended, or `afterEnd` passed since the child ended), a deadline passes, a stop is
// requested, or it wrote more than the bound. What is kept never passes the bound by more than
// one read, and each byte is looked at once, so a child that writes without end costs Vask
// neither memory nor time beyond them. However the reading ends, what the child had written by
// then is kept (a stop or a deadline is seen only after what the pipe already holds is read), and
// the child is left to its owner, who kills it as it goes.
class ChildOutputReader {
  public:
    enum class End {
        // The child ended (`status` holds its wait status), and so did its output, or it was
        // no longer waited for (`afterEnd`).
        finished,
        // `enough` asked for no more.
        enough,
        // The child wrote more than `maxBytes`.
        pastBound,
        // `watch` asked to end.
        watched,
        deadline,
        stopped,
    };
    struct Options {
        std::size_t maxBytes = 0;
        std::chrono::steady_clock::time_point deadline;
        // Called with each part as it is read; true ends the reading.
        std::function<bool(std::string_view part)> enough;
        // False: what is read is only handed to `enough`, nothing is kept (`maxBytes` still
        // bounds what is read).
        bool keep = true;
        // How long the output is still read once the child ended; unset, up to the deadline. A
        // descendant that holds the output after the child's end (one that left its process
        // group, which the owner's kill does not reach) is not waited for past it.
        std::optional<std::chrono::milliseconds> afterEnd;
        // Called every `watchInterval` while the child runs; true ends the reading.
        std::function<bool()> watch;
        std::chrono::milliseconds watchInterval{10};
    };

    // Takes the pipe's read end. Throws std::system_error when no descriptor can be made for the
    // stop.
    ChildOutputReader(UniqueFd output, ChildProcess& child, std::stop_token stop);

    // Throws std::system_error when waiting fails.
    End read(const Options& options);

    // What was kept, in one piece.
    std::string takeOutput();
    std::size_t size() const { return size_; }
    // Whether the child closed its output (all it wrote was read).
    bool outputEnded() const { return outputEnded_; }
    // The child's wait status once it ended.
    std::optional<int> status() const { return status_; }

  private:
    // What one read came to: more may be read at once, the pipe is empty for now, or it ended.
    enum class Kept { more, none, ended, enough, pastBound };
    // Reads what the pipe holds now (without waiting when `drain`).
    Kept readAvailable(const Options& options, bool drain);
    Kept keep(const Options& options);

    UniqueFd output_;
    ChildProcess& child_;
    UniqueFd wake_;
    std::stop_callback<std::function<void()>> onStop_;
    // Parts of at most one read each, so that what is kept grows by no more than it reads.
    std::vector<std::string> parts_;
    std::size_t size_ = 0;
    bool outputEnded_ = false;
    std::optional<int> status_;
};

}  // namespace vask
