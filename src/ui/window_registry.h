#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>

namespace vask::ui {

// Brings `window` to the front and gives it the keyboard, through the toolkit's window
// (`QWindow::requestActivate`): a dialog that blocks it (Private Memory over Settings) comes
// instead, since the window itself could take no key. `startupId` is what the launch that asked
// for it was given by the desktop (`DESKTOP_STARTUP_ID` under X11, `XDG_ACTIVATION_TOKEN` under
// Wayland): the window manager lets a window that carries it come forward over the one in use,
// and the launch's busy cursor ends. Empty: none. Under Wayland the activation is asked for once
// the compositor has shown the window: asked before, it names a surface not yet mapped and spends
// the launch's token on it.
void bringToFront(QWidget* window, const QByteArray& startupId = {});
// The window to activate when the application as a whole is brought forward: the one last
// brought to the front while the activation asked for it has not landed (the application's focus
// has not moved since), else the active window; null when neither. An activation lands later
// than it is asked for, and until then the toolkit's active window is still the one whose button
// opened the other (Settings, over the Welcome window it asked for).
QWidget* windowToActivate();
// The dialog that blocks `window`'s keys (one opened modal over it), or `window` itself.
QWidget* keyboardWindowOf(QWidget* window);
// What a launch got from the desktop to bring a window of a running Vask forward: the Wayland
// activation token, else the X11 startup notification id; empty when neither is set. The token
// comes first: a launcher under Wayland hands over a fresh one, while a DESKTOP_STARTUP_ID may be
// left over in the session's environment from an earlier launch.
QByteArray launchStartupId();
// The same choice over the two variables' values.
QByteArray chooseStartupId(const QByteArray& activationToken, const QByteArray& desktopStartupId);

// The application's top-level windows by identifier ("main", "onboarding", "settings"). A window
// is made on first open and kept (closing hides it), so its state survives being closed. Nothing
// opens by itself at launch.
class WindowRegistry : public QObject {
    Q_OBJECT
  public:
    using Factory = std::function<QWidget*()>;

    void registerWindow(const QString& id, const Factory& factory);
    // Makes the window when needed, shows it (restored, when it was minimised) and brings it to
    // the front with the keyboard (`bringToFront`), an already open one too.
    QWidget* open(const QString& id);
    void close(const QString& id);
    QWidget* window(const QString& id) const;
    // Whether a window is in sight: a minimised one is not.
    bool hasVisibleWindow() const;
    // The window in sight that was active last; null when none is in sight.
    QWidget* frontWindow() const;
    // The startup id the next window brought to the front carries (a second launch's).
    void setStartupId(const QByteArray& startupId) { startupId_ = startupId; }
    // Brings `window` to the front with the startup id set, which it uses up.
    void raise(QWidget* window);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QHash<QString, Factory> factories_;
    QHash<QString, QPointer<QWidget>> windows_;
    // Identifiers in the order they were registered.
    QStringList order_;
    QPointer<QWidget> lastActive_;
    QByteArray startupId_;
};

}  // namespace vask::ui
