#include "ui/window_fit.h"

#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace vask::ui {

Extent roomOn(Extent available, Extent decoration) {
    if (available.width <= 0 || available.height <= 0) {
        return {};
    }
    return {std::max(1, available.width - decoration.width),
            std::max(1, available.height - decoration.height)};
}

WindowFit fitWindow(Extent preferred, Extent minimum, Extent maximum, Extent available,
                    Extent decoration) {
    const Extent room = roomOn(available, decoration);
    if (room.width == 0) {
        return {preferred, minimum, maximum};
    }
    const Extent least{std::min({minimum.width, maximum.width, room.width}),
                       std::min({minimum.height, maximum.height, room.height})};
    return {
        .size = {std::clamp(std::min(preferred.width, room.width), least.width, maximum.width),
                 std::clamp(std::min(preferred.height, room.height), least.height, maximum.height)},
        .minimum = least,
        .maximum = maximum,
    };
}

PaneFit fitPanes(Extent room, int sidebarMinimum, Extent detailMinimum) {
    if (room.width <= 0 || room.height <= 0) {
        return {true, sidebarMinimum, detailMinimum};
    }
    // Where the panes do not fit, each asks for no more than its narrowest, so that the window
    // can still be made smaller than the screen.
    const int height = detailMinimum.height <= room.height
                           ? detailMinimum.height
                           : std::min(narrowestDetail.height, room.height);
    const int sidebar = std::min(sidebarMinimum, narrowestSidebar);
    const int detail = std::min(detailMinimum.width, narrowestDetail.width);
    if (room.width >= sidebarMinimum + detailMinimum.width) {
        return {true, sidebarMinimum, {detailMinimum.width, height}};
    }
    if (room.width >= sidebar + detailMinimum.width) {
        return {true, sidebar, {detailMinimum.width, height}};
    }
    if (room.width >= sidebar + detail) {
        return {true, sidebar, {detail, height}};
    }
    return {false, 0, {std::min(detail, room.width), height}};
}

Extent availableArea(const QScreen* screen) {
    const QRect area = screen != nullptr ? screen->availableGeometry() : QRect();
    return {area.width(), area.height()};
}

void fitToScreen(QWidget* window, Extent preferred, Extent minimum, Extent maximum) {
    fitToArea(window, preferred, minimum, maximum, availableArea(window->screen()));
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
