#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/structured_logger.h"
#include "platform/change_observers.h"
#include "platform/environment.h"
#include "platform/error.h"
#include "platform/scheduler.h"
#include "sources/folder_watcher.h"

namespace vask {

class WatchedDataFolderError : public Error {
  public:
    enum class Case { listingFailed, readFailed };

    WatchedDataFolderError(Case kind, const std::string& message);
    Case kind() const { return kind_; }

  private:
    Case kind_;
};

// A folder of data files with one extension as sync tools keep it (collections in subfolders,
// their own state under hidden names), watched for changes: its observers hear of each burst of
// changes once, on the watcher's thread.
class WatchedDataFolder {
  public:
    using FileReader =
        std::function<void(const std::filesystem::path& file, const std::string& contents)>;

    // Watches `folder` from now on. Throws vask::Error when the folder cannot be watched.
    // `extension` includes its dot and is matched without regard to case; a file larger than
    // `maxFileBytes` is not read.
    WatchedDataFolder(std::filesystem::path folder, const std::string& extension,
                      Scheduler& scheduler, Scheduler::Duration latency,
                      std::uintmax_t maxFileBytes);

    // `variable` when set and not empty, else `dataSubfolder` of the user's data folder.
    static std::optional<std::filesystem::path> defaultFolder(const Environment& env,
                                                              std::string_view variable,
                                                              std::string_view dataSubfolder);

    // The data files in path order, or nothing when the folder does not exist. Throws
    // WatchedDataFolderError ("<folder>: <reason>") when the folder cannot be listed.
    std::optional<std::vector<std::filesystem::path>> dataFiles() const;

    // Hands each data file's contents to `read`, in path order, and returns whether the folder
    // was there. A missing folder reads nothing and logs "<logPrefix>_folder_missing"; a file
    // larger than the cap is passed over with a warning "<logPrefix>_file_too_large", and one
    // removed between listing and reading is passed over too (the next change notification covers
    // it). Throws WatchedDataFolderError when the folder cannot be listed (listingFailed) or a file
    // cannot be read (readFailed, with the file's error as its text); what `read` throws goes
    // through unchanged.
    bool readDataFiles(const StructuredLogger& logger, std::string_view logPrefix,
                       const FileReader& read) const;

    // `changed` runs after each burst of changes, for as long as the subscription lives.
    [[nodiscard]] Subscription observeChanges(std::function<void()> changed) {
        return changes_->observe(std::move(changed));
    }

    const std::filesystem::path& path() const { return folder_; }
    const FolderWatcher& watcher() const { return *watcher_; }

  private:
    std::filesystem::path folder_;
    std::string extension_;
    std::uintmax_t maxFileBytes_;
    // Shared with the watcher's callback.
    std::shared_ptr<ChangeObservers> changes_ = std::make_shared<ChangeObservers>();
    std::unique_ptr<FolderWatcher> watcher_;
};

}  // namespace vask
