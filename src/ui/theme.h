#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>

#include <functional>

#include "platform/environment.h"

class QApplication;
class QObject;
class QFrame;
class QWidget;

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

// The colours of a scroll bar: the track it runs in, and the handle, which stands out from the
// track (3:1 or more) so that the bar reads as how far the page goes and where it is shown.
struct ScrollBarColours {
    QColor track;
    QColor handle;
    // Under the pointer or held.
    QColor activeHandle;
};

enum class FontRole { headline, subheadline, body, callout, caption };

// Vask's named colours. Views keep the name, never the colour it has now: it is looked up in the
// application's appearance whenever it is drawn, so a change of appearance is only a repaint.
enum class ThemeColour {
    canvas,
    panel,
    edge,
    accent,
    onAccent,
    ink,
    secondary,
    tertiary,
    red,
    orange,
    // Text that says something went well ("Copied").
    green
};

// A named colour, faded by `alpha`; or, made with `fixed`, one colour in both appearances.
class Shade {
  public:
    // Implicit on purpose: every call that takes a shade takes a plain colour name too.
    Shade(ThemeColour name, qreal alpha = 1.0) : name_(name), alpha_(alpha) {}
    static Shade fixed(const QColor& colour);
    // The colour in the application's current appearance.
    QColor colour() const;
    QColor colour(Appearance appearance) const;
    bool operator==(const Shade& other) const = default;

  private:
    Shade() = default;
    ThemeColour name_ = ThemeColour::ink;
    qreal alpha_ = 1.0;
    bool isFixed_ = false;
    QColor fixed_;
};

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
    static ScrollBarColours scrollBarColours(Appearance appearance);
    // The fill of an accent-filled button held down: darker, so its text (`onAccent`) keeps its
    // contrast in both appearances.
    static QColor pressedAccent(const QColor& accent);
    // `colour` as seen over the opaque `background` (its alpha blended in).
    static QColor seenOn(const QColor& colour, const QColor& background);

    // Registers the bundled icons; once, before any view is made.
    static void initResources();

    // Puts the application on the brand palette in the given appearance (Fusion style, so the
    // palette is honoured whatever the desktop's style).
    static void apply(QApplication& app, Appearance appearance);
    // The appearance of the desktop itself: qt6ct's colours, the settings portal's last answer
    // (asked without waiting by followDesktop(), none before it came), GTK's settings, else its
    // palette beneath the brand's. Puts the brand palette back on the application before it
    // returns. Never blocks.
    static Appearance desktopAppearance(QApplication& app);
    // Keeps the application on the desktop's appearance while it runs: when the desktop's theme
    // changes, the brand palette is applied again in the new appearance (every view repaints in
    // it, keeping all it holds) and `changed`, if any, is told. Once per application; returns the
    // follower, which the application owns.
    static QObject* followDesktop(QApplication& app, std::function<void(Appearance)> changed);

    // The one look of push buttons in the settings, memory and dialog views: a rounded outline
    // on the window's colour, and the accent fill for a button whose "prominent" property is
    // true. Disabled buttons lose their outline's colour and their text fades, so they read as
    // unavailable. Set on a window or dialog, it styles every button inside; the style draws it
    // from the palette, so it follows the appearance.
    static void useBrandButtons(QWidget* widget);
    // One button in that look, filled with the accent.
    static void useAccentButton(QWidget* button);

    // Still marks instead of animated ones. Set from the setting at start.
    static bool reduceMotion();
    static void setReduceMotion(bool on);
    // The reduced-motion setting: VASK_REDUCE_MOTION=1. Qt tells nothing of the desktop's own.
    static bool reduceMotionRequested(const Environment& env);
};

// The one-pixel line in the edge colour that separates a window's regions.
QFrame* divider();

// Text of `widget` (labels, fields, buttons) in `shade` while enabled; disabled, it fades as
// every disabled text does. Kept in the shade of each later appearance.
void setTextColour(QWidget* widget, const Shade& shade);
// `role` of `widget`'s palette (active and inactive) in `shade`, now and in each later appearance.
// Every colour a view puts on a widget's palette goes through here: one set directly would stay
// in the appearance it was set in.
void setPaletteColour(QWidget* widget, QPalette::ColorRole role, const Shade& shade);
// Runs `refresh` now and whenever the appearance changes, for what a palette cannot carry (a
// label's tinted picture).
void followAppearance(QWidget* widget, const std::function<void()>& refresh);

}  // namespace vask::ui
