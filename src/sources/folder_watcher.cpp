#include "sources/folder_watcher.h"

#include <sys/inotify.h>

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
    queue_ = std::make_unique<SerialQueue>("folder-watcher", scheduler);
    try {
        inotify_ = std::make_unique<InotifyReader>(
            [this](const std::vector<InotifyReader::Event>& events) {
                if (const auto relevant = takeIn(events); relevant > 0) {
                    // Armed before it is counted, so whoever sees the count also finds the
                    // delivery.
                    scheduleDelivery();
                    relevantEvents_ += relevant;
                }
            },
            [](const std::string& reason) {
                logger().error("folder_watch_stopped", {{"error", reason}});
            });
    } catch (const Error& error) {
        throw Error(std::string("Could not watch the folder: ") + error.what());
    }
    // Before the reader runs: its thread takes parentWatch_ as it is left here.
    addWatches();
    inotify_->start();
}

FolderWatcher::~FolderWatcher() {
    inotify_->stop();
    {
        std::lock_guard lock(mutex_);
        pendingDelivery_.cancel();
    }
    queue_.reset();
}

void FolderWatcher::addWatches() {
    std::error_code error;
    if (!std::filesystem::is_directory(folder_, error)) {
        parentWatch_ = inotify_->addWatch(folder_.parent_path(), parentEvents);
        if (parentWatch_ < 0) {
            logger().warning("folder_watch_failed", {{"path", folder_.parent_path().string()},
                                                     {"error", std::strerror(errno)}});
        }
        return;
    }
    if (parentWatch_ >= 0) {
        inotify_->removeWatch(parentWatch_);
        parentWatch_ = -1;
    }
    // Adding a watch for a folder already watched only refreshes it, so the whole tree is
    // walked again after every change of its shape.
    auto watch = [this](const std::filesystem::path& path) {
        if (inotify_->addWatch(path, folderEvents) < 0) {
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

std::size_t FolderWatcher::takeIn(const std::vector<InotifyReader::Event>& events) {
    std::size_t relevant = 0;
    bool shapeChanged = false;
    for (const auto& event : events) {
        // The branches that mark a change of shape stay apart: a parent-folder event only
        // counts for our own folder's name, whatever its mask.
        if ((event.mask & IN_Q_OVERFLOW) != 0) {  // NOLINT(bugprone-branch-clone): see above
            // Events were lost: the only safe reading is "something changed".
            shapeChanged = true;
            ++relevant;
        } else if (event.watch == parentWatch_) {
            if (event.name == folder_.filename().string()) {
                shapeChanged = true;
                ++relevant;
            }
        } else if ((event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_ISDIR)) != 0) {
            // The folder itself, or a folder inside it, came or went.
            shapeChanged = true;
            ++relevant;
        } else if ((event.mask & IN_CREATE) == 0 && isDataFile(event.name)) {
            // A file's creation is followed by its write or rename, which is what counts.
            ++relevant;
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
