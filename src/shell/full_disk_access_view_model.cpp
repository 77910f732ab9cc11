#include "shell/full_disk_access_view_model.h"

#include <sqlite3.h>

#include <utility>

namespace vask {

FullDiskAccessViewModel::FullDiskAccessViewModel(Dependencies dependencies)
    : deps_(std::move(dependencies)) {}

std::shared_ptr<FullDiskAccessViewModel> FullDiskAccessViewModel::make(Dependencies dependencies) {
    return std::shared_ptr<FullDiskAccessViewModel>(
        new FullDiskAccessViewModel(std::move(dependencies)));
}

std::vector<std::string> FullDiskAccessViewModel::settingsLinks() {
    return {
        SystemSettingsOpener::link("com.apple.preference.security", "Privacy_AllFiles"),
        SystemSettingsOpener::link("com.apple.preference.security", "Privacy_FullDiskAccess"),
        SystemSettingsOpener::link("com.apple.settings.PrivacySecurity", "Privacy_AllFiles"),
        SystemSettingsOpener::link("com.apple.settings.PrivacySecurity", "Privacy_FullDiskAccess"),
    };
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

void FullDiskAccessViewModel::openSettings() {
    const auto opened = deps_.opener->openFirst(settingsLinks());
    if (!opened.empty()) {
        logger_.info("fda_open_settings", {{"url", opened}});
        return;
    }
    lastError.set(std::string(openSettingsFailedText));
    logger_.error("fda_open_settings_failed");
}

}  // namespace vask
