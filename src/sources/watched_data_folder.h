#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/environment.h"
#include "platform/error.h"
#include "platform/notification_center.h"
#include "platform/scheduler.h"
#include "sources/folder_watcher.h"

namespace vask {

class WatchedDataFolderError : public Error {
  public:
    enum class Case { listingFailed };

    WatchedDataFolderError(Case kind, const std::string& message);
    Case kind() const { return kind_; }

  private:
    Case kind_;
};

// A folder of data files with one extension as sync tools keep it (collections in subfolders,
// their own state under hidden names), watched for changes: each burst of changes posts one
// notification with the given sender.
class WatchedDataFolder {
  public:
    // Watches `folder` from now on. Throws vask::Error when the folder cannot be watched.
    // `extension` includes its dot and is matched without regard to case.
    WatchedDataFolder(std::filesystem::path folder, const std::string& extension,
                      NotificationCenter& center, std::string_view changeNotification,
                      const void* sender, Scheduler& scheduler, Scheduler::Duration latency);

    // `variable` when set and not empty, else `dataSubfolder` of the user's data folder.
    static std::optional<std::filesystem::path> defaultFolder(const Environment& env,
                                                              std::string_view variable,
                                                              std::string_view dataSubfolder);

    // The data files in path order, or nothing when the folder does not exist. Throws
    // WatchedDataFolderError ("<folder>: <reason>") when the folder cannot be listed.
    std::optional<std::vector<std::filesystem::path>> dataFiles() const;

    const std::filesystem::path& path() const { return folder_; }
    const FolderWatcher& watcher() const { return *watcher_; }

  private:
    std::filesystem::path folder_;
    std::string extension_;
    std::unique_ptr<FolderWatcher> watcher_;
};

}  // namespace vask
