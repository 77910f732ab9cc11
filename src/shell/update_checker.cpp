#include "shell/update_checker.h"

#include <cctype>
#include <charconv>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/app_installation_gate.h"
#include "relay/json_reader.h"

namespace vask {

namespace {

std::vector<std::int64_t> versionPieces(std::string_view version) {
    std::vector<std::int64_t> pieces;
    std::size_t start = 0;
    while (start <= version.size()) {
        const auto end = std::min(version.find('.', start), version.size());
        const auto piece = version.substr(start, end - start);
        if (!piece.empty()) {
            std::int64_t value = 0;
            // Leading digits only ("3-beta" is 3); no digits, or too many, count as 0.
            const auto [ptr, error] =
                std::from_chars(piece.data(), piece.data() + piece.size(), value);
            pieces.push_back(
                error == std::errc() && std::isdigit(static_cast<unsigned char>(piece[0])) ? value
                                                                                           : 0);
        }
        start = end + 1;
    }
    return pieces;
}

}  // namespace

VersionInfo VersionInfo::decode(std::string_view body) {
    const auto json = parseJsonDocument(body);
    const JsonReader reader(json, "");
    return {.version = reader.string("version"), .date = reader.optionalString("date")};
}

bool isNewerVersion(std::string_view candidate, std::string_view current) {
    const auto a = versionPieces(candidate);
    const auto b = versionPieces(current);
    for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        const auto x = i < a.size() ? a[i] : 0;
        const auto y = i < b.size() ? b[i] : 0;
        if (x != y) {
            return x > y;
        }
    }
    return false;
}

UpdaterService& UpdaterService::shared() {
    static UpdaterService service(AppInstallationGate::currentContext().isDevBuild);
    return service;
}

UpdaterService::UpdaterService(bool devBuild, const StructuredLogger& logger) {
    logger.info("updater_disabled",
                {{"dev_build", devBuild ? "true" : "false"}, {"configured", "false"}});
}

std::shared_ptr<UpdateChecker> UpdateChecker::make(Dependencies dependencies) {
    return std::shared_ptr<UpdateChecker>(new UpdateChecker(std::move(dependencies)));
}

void UpdateChecker::checkForUpdates() {
    if (hasChecked_) {
        return;
    }
    hasChecked_ = true;
    std::weak_ptr<UpdateChecker> weak = weak_from_this();
    const auto url = Url::parse(deps_.versionURL);
    deps_.worker.post([weak, url, &http = deps_.http, &main = deps_.main] {
        std::string body;
        std::string failure;
        try {
            if (!url) {
                throw Error("The feed address is not a URL");
            }
            body = http.send({.method = "GET", .url = *url, .headers = {}, .body = {}}).body;
        } catch (const std::exception& error) {
            failure = error.what();
        }
        main.post([weak, body = std::move(body), failure = std::move(failure)] {
            const auto self = weak.lock();
            if (!self) {
                return;
            }
            if (!failure.empty()) {
                self->deps_.logger.error("update_check_failed", {{"error", failure}});
                return;
            }
            self->finish(body);
        });
    });
}

void UpdateChecker::finish(const std::string& body) {
    VersionInfo info;
    try {
        info = VersionInfo::decode(body);
    } catch (const std::exception& error) {
        deps_.logger.error("update_check_failed", {{"error", error.what()}});
        return;
    }
    if (isNewerVersion(info.version, deps_.currentVersion)) {
        showUpdateAlert(info.version);
    }
}

void UpdateChecker::showUpdateAlert(const std::string& newVersion) {
    const Alert alert{.style = Alert::Style::informational,
                      .messageText = "Update Available",
                      .informativeText = "Vask " + newVersion + " is available. You have " +
                                         deps_.currentVersion + ".",
                      .buttons = {"Download", "Later"}};
    if (deps_.alerts.runModal(alert) != 0) {
        return;
    }
    // A page that did not open is said, with where it is, rather than dropped.
    deps_.urlOpener.openReporting(
        deps_.downloadURL, [weak = weak_from_this(), &main = deps_.main,
                            url = deps_.downloadURL](std::optional<std::string> failure) {
            if (!failure) {
                return;
            }
            main.post([weak, url, failure = std::move(failure)] {
                auto self = weak.lock();
                if (!self) {
                    return;
                }
                self->deps_.logger.error("update_download_open_failed", {{"error", *failure}});
                self->deps_.alerts.runModal(
                    {.style = Alert::Style::warning,
                     .messageText = "The download page did not open",
                     .informativeText = openFailureText("the download page", *failure) +
                                        " Open " + url + " in a browser to get the update.",
                     .buttons = {"OK"}});
            });
        });
}

}  // namespace vask
