#pragma once

#include <climits>

class QWidget;

namespace vask::ui {

// A width and a height in logical pixels.
struct Extent {
    int width = 0;
    int height = 0;
    bool operator==(const Extent&) const = default;
};

// The sizes a window is given on a screen.
struct WindowFit {
    Extent size;
    Extent minimum;
    Extent maximum;
    bool operator==(const WindowFit&) const = default;
};

// What the desktop's frame around a window (title bar and borders) takes, besides the window.
inline constexpr Extent windowDecoration{16, 48};
inline constexpr Extent noLimit{INT_MAX / 2, INT_MAX / 2};

// A window's sizes on a screen whose available area (without panels) is `available`: its
// preferred size where that holds it with its frame, and never more than it, the minimum and
// the maximum included (a window whose content scrolls can be smaller than it would like). An
// empty `available` (no screen known) changes nothing.
WindowFit fitWindow(Extent preferred, Extent minimum, Extent maximum, Extent available,
                    Extent decoration = windowDecoration);

// Gives the top-level `window` its fitted sizes on the screen it opens on.
void fitToScreen(QWidget* window, Extent preferred, Extent minimum = {}, Extent maximum = noLimit);
// The same for a screen whose available area is `available`.
void fitToArea(QWidget* window, Extent preferred, Extent minimum, Extent maximum, Extent available);

}  // namespace vask::ui
