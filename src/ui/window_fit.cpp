#include "ui/window_fit.h"

#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace vask::ui {

WindowFit fitWindow(Extent preferred, Extent minimum, Extent maximum, Extent available,
                    Extent decoration) {
    if (available.width <= 0 || available.height <= 0) {
        return {preferred, minimum, maximum};
    }
    const Extent room{std::max(1, available.width - decoration.width),
                      std::max(1, available.height - decoration.height)};
    const Extent most{std::min(maximum.width, room.width), std::min(maximum.height, room.height)};
    const Extent least{std::min(minimum.width, most.width), std::min(minimum.height, most.height)};
    return {
        .size = {std::clamp(preferred.width, least.width, most.width),
                 std::clamp(preferred.height, least.height, most.height)},
        .minimum = least,
        .maximum = most,
    };
}

void fitToScreen(QWidget* window, Extent preferred, Extent minimum, Extent maximum) {
    const QScreen* screen = window->screen();
    const QRect area = screen != nullptr ? screen->availableGeometry() : QRect();
    fitToArea(window, preferred, minimum, maximum, {area.width(), area.height()});
}

void fitToArea(QWidget* window, Extent preferred, Extent minimum, Extent maximum,
               Extent available) {
    const auto fit = fitWindow(preferred, minimum, maximum, available);
    window->setMinimumSize(fit.minimum.width, fit.minimum.height);
    window->setMaximumSize(std::min(fit.maximum.width, QWIDGETSIZE_MAX),
                           std::min(fit.maximum.height, QWIDGETSIZE_MAX));
    window->resize(fit.size.width, fit.size.height);
}

}  // namespace vask::ui
