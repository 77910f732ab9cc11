#include "shell/full_disk_access_view_model.h"

#include <sqlite3.h>

#include <system_error>
#include <utility>

#include "platform/url.h"

namespace vask {

FullDiskAccessViewModel::FullDiskAccessViewModel(Dependencies dependencies)
    : deps_(std::move(dependencies)) {}

std::shared_ptr<FullDiskAccessViewModel> FullDiskAccessViewModel::make(Dependencies dependencies) {
    return std::shared_ptr<FullDiskAccessViewModel>(
        new FullDiskAccessViewModel(std::move(dependencies)));
}

std::string FullDiskAccessViewModel::fileURL(const std::filesystem::path& path) {
    std::string url = "file://";
    for (const auto& part : path.lexically_normal()) {
        const auto segment = part.string();
        if (segment == "/" || segment.empty()) {
            continue;
        }
        url += "/" + Url::percentEncode(segment);
    }
    if (url == "file://") {
        url += "/";
    }
    return url;
}

bool FullDiskAccessViewModel::isInconclusive(const FullDiskAccessResult& result) {
    if (result.hasAccess || !result.reason) {
        return false;
    }
    return *result.reason == sqlite3_errstr(SQLITE_BUSY) ||
           *result.reason == sqlite3_errstr(SQLITE_LOCKED);
}

void FullDiskAccessViewModel::checkAccess(std::function<void()> answered) {
    if (answered) {
        answered_.push_back(std::move(answered));
    }
    if (checking_) {
        checkAgain_ = true;
        return;
    }
    runProbe();
}

void FullDiskAccessViewModel::runProbe() {
    checking_ = true;
    deps_.worker.post(
        [weak = weak_from_this(), probe = deps_.probe, logger = logger_, &main = deps_.main] {
            auto result = probe(logger);
            main.post([weak, result = std::move(result)] {
                auto self = weak.lock();
                if (!self) {
                    return;
                }
                self->checking_ = false;
                if (!isInconclusive(result)) {
                    self->hasAccess.set(result.hasAccess);
                    if (result.hasAccess) {
                        self->folderFailure.set(std::nullopt);
                    }
                    self->probeFailure.set(result.reason);
                    self->lastError.set(result.reason);
                }
                if (std::exchange(self->checkAgain_, false)) {
                    self->runProbe();
                    return;
                }
                for (const auto& answered : std::exchange(self->answered_, {})) {
                    answered();
                }
            });
        });
}

void FullDiskAccessViewModel::openDatabaseFolder() {
    folderFailure.set(std::nullopt);
    const auto folder = deps_.chatDBPath.parent_path();
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        lastError.set(openFolderFailedPrefix + folder.string() + ": " + error.message());
        folderFailure.set(lastError.get());
        logger_.error("fda_create_folder_failed",
                      {{"path", folder.string()}, {"error", error.message()}});
        return;
    }
    const auto url = fileURL(folder);
    if (!deps_.folderOpener) {
        folderNotOpened(folder, "no file manager is set up");
        return;
    }
    // The opener's verdict (xdg-open's exit status) arrives on its own thread, often after
    // the file manager has already said no.
    deps_.folderOpener->openReporting(url, [weak = weak_from_this(), &main = deps_.main, folder,
                                            url](std::optional<std::string> failure) {
        main.post([weak, folder, url, failure = std::move(failure)] {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            if (failure) {
                self->folderNotOpened(folder, *failure);
                return;
            }
            self->logger_.info("fda_open_folder", {{"url", url}});
        });
    });
}

void FullDiskAccessViewModel::folderNotOpened(const std::filesystem::path& folder,
                                              const std::string& why) {
    lastError.set(openFolderFailedPrefix + folder.string() + " in the file manager (" + why +
                  "). Copy chat.db into it by hand.");
    // Shown beside the folder's path, which says where.
    folderFailure.set("The folder did not open in the file manager (" + why +
                      "). Copy chat.db into it by hand.");
    logger_.error("fda_open_folder_failed", {{"path", folder.string()}, {"error", why}});
}

}  // namespace vask
