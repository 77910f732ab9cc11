#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/url_opener.h"

namespace vask {

// Runs a desktop opener (`command`, followed by the address) with standard input from
// /dev/null, and reads its exit status on a thread of its own: an opener such as xdg-open may
// run as long as what it starts, and it is the status that says whether the address could be
// shown at all. Returns why it could not be started; `finished` then never runs. Otherwise
// `finished` runs once, on that thread: with nothing when the opener exited with status 0,
// else with how it ended ("xdg-open exited with status 4").
std::optional<std::string> runOpenCommand(std::vector<std::string> command, const std::string& url,
                                          std::function<void(std::optional<std::string>)> finished);

// Opens addresses with a desktop opener and reports its exit status.
class CommandUrlOpener final : public UrlOpener {
  public:
    explicit CommandUrlOpener(std::vector<std::string> command = {"xdg-open"})
        : command_(std::move(command)) {}

    // Whether the opener started; its verdict comes too late for this answer.
    bool open(const std::string& url) override;
    void openReporting(const std::string& url, Finished finished) override;

  private:
    std::vector<std::string> command_;
};

}  // namespace vask
