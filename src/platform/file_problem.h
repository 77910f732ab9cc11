#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/alert_presenter.h"

namespace vask {

// A file of the user's that Vask could not keep as it should: the user is told once, naming the
// file and what was kept aside, rather than only the log.
struct FileProblem {
    enum class Kind {
        settingsUnwritable,  // changes to the settings last only until Vask quits
        settingsDamaged,     // the settings did not parse and were kept aside
        credentialsDamaged,  // the stored credentials did not parse and were kept aside
        memoryUnavailable,   // memory.db could not be opened: memory is off, the file kept as is
    };

    Kind kind = Kind::settingsUnwritable;
    std::filesystem::path file;
    // Where the damaged file went.
    std::optional<std::filesystem::path> keptAside;
    // The system's or the store's reason, for the details.
    std::string reason;
};

// What the user is told about `problem`.
Alert fileProblemAlert(const FileProblem& problem);

// Problems reported from any thread, each kind of problem with one file passed on once per run.
// Problems reported before anyone listens are kept and passed on when a listener is set. The
// application root makes one and hands it to everything that keeps a file of the user's.
class FileProblems {
  public:
    using Listener = std::function<void(const FileProblem&)>;

    void report(FileProblem problem);
    // Called on the reporting thread, outside this object's lock.
    void setListener(Listener listener);

  private:
    std::mutex mutex_;
    Listener listener_;
    std::vector<FileProblem> waiting_;
    std::set<std::pair<FileProblem::Kind, std::filesystem::path>> told_;
};

}  // namespace vask
