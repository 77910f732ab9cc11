#pragma once

#include <climits>

class QScreen;
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

// What a window can have of a screen whose available area (without panels) is `available`, once
// its frame has its share; nothing for an empty `available` (no screen known).
Extent roomOn(Extent available, Extent decoration = windowDecoration);

// A window's sizes on a screen whose available area is `available`: its preferred size where
// that holds it with its frame, and never more; a minimum never more than that room (a window
// whose content scrolls can be smaller than it would like). The maximum is the window's own,
// never cut to the room: the frame is only guessed, and the window manager knows it and keeps a
// window inside the screen, filling the work area when maximised. An empty `available` (no
// screen known) changes nothing.
WindowFit fitWindow(Extent preferred, Extent minimum, Extent maximum, Extent available,
                    Extent decoration = windowDecoration);

// How the main window's sidebar and detail share a window's `room`: each keeps the minimum it
// asks for where both fit; otherwise the sidebar's minimum drops to `narrowestSidebar`, then
// the detail's to `narrowestDetail`, and below that the sidebar folds away. A detail taller
// than the room asks for `narrowestDetail`'s height. No minimum is ever more than the room, so
// a window at any scale fits its screen and can still be made smaller.
struct PaneFit {
    bool sidebarShown = true;
    int sidebarMinimum = 0;
    Extent detailMinimum;
    bool operator==(const PaneFit&) const = default;
};
inline constexpr int narrowestSidebar = 160;
inline constexpr Extent narrowestDetail{300, 240};
PaneFit fitPanes(Extent room, int sidebarMinimum, Extent detailMinimum);

// The available area of `screen` (without panels); nothing for no screen.
Extent availableArea(const QScreen* screen);

// Gives the top-level `window` its fitted sizes on the screen it opens on.
void fitToScreen(QWidget* window, Extent preferred, Extent minimum = {}, Extent maximum = noLimit);
// The same for a screen whose available area is `available`.
void fitToArea(QWidget* window, Extent preferred, Extent minimum, Extent maximum, Extent available);

}  // namespace vask::ui
