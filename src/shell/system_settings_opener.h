#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vask {

// Opens a pane of the desktop's settings from a settings link (scheme
// "x-apple.systempreferences", a colon, a pane identifier, "?" and an anchor). The application's
// window layer provides the real one.
class SystemSettingsOpener {
  public:
    virtual ~SystemSettingsOpener() = default;
    // True when the link was handed to something that opened it.
    virtual bool open(const std::string& link) = 0;

    static std::string link(std::string_view pane, std::string_view anchor);
    // Opens the links in order until one opens; returns that link, or empty when none did.
    std::string openFirst(const std::vector<std::string>& links);
};

// No desktop settings can be opened through these links on Linux: every link fails, so callers
// take their failure path and tell the user.
class UnavailableSystemSettingsOpener final : public SystemSettingsOpener {
  public:
    bool open(const std::string& link) override;
};

}  // namespace vask
