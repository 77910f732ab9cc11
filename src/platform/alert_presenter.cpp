#include "platform/alert_presenter.h"

#include <cstdio>

namespace vask {

int StderrAlertPresenter::runModal(const Alert& alert) {
    std::fprintf(stderr, "%s\n\n%s\n", alert.messageText.c_str(), alert.informativeText.c_str());
    return 0;
}

}  // namespace vask
