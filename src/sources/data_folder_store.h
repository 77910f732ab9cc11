#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/structured_logger.h"
#include "platform/environment.h"
#include "platform/scheduler.h"
#include "platform/user_defaults.h"
#include "sources/folder_access_grant.h"
#include "sources/folder_watcher.h"
#include "sources/watched_data_folder.h"

namespace vask {

// What sets one kind of data folder apart from another (the address book, the calendars).
struct DataFolderKind {
    std::string_view extension;           // with its dot, matched without regard to case
    std::string_view accessGrantKey;      // the grant's key in the user's settings
    std::string_view grantedValue;        // what the grant records when access is given
    std::string_view loggerCategory;      // "contacts-store"
    std::string_view eventPrefix;         // "contacts": "contacts_folder_missing", ...
    std::string_view folderVariable;      // the environment variable that names the folder
    std::string_view dataSubfolder;       // else this folder of the user's data folder
    std::uintmax_t maxFileBytes;          // a larger file is passed over, and logged
};

// A store of `Interface` kept as a folder of data files of one `kind`: the access grant, the
// watched folder (its observers hear of each burst of changes once) and where the folder is by
// default.
template <typename Interface, const DataFolderKind& kind>
class DataFolderStore : public Interface {
  public:
    static constexpr std::string_view accessGrantKey = kind.accessGrantKey;
    static constexpr std::uintmax_t kMaxFileBytes = kind.maxFileBytes;

    // Watches `folder` from now on. Throws vask::Error when the folder cannot be watched.
    DataFolderStore(std::filesystem::path folder, UserDefaults& defaults,
                    Scheduler& scheduler = Scheduler::system(),
                    Scheduler::Duration changeLatency = FolderWatcher::defaultLatency,
                    std::uintmax_t maxFileBytes = kind.maxFileBytes)
        : grant_(defaults, kind.accessGrantKey, kind.grantedValue,
                 StructuredLogger(std::string(kind.loggerCategory)), kind.eventPrefix),
          folder_(std::move(folder), std::string(kind.extension), scheduler, changeLatency,
                  maxFileBytes) {}

    [[nodiscard]] Subscription observeChanges(std::function<void()> changed) override {
        return folder_.observeChanges(std::move(changed));
    }

    // The kind's variable when set, else its subfolder of the user's data folder.
    static std::optional<std::filesystem::path> defaultFolder(const Environment& env) {
        return WatchedDataFolder::defaultFolder(env, kind.folderVariable, kind.dataSubfolder);
    }

    const std::filesystem::path& folder() const { return folder_.path(); }
    const FolderWatcher& watcher() const { return folder_.watcher(); }

  protected:
    FolderAccessGrant grant_;
    WatchedDataFolder folder_;
};

}  // namespace vask
