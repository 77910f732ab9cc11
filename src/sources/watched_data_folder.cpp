#include "sources/watched_data_folder.h"

#include <algorithm>
#include <system_error>

#include "platform/text.h"

namespace vask {
namespace {

bool isHidden(const std::filesystem::path& path) {
    const auto name = path.filename().string();
    return !name.empty() && name.front() == '.';
}

}  // namespace

WatchedDataFolderError::WatchedDataFolderError(Case kind, const std::string& message)
    : Error(message), kind_(kind) {}

WatchedDataFolder::WatchedDataFolder(std::filesystem::path folder, const std::string& extension,
                                     NotificationCenter& center,
                                     std::string_view changeNotification, const void* sender,
                                     Scheduler& scheduler, Scheduler::Duration latency)
    : folder_(std::move(folder)), extension_(text::toLower(extension)) {
    watcher_ = std::make_unique<FolderWatcher>(
        folder_, extension_,
        [&center, name = std::string(changeNotification), sender] { center.post(name, sender); },
        scheduler, latency);
}

std::optional<std::filesystem::path> WatchedDataFolder::defaultFolder(
    const Environment& env, std::string_view variable, std::string_view dataSubfolder) {
    if (const auto it = env.find(std::string(variable)); it != env.end() && !it->second.empty()) {
        return std::filesystem::path(it->second);
    }
    if (auto data = xdgDataHome(env)) {
        return *data / dataSubfolder;
    }
    return std::nullopt;
}

std::optional<std::vector<std::filesystem::path>> WatchedDataFolder::dataFiles() const {
    auto failure = [this](const std::string& reason) {
        return WatchedDataFolderError(WatchedDataFolderError::Case::listingFailed,
                                      folder_.string() + ": " + reason);
    };
    std::error_code error;
    const auto status = std::filesystem::status(folder_, error);
    if (status.type() == std::filesystem::file_type::not_found) {
        return std::nullopt;
    }
    if (error) {
        throw failure(error.message());
    }
    if (status.type() != std::filesystem::file_type::directory) {
        throw failure("not a folder");
    }

    std::vector<std::filesystem::path> files;
    std::filesystem::recursive_directory_iterator it(folder_, error);
    for (const std::filesystem::recursive_directory_iterator end; !error && it != end;
         it.increment(error)) {
        if (isHidden(it->path())) {
            // Sync tools keep their state and half-written files under hidden names.
            it.disable_recursion_pending();
            continue;
        }
        if (text::toLower(it->path().extension().string()) == extension_ &&
            it->is_regular_file(error)) {
            files.push_back(it->path());
        }
    }
    if (error) {
        throw failure(error.message());
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace vask
