#pragma once

#include <string>
#include <vector>

namespace vask {

struct Alert {
    enum class Style { informational, warning, critical };

    Style style = Style::informational;
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;
};

// Shows a modal alert and returns the index of the button the user chose. The application shows
// a dialog; until a window system is up, alerts go to stderr.
class AlertPresenter {
  public:
    virtual ~AlertPresenter() = default;
    virtual int runModal(const Alert& alert) = 0;
};

// Writes the alert to stderr and answers with its first button.
class StderrAlertPresenter final : public AlertPresenter {
  public:
    int runModal(const Alert& alert) override;
};

}  // namespace vask
