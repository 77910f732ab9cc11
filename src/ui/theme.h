#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>

#include <functional>

#include "platform/environment.h"

class QApplication;
class QObject;
class QFrame;

namespace vask::ui {

enum class Appearance { light, dark };

// The brand palette, resolved for one appearance.
struct BrandPalette {
    QColor canvas;
    QColor panel;
    QColor edge;
    QColor accent;
    QColor onAccent;
    QColor ink;
    QColor plumInk;
};

enum class FontRole { headline, subheadline, body, callout, caption };

// The one place views take colours, fonts and spacing from.
class Theme {
  public:
    static constexpr int spacingSmall = 6;
    static constexpr int spacing = 12;
    static constexpr int padding = 14;
    static constexpr int cornerRadius = 10;

    // Dark when the palette's window colour is dark, so a dark desktop theme switches us too.
    static Appearance appearanceOf(const QPalette& palette);
    static Appearance current();
    static BrandPalette palette(Appearance appearance);
    static BrandPalette palette() { return palette(current()); }
    static QFont font(FontRole role);
    static QColor secondaryText();
    static QColor tertiaryText();

    // Registers the bundled icons; once, before any view is made.
    static void initResources();

    // Puts the application on the brand palette in the given appearance (Fusion style, so the
    // palette is honoured whatever the desktop's style).
    static void apply(QApplication& app, Appearance appearance);
    // The appearance of the desktop itself, read from its palette beneath the brand's. Puts the
    // brand palette back on the application before it returns.
    static Appearance desktopAppearance(QApplication& app);
    // Keeps the application on the desktop's appearance while it runs: when the desktop's theme
    // changes, the brand palette is applied again in the new appearance and `changed` is told
    // (views that took colours when they were made are to be made again). Once per application;
    // returns the follower, which the application owns.
    static QObject* followDesktop(QApplication& app, std::function<void(Appearance)> changed);

    // The one look of push buttons in the settings, memory and dialog views: a rounded outline
    // on the window's colour, and the accent fill for a button whose "prominent" property is
    // true. Disabled buttons lose their outline's colour and their text fades, so they read as
    // unavailable. Set on a window or dialog, it styles every button inside.
    static QString buttonStyleSheet();

    // Still marks instead of animated ones. Set from the setting at start.
    static bool reduceMotion();
    static void setReduceMotion(bool on);
    // The reduced-motion setting: VASK_REDUCE_MOTION=1. Qt tells nothing of the desktop's own.
    static bool reduceMotionRequested(const Environment& env);
};

// A view that takes the application's new appearance where it stands, keeping what it shows
// and everything typed into it. Windows that restyle are not made again on a change of
// appearance.
class Restyles {
  public:
    virtual ~Restyles() = default;
    virtual void restyle() = 0;
};

// The one-pixel line in the edge colour that separates a window's regions.
QFrame* divider();

// Text of `widget` (labels, fields, buttons) in `colour` while enabled; disabled, it fades as
// every disabled text does.
void setTextColour(QWidget* widget, const QColor& colour);

}  // namespace vask::ui
