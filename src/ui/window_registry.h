#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>

class QWindow;

namespace vask::ui {

// Brings `window` to the front and gives it the keyboard, through the toolkit's window
// (`QWindow::requestActivate`): a dialog that blocks it (Private Memory over Settings) comes
// instead, since the window itself could take no key. `startupId` is what the launch that asked
// for it was given by the desktop (`DESKTOP_STARTUP_ID` under X11, `XDG_ACTIVATION_TOKEN` under
// Wayland): the window manager lets a window that carries it come forward over the one in use,
// and the launch's busy cursor ends. Empty: none, and a token offered meanwhile
// (`offerActivationToken`) serves instead.
//
// Under Wayland a window comes forward only for a token, the best there is
// (`chooseActivationToken`): the launch's or the panel's, else the toolkit's own request with the
// serial of the user's last input while a window of Vask's holds the keyboard, else one asked of
// the compositor without a serial (XdgActivationClient). A window the compositor has mapped is
// activated at once, in sight or not (behind another in a tabbed container, on another
// workspace: mapped, yet not exposed); one just shown once the compositor first shows it, since a
// token spent on a surface not yet mapped brings nothing forward. Asked for twice in one turn of
// the event loop (a window opened, then the application activated), a window is asked for once.
void bringToFront(QWidget* window, const QByteArray& startupId = {});
// Where the token a window is brought forward with came from.
enum class OfferedToken { launch, panel };
// Hands `token` to the next window brought to the front without a startup id of its own, within
// `offeredTokenLifeMs` (a compositor lets a token go stale; a fresh one asked for serves better):
// the token of a `vask URL` handed to the running Vask, or of this launch before its first
// window opens, or one a panel offered for a click on the tray icon. Empty or malformed: none.
void offerActivationToken(const QByteArray& token, OfferedToken kind);
inline constexpr int offeredTokenLifeMs = 20000;
// Offers this launch's own startup id to its first window. Under Wayland only: under X11 the
// toolkit answers the launch on the first window it maps by itself.
void offerLaunchToken(const QByteArray& startupId);
// A token the panel offered for the click being handled (StatusNotifierItem's
// `ProvideXdgActivationToken`, which the toolkit puts into XDG_ACTIVATION_TOKEN), taken out of
// the environment so that no later activation or child process takes it for its own; empty when
// none.
QByteArray takePanelActivationToken();

// What bringToFront asks of the window system. The real one speaks to the toolkit and, under
// Wayland, to the compositor; tests put a recording one in its place.
class WindowActivationPlatform {
  public:
    virtual ~WindowActivationPlatform() = default;
    // Whether a window comes forward only for a token (Wayland's xdg-activation).
    virtual bool activatesByToken() const = 0;
    virtual bool isExposed(QWindow* window) const = 0;
    // Whether a window of Vask's holds the keyboard: the toolkit then has a serial of the
    // user's last input to ask for a token with.
    virtual bool keyboardInVask() const = 0;
    // Whether a token can be asked for without a serial.
    virtual bool canAskForToken() const = 0;
    // Asks for a token without a serial; `done` runs later with it, or with nothing.
    virtual void askForToken(std::function<void(const QByteArray& token)> done) = 0;
    // Asks for `target`'s activation with `token`; empty, the toolkit's own request (with the
    // serial of the last input while a window of Vask's holds the keyboard).
    virtual void activate(QWidget* target, const QByteArray& token) = 0;
};
// Puts `platform` in the real one's place; null puts the real one back.
void setWindowActivationPlatform(WindowActivationPlatform* platform);

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
