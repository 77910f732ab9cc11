#pragma once

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>

#include "ui/tray_presence.h"

namespace vask::ui {

// Where the popover goes: hanging from the anchor (the tray icon, or the pointer when the panel
// gives no geometry), below it when there is room and above it otherwise, kept on the screen.
QPoint popoverPosition(const QRect& anchor, const QSize& popover, const QRect& screen);
// The popover's size there: as tall as it would like where the roomier side of the anchor holds
// it (the whole height beside a panel at the side), else as tall as that side (its content
// scrolls), never less than its `minimum`; never wider than the screen.
QSize popoverSize(const QRect& anchor, const QSize& preferred, const QSize& minimum,
                  const QRect& screen);

// The room a popover the compositor places has on a screen (`screen`, whose area without panels
// the toolkit says is `available`). Where the toolkit knows of no panel (the available area is
// the whole screen, as under Wayland, where a panel's strip is the compositor's business), a
// strip of `panelAllowance` is kept free at the top and at the bottom: the compositor centres
// the popover in the area its panels leave, and one taller than that area would reach under a
// panel (its header row covered).
QRect popoverRoom(const QRect& screen, const QRect& available);
inline constexpr int panelAllowance = 32;

// The panel's tray icon with its popover and right-click menu. A tray that comes after Vask (a
// panel started later in the session) gets the icon when it appears.
class TrayController : public QObject {
    Q_OBJECT
  public:
    struct Actions {
        std::function<void()> openVask;
        std::function<void()> openSettings;
        std::function<void()> showAbout;
        // Absent without an updater: the menu has no "Check for Updates…".
        std::function<void()> checkForUpdates;
        std::function<void()> quit;
    };

    // `presence` null: the desktop's own trays (DesktopTrayPresence).
    TrayController(QWidget* popover, Actions actions,
                   std::unique_ptr<TrayPresence> presence = nullptr, QObject* parent = nullptr);
    ~TrayController() override;

    // Shows the icon where a tray exists and returns whether it does; where none does yet
    // (a bare X server, offscreen, a panel still starting) nothing is shown until one appears,
    // and then trayAppeared() tells.
    bool install();
    bool hasIcon() const { return icon_ != nullptr; }
    QMenu* menu() { return &menu_; }
    // Shows the popover at the icon, or hides it when it is up.
    void togglePopover();
    void showPopoverAt(const QRect& anchor);
    // Sizes and moves the popover for the anchor on a screen whose available area (without
    // panels) is `available`, in logical pixels.
    void placePopover(const QRect& anchor, const QRect& available);
    // Sizes the popover the compositor places for a screen `screen` whose available area is
    // `available` (popoverRoom), in logical pixels.
    void sizeForCompositor(const QRect& screen, const QRect& available);
    // The popover built anew (a new appearance) takes the old one's place.
    void setPopover(QWidget* popover);

    // Whether the desktop, not Vask, places the popover: under Wayland, which lets no client
    // place a window (a move is ignored) and gives a popup a place only beside a window of the
    // same client, which a click on the tray does not have. There the popover is a window of its
    // own, of a fixed size (a tiling compositor floats it), placed by the compositor, and put
    // away when it loses the keyboard, as a popup is on a click elsewhere.
    static bool compositorPlaces(const QString& platformName);
    void setPlacedByCompositor(bool placed);

  signals:
    // The icon is in a tray that appeared after install().
    void trayAppeared();

  protected:
    // While the popover is up it takes every click; a right click on the icon still opens the
    // menu.
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // Shows the icon when a tray takes it; returns whether it is shown.
    bool dock();
    // Where the icon is: the panel's geometry of it, else around where the popover was asked
    // for.
    QRect iconArea() const;

    // Makes the popover the kind of window its placement takes.
    void adoptPopover();

    QPointer<QWidget> popover_;
    // The popover's own least and most sizes, which a fixed size for the compositor replaces.
    QSize popoverLeast_;
    QSize popoverMost_;
    bool placedByCompositor_;
    QRect anchor_;
    Actions actions_;
    QMenu menu_;
    std::unique_ptr<TrayPresence> presence_;
    bool installed_ = false;
    std::unique_ptr<QSystemTrayIcon> icon_;
};

// Calls `lastClosed` when the last of the watched windows closed (the close button, Ctrl+W): a
// window the desktop hid by itself (minimised) does not count, and the check waits for the
// event loop, so that a window opened right after another closed (onboarding's end, a sign-out)
// counts as left.
class LastWindowWatcher : public QObject {
    Q_OBJECT
  public:
    explicit LastWindowWatcher(std::function<void()> lastClosed, QObject* parent = nullptr);
    // Returns `window`.
    QWidget* watch(QWidget* window);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void check();

    std::function<void()> lastClosed_;
    QList<QPointer<QWidget>> windows_;
    bool checkPending_ = false;
};

}  // namespace vask::ui
