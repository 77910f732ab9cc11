#include "platform/child_output_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>

namespace vask {
namespace {

using SteadyClock = std::chrono::steady_clock;

// The most one read takes, and the size of each part kept.
constexpr std::size_t kReadBytes = 65536;

UniqueFd wakeDescriptor() {
    UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.isOpen()) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    return wake;
}

}  // namespace

ChildOutputReader::ChildOutputReader(UniqueFd output, ChildProcess& child, std::stop_token stop)
    : output_(std::move(output)),
      child_(child),
      wake_(wakeDescriptor()),
      onStop_(std::move(stop), [fd = wake_.get()] {
          const std::uint64_t one = 1;
          [[maybe_unused]] const auto written = ::write(fd, &one, sizeof one);
      }) {
    // Never blocked in a read: what the pipe holds is read up to the point it is empty.
    const int flags = ::fcntl(output_.get(), F_GETFL);
    if (flags < 0 || ::fcntl(output_.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        throw std::system_error(errno, std::generic_category(), "fcntl");
    }
}

ChildOutputReader::Kept ChildOutputReader::keep(const Options& options) {
    std::array<char, kReadBytes> buffer{};
    // One byte past the bound tells a child that wrote more from one that wrote just that.
    const auto left = options.maxBytes - std::min(size_, options.maxBytes);
    const auto wanted = left < buffer.size() ? left + 1 : buffer.size();
    const auto n = ::read(output_.get(), buffer.data(), wanted);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        return errno == EINTR ? Kept::more : Kept::none;
    }
    if (n <= 0) {
        outputEnded_ = true;
        return Kept::ended;
    }
    const std::string_view read(buffer.data(), static_cast<std::size_t>(n));
    // What fits within the bound is kept, the byte past it is not.
    auto kept = read.substr(0, options.maxBytes - size_);
    size_ += read.size();
    while (options.keep && !kept.empty()) {
        if (parts_.empty() || parts_.back().size() == kReadBytes) {
            parts_.emplace_back().reserve(kReadBytes);
        }
        auto& part = parts_.back();
        const auto taken = std::min(kept.size(), kReadBytes - part.size());
        part.append(kept.substr(0, taken));
        kept.remove_prefix(taken);
    }
    if (size_ > options.maxBytes) {
        return Kept::pastBound;
    }
    if (options.enough && options.enough(read)) {
        return Kept::enough;
    }
    return Kept::more;
}

ChildOutputReader::Kept ChildOutputReader::readAvailable(const Options& options, bool drain) {
    if (outputEnded_) {
        return Kept::ended;
    }
    for (;;) {
        const auto kept = keep(options);
        if (kept != Kept::more || !drain) {
            return kept;
        }
    }
}

ChildOutputReader::End ChildOutputReader::read(const Options& options) {
    // What the pipe holds when the reading is ended from outside is read first: it was written
    // before the end.
    const auto endWith = [this, &options](End end) {
        readAvailable(options, true);
        return end;
    };
    auto nextWatch = SteadyClock::now();
    // The deadline, or the end of the wait for the output once the child ended.
    auto endBy = options.deadline;
    bool childGone = false;
    while (!outputEnded_ || !status_) {
        const auto now = SteadyClock::now();
        if (now >= endBy) {
            return endWith(childGone ? End::finished : End::deadline);
        }
        if (options.watch && !status_ && now >= nextWatch) {
            if (options.watch()) {
                return End::watched;
            }
            nextWatch = now + options.watchInterval;
        }
        // The stop, then what is still awaited: the output, the child's end.
        std::array<pollfd, 3> fds{};
        nfds_t count = 0;
        fds[count++] = {wake_.get(), POLLIN, 0};
        const auto outputAt = outputEnded_ ? fds.size() : count;
        if (!outputEnded_) {
            fds[count++] = {output_.get(), POLLIN, 0};
        }
        const auto endedAt = status_ ? fds.size() : count;
        if (!status_) {
            fds[count++] = {child_.endedFd(), POLLIN, 0};
        }
        auto until = endBy;
        if (options.watch && !status_) {
            until = std::min(until, nextWatch);
        }
        const auto timeout = std::chrono::ceil<std::chrono::milliseconds>(until - now);
        const auto waited = std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, 60'000);
        if (::poll(fds.data(), count, static_cast<int>(waited)) < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        if (fds[0].revents != 0) {
            return endWith(End::stopped);
        }
        if (endedAt < fds.size() && fds[endedAt].revents != 0) {
            status_ = child_.reapIfEnded();
            if (status_ && options.afterEnd && SteadyClock::now() + *options.afterEnd < endBy) {
                endBy = SteadyClock::now() + *options.afterEnd;
                childGone = true;
            }
        }
        if (outputAt < fds.size() && fds[outputAt].revents != 0) {
            switch (readAvailable(options, false)) {
                case Kept::enough:
                    return End::enough;
                case Kept::pastBound:
                    return End::pastBound;
                case Kept::more:
                case Kept::none:
                case Kept::ended:
                    break;
            }
        }
    }
    return End::finished;
}

std::string ChildOutputReader::takeOutput() {
    std::size_t kept = 0;
    for (const auto& part : parts_) {
        kept += part.size();
    }
    std::string out;
    out.reserve(kept);
    for (auto& part : parts_) {
        out.append(part);
        std::string().swap(part);
    }
    parts_.clear();
    size_ = 0;
    return out;
}

}  // namespace vask
