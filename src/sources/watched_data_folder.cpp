#include "sources/watched_data_folder.h"

#include <algorithm>
#include <system_error>

#include "platform/file_io.h"
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
                                     Scheduler& scheduler, Scheduler::Duration latency,
                                     std::uintmax_t maxFileBytes)
    : folder_(std::move(folder)),
      extension_(text::toLower(extension)),
      maxFileBytes_(maxFileBytes) {
    watcher_ = std::make_unique<FolderWatcher>(
        folder_, extension_, [changes = changes_] { changes->notify(); }, scheduler, latency);
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

bool WatchedDataFolder::readDataFiles(const StructuredLogger& logger, std::string_view logPrefix,
                                      const FileReader& read) const {
    const auto files = dataFiles();
    const std::string prefix(logPrefix);
    if (!files) {
        logger.info(prefix + "_folder_missing", {{"path", folder_.string()}});
        return false;
    }
    const auto tooLarge = [&](const std::filesystem::path& file, std::uintmax_t bytes) {
        if (bytes <= maxFileBytes_) {
            return false;
        }
        logger.warning(prefix + "_file_too_large", {{"path", file.string()},
                                                    {"bytes", std::to_string(bytes)},
                                                    {"limit", std::to_string(maxFileBytes_)}});
        return true;
    };
    for (const auto& file : *files) {
        std::error_code sizeError;
        if (const auto size = std::filesystem::file_size(file, sizeError);
            !sizeError && tooLarge(file, size)) {
            continue;
        }
        std::optional<std::string> contents;
        try {
            contents = readFileIfExists(file);
        } catch (const FileError& failure) {
            throw WatchedDataFolderError(WatchedDataFolderError::Case::readFailed, failure.what());
        }
        if (!contents) {
            // Removed between listing and reading: the next change notification covers it.
            continue;
        }
        if (tooLarge(file, contents->size())) {
            continue;  // grown since its size was read
        }
        read(file, *contents);
    }
    return true;
}

}  // namespace vask
