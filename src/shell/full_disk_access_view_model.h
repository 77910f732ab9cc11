#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/structured_logger.h"
#include "platform/executor.h"
#include "platform/published.h"
#include "shell/system_settings_opener.h"
#include "store/full_disk_access_checker.h"

namespace vask {

// Whether the application can read the Messages database, and the way to the settings pane that
// grants it. Each view that shows it owns one; the view decides when to check again.
class FullDiskAccessViewModel : public std::enable_shared_from_this<FullDiskAccessViewModel> {
  public:
    static constexpr const char* openSettingsFailedText = "Could not open System Settings";

    // Blocks for an open and a read of the Messages database; logs under the logger given.
    using Probe = std::function<FullDiskAccessResult(const StructuredLogger&)>;

    struct Dependencies {
        Probe probe;
        std::shared_ptr<SystemSettingsOpener> opener;
        MainExecutor& main;
        Executor& worker;
    };

    static std::shared_ptr<FullDiskAccessViewModel> make(Dependencies dependencies);

    FullDiskAccessViewModel(const FullDiskAccessViewModel&) = delete;
    FullDiskAccessViewModel& operator=(const FullDiskAccessViewModel&) = delete;

    Published<bool> hasAccess{false};
    Published<std::optional<std::string>> lastError;

    // Main executor; returns at once. The probe runs on the worker and its answer arrives in
    // hasAccess, then lastError. A check asked for while one runs is run once more after it, so
    // the last answer is never older than the last request. `answered`, when given, runs on the
    // main executor once an answer at least as new as this request has been applied, also when
    // it changed nothing (an inconclusive one included).
    void checkAccess(std::function<void()> answered = {});
    // Main executor. Tries the Full Disk Access links in order; when none opens, lastError says
    // so until the next check.
    void openSettings();

    static std::vector<std::string> settingsLinks();
    // A database that another program holds busy or locked says nothing about access: such an
    // answer leaves what is shown unchanged rather than send the user to grant access again.
    static bool isInconclusive(const FullDiskAccessResult& result);

  private:
    explicit FullDiskAccessViewModel(Dependencies dependencies);
    void runProbe();

    Dependencies deps_;
    StructuredLogger logger_{"full-disk-access"};
    bool checking_ = false;
    bool checkAgain_ = false;
    std::vector<std::function<void()>> answered_;
};

}  // namespace vask
