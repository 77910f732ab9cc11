#include "sources/folder_watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "foundation/structured_logger.h"
#include "platform/error.h"
#include "platform/text.h"

namespace vask {
namespace {

constexpr std::uint32_t folderEvents = IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO |
                                       IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t parentEvents = IN_CREATE | IN_MOVED_TO | IN_ONLYDIR;

const StructuredLogger& logger() {
    static const StructuredLogger log("folder-watcher");
    return log;
}

}  // namespace

bool FolderWatcher::isDataFile(std::string_view name) const {
    if (name.empty() || name.front() == '.') {
        return false;
    }
    return name.size() > extension_.size() &&
           text::toLower(name.substr(name.size() - extension_.size())) == extension_;
}

FolderWatcher::FolderWatcher(std::filesystem::path folder, const std::string& extension,
                             std::function<void()> onChange, Scheduler& scheduler,
                             Scheduler::Duration latency)
    : folder_(std::move(folder)),
      extension_(text::toLower(extension)),
      onChange_(std::move(onChange)),
      latency_(latency) {
    inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ < 0) {
        throw Error(std::string("Could not watch the folder: ") + std::strerror(errno));
    }
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_ < 0) {
        const int error = errno;
        ::close(inotify_);
        throw Error(std::string("Could not watch the folder: ") + std::strerror(error));
    }
    queue_ = std::make_unique<SerialQueue>("folder-watcher", scheduler);
    addWatches();
    reader_ = std::thread([this] { readLoop(); });
}

FolderWatcher::~FolderWatcher() {
    const std::uint64_t one = 1;
    // Adding 1 to a fresh eventfd cannot overflow it, so this write does not fail.
    [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
    reader_.join();
    {
        std::lock_guard lock(mutex_);
        pendingDelivery_.cancel();
    }
    queue_.reset();
    ::close(wake_);
    ::close(inotify_);
}

void FolderWatcher::addWatches() {
    std::error_code error;
    if (!std::filesystem::is_directory(folder_, error)) {
        parentWatch_ = inotify_add_watch(inotify_, folder_.parent_path().c_str(), parentEvents);
        if (parentWatch_ < 0) {
            logger().warning("folder_watch_failed", {{"path", folder_.parent_path().string()},
                                                     {"error", std::strerror(errno)}});
        }
        return;
    }
    if (parentWatch_ >= 0) {
        inotify_rm_watch(inotify_, parentWatch_);
        parentWatch_ = -1;
    }
    // Adding a watch for a folder already watched only refreshes it, so the whole tree is
    // walked again after every change of its shape.
    auto watch = [this](const std::filesystem::path& path) {
        if (inotify_add_watch(inotify_, path.c_str(), folderEvents) < 0) {
            logger().warning("folder_watch_failed",
                             {{"path", path.string()}, {"error", std::strerror(errno)}});
        }
    };
    watch(folder_);
    for (std::filesystem::recursive_directory_iterator
             it(folder_, std::filesystem::directory_options::skip_permission_denied, error),
         end;
         !error && it != end; it.increment(error)) {
        if (it->is_directory(error)) {
            watch(it->path());
        }
    }
    if (error) {
        logger().warning("folder_watch_failed",
                         {{"path", folder_.string()}, {"error", error.message()}});
    }
}

void FolderWatcher::readLoop() {
    std::array<pollfd, 2> fds{pollfd{inotify_, POLLIN, 0}, pollfd{wake_, POLLIN, 0}};
    while (true) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            logger().error("folder_watch_stopped", {{"error", std::strerror(errno)}});
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if (const auto relevant = drainEvents(); relevant > 0) {
            // Armed before it is counted, so whoever sees the count also finds the delivery.
            scheduleDelivery();
            relevantEvents_ += relevant;
        }
    }
}

std::size_t FolderWatcher::drainEvents() {
    alignas(inotify_event) std::array<char, 16384> buffer;
    std::size_t relevant = 0;
    bool shapeChanged = false;
    while (true) {
        const ssize_t length = ::read(inotify_, buffer.data(), buffer.size());
        if (length <= 0) {
            break;
        }
        for (ssize_t offset = 0; offset < length;) {
            inotify_event event;
            std::memcpy(&event, buffer.data() + offset, sizeof event);
            const std::string_view name =
                event.len > 0 ? std::string_view(buffer.data() + offset + sizeof event) : "";
            offset += static_cast<ssize_t>(sizeof event + event.len);

            // The branches that mark a change of shape stay apart: a parent-folder event only
            // counts for our own folder's name, whatever its mask.
            if ((event.mask & IN_Q_OVERFLOW) != 0) {  // NOLINT(bugprone-branch-clone): see above
                // Events were lost: the only safe reading is "something changed".
                shapeChanged = true;
                ++relevant;
            } else if (event.wd == parentWatch_) {
                if (name == folder_.filename().string()) {
                    shapeChanged = true;
                    ++relevant;
                }
            } else if ((event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_ISDIR)) != 0) {
                // The folder itself, or a folder inside it, came or went.
                shapeChanged = true;
                ++relevant;
            } else if ((event.mask & IN_CREATE) == 0 && isDataFile(name)) {
                // A file's creation is followed by its write or rename, which is what counts.
                ++relevant;
            }
        }
    }
    if (shapeChanged) {
        addWatches();
    }
    return relevant;
}

void FolderWatcher::scheduleDelivery() {
    std::lock_guard lock(mutex_);
    if (deliveryPending_) {
        return;
    }
    deliveryPending_ = true;
    pendingDelivery_ = queue_->postAfter(latency_, [this] {
        {
            std::lock_guard deliveryLock(mutex_);
            deliveryPending_ = false;
        }
        onChange_();
    });
}

}  // namespace vask
