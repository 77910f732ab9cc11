#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/structured_logger.h"
#include "platform/executor.h"
#include "platform/published.h"
#include "platform/url_opener.h"
#include "store/full_disk_access_checker.h"

namespace vask {

// Whether the application can read the Messages database, and the way to put it in place: nothing
// grants access on Linux, so the folder the database is read from is opened in the file manager
// for the user to copy chat.db into. Each view that shows it owns one; the view decides when to
// check again.
class FullDiskAccessViewModel : public std::enable_shared_from_this<FullDiskAccessViewModel> {
  public:
    static constexpr const char* openFolderFailedPrefix = "Could not open the folder ";

    // Blocks for an open and a read of the Messages database; logs under the logger given.
    using Probe = std::function<FullDiskAccessResult(const StructuredLogger&)>;

    struct Dependencies {
        Probe probe;
        // The Messages database the probe reads.
        std::filesystem::path chatDBPath;
        // Shows a folder, given as a file:// address, in the file manager. Absent: none opens.
        std::shared_ptr<UrlOpener> folderOpener;
        MainExecutor& main;
        Executor& worker;
    };

    static std::shared_ptr<FullDiskAccessViewModel> make(Dependencies dependencies);

    FullDiskAccessViewModel(const FullDiskAccessViewModel&) = delete;
    FullDiskAccessViewModel& operator=(const FullDiskAccessViewModel&) = delete;

    Published<bool> hasAccess{false};
    // Why the last conclusive probe could not read the database ("chat.db not found"); nothing
    // before the first one and when it could.
    Published<std::optional<std::string>> probeFailure;
    // That reason, or a failure to open the folder since.
    Published<std::optional<std::string>> lastError;
    // Why "Open Folder" did not show the folder, with its path to go to by hand; kept until the
    // next try or until access arrives, however often the probe answers meanwhile.
    Published<std::optional<std::string>> folderFailure;

    // Main executor; returns at once. The probe runs on the worker and its answer arrives in
    // hasAccess, then lastError. A check asked for while one runs is run once more after it, so
    // the last answer is never older than the last request. `answered`, when given, runs on the
    // main executor once an answer at least as new as this request has been applied, also when
    // it changed nothing (an inconclusive one included).
    void checkAccess(std::function<void()> answered = {});
    // Main executor. Creates the database's folder when missing and opens it in the file
    // manager; when either fails (the opener's exit status included, which comes later),
    // lastError says so, with the folder's path for the user to go there by hand, until the
    // next check.
    void openDatabaseFolder();

    // The file:// address of a local path, each segment percent-encoded.
    static std::string fileURL(const std::filesystem::path& path);
    // A database that another program holds busy or locked says nothing about access: such an
    // answer leaves what is shown unchanged rather than send the user to grant access again.
    static bool isInconclusive(const FullDiskAccessResult& result);

  private:
    explicit FullDiskAccessViewModel(Dependencies dependencies);
    void runProbe();
    void folderNotOpened(const std::filesystem::path& folder, const std::string& why);

    Dependencies deps_;
    StructuredLogger logger_{"full-disk-access"};
    bool checking_ = false;
    bool checkAgain_ = false;
    std::vector<std::function<void()>> answered_;
};

}  // namespace vask
