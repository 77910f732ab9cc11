#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>

class QApplication;
class QEvent;
class QScrollArea;
class QWidget;

namespace vask::ui {

// The keyboard in every window of the application, once per application: Tab and Shift+Tab ring
// the widget they reach, whatever draws it (a pointer press puts the ring away), and Return and
// Enter press the focused push or tool button, as Space does. The accessibility bus hears of the
// focused button of a message box, never of the row holding it.
void installKeyboardHandling(QApplication& app);

// Marks a control whose action takes effect at once and cannot be taken back there (Sign Out):
// a window never starts with the keyboard focus on it.
void markDestructive(QWidget* control);
bool isDestructive(const QWidget* control);
// Puts the keyboard focus of `window` on its first field: the first Tab stop, in the window's
// Tab order, that is shown, enabled and not destructive. Nothing when it has none.
void focusFirstField(QWidget* window);

// Tab follows the order `container`'s widgets are read in: its Tab stops, depth first in the
// order of their parents' children, are chained one after the other.
void orderTabStops(QWidget* container);

// Keeps `container`'s Tab stops in reading order (orderTabStops) while the rows of `rows`, a
// widget inside it, come, go and are rebuilt: Qt puts a widget made after the window was built
// at the end of the window's Tab order, so an answer that arrives would otherwise be reached
// only past the window's last control. Ordered once per turn of the event loop, however many
// changes come together.
void keepTabStopsInReadingOrder(QWidget* container, QWidget* rows);

// Scrolls `area` as little as it takes to show everything from the top of `from` to the bottom
// of `to` (a message and the control under it); where the view is shorter than that, the bottom
// is shown.
void scrollIntoView(QScrollArea* area, QWidget* from, QWidget* to);

// The name a FocusKeeper knows `control` by across rebuilds: its object name, unless one is set
// here (a control every row has, named for its row).
void setFocusKey(QWidget* control, const QString& key);
QString focusKey(const QWidget* control);
// `widget` takes the keyboard focus in place of the controls named `keys` while none of them is
// there: the nearest thing that stands for them (a row's draft button for the draft dismissed).
void setStandsInFor(QWidget* widget, const QStringList& keys);

// Keeps the keyboard focus in a section that takes down its controls and builds them again, so
// that a second press of a key lands where the first did. The control that had the focus is
// known by its focus key: the focus goes to the rebuilt control of that name, else to what
// stands in for it; with neither, it waits on the section (a key pressed there does nothing), and
// goes to the control when a later rebuild brings it back (Sync Now enabled once the sync ends),
// unless the user moved it meanwhile. The focus never runs ahead to the next control (another
// section's button, the sidebar) while the section rebuilds. It follows the focus of the
// section's window whether or not that window is active: a confirmation or an edit sheet over it
// returns to the control of the same key. A rebuild that takes down a control that may have the
// focus hides it first (the keeper sees it go; a control deleted at once would hand the focus to
// the window's next Tab stop) and deletes it later (`deleteLater`: it may be the button whose
// click is being handled), as `clearLayout` does.
class FocusKeeper final : public QObject {
    Q_OBJECT
  public:
    // The section's keeper, made on first use.
    static FocusKeeper& of(QWidget* section);

    // Held while `section` rebuilds; nested holds count as one.
    class Rebuild {
      public:
        explicit Rebuild(QWidget* section);
        ~Rebuild();
        Rebuild(const Rebuild&) = delete;
        Rebuild& operator=(const Rebuild&) = delete;

      private:
        FocusKeeper& keeper_;
    };

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    explicit FocusKeeper(QWidget* section);
    void note();
    void restore();
    QWidget* find(const QString& key) const;

    QWidget* section_;
    int depth_ = 0;
    // The focus key of the control to come back to; empty when there is none.
    QString wanted_;
    // The focused widget while the section rebuilds: when it is hidden the focus waits on the
    // section instead of moving on.
    QPointer<QWidget> watched_;
    // Where the focus waits for `wanted_`: the section or a stand-in that is no control.
    QPointer<QWidget> waiting_;
    // Whether the control kept showed the focus ring: the pointer did not put the focus there.
    bool ringed_ = true;
};

// The desktop's usual keys in every window of the application: Ctrl+Q quits, Ctrl+W closes the
// window it is pressed in (a popup too), Ctrl+, opens the settings. Filters the application's key
// presses.
class StandardKeys : public QObject {
    Q_OBJECT
  public:
    enum class Command { none, quit, closeWindow, openSettings };
    struct Actions {
        std::function<void()> quit;
        std::function<void()> openSettings;
    };

    static Command commandFor(int key, Qt::KeyboardModifiers modifiers);

    StandardKeys(Actions actions, QObject* parent);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    Actions actions_;
};

}  // namespace vask::ui
