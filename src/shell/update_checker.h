#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/structured_logger.h"
#include "platform/alert_presenter.h"
#include "platform/executor.h"
#include "platform/http_client.h"
#include "platform/url_opener.h"

namespace vask {

// The update feed record: {"version": "1.2.3", "date": "..."}; other keys are ignored.
struct VersionInfo {
    std::string version;
    std::optional<std::string> date;

    // Throws DecodingError when the body is not a JSON object with a string "version".
    static VersionInfo decode(std::string_view body);
};

// True when `candidate` is a newer version than `current`. Versions compare piece by piece (split
// at "."), each piece by the number its leading digits make; a piece without leading digits
// counts as 0 and keeps its position, so "v1.5" is 0.5 and "1.2.3-beta" is 1.2.3. Missing
// pieces count as 0.
bool isNewerVersion(std::string_view candidate, std::string_view current);

// There is no updater framework on Linux: the service never has a controller, and says so once,
// with whether this is a development build (one not built with VASK_PACKAGED).
class UpdaterService {
  public:
    static UpdaterService& shared();
    explicit UpdaterService(bool devBuild,
                            const StructuredLogger& logger = StructuredLogger("updater"));

    bool hasController() const { return false; }
};

// The fallback update path: once per process, fetch the feed and, when it names a newer version,
// offer the download page. The fetch runs on the worker; the alert on the main executor.
class UpdateChecker : public std::enable_shared_from_this<UpdateChecker> {
  public:
    struct Dependencies {
        std::string versionURL;
        std::string downloadURL;
        std::string currentVersion;
        const HttpClient& http;
        AlertPresenter& alerts;
        UrlOpener& urlOpener;
        MainExecutor& main;
        Executor& worker;
        StructuredLogger logger = StructuredLogger("update-checker");
    };

    static constexpr std::string_view defaultVersionURL =
        "https://downloads.ternwick.ai/version.json";
    static constexpr std::string_view defaultDownloadURL = "https://ternwick.ai";

    static std::shared_ptr<UpdateChecker> make(Dependencies dependencies);

    // Main executor. The first call starts the check; later calls do nothing.
    void checkForUpdates();
    bool hasChecked() const { return hasChecked_; }

  private:
    explicit UpdateChecker(Dependencies dependencies) : deps_(std::move(dependencies)) {}
    void finish(const std::string& body);
    void showUpdateAlert(const std::string& newVersion);

    Dependencies deps_;
    bool hasChecked_ = false;
};

}  // namespace vask
