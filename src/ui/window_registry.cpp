#include "ui/window_registry.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QGuiApplication>
#include <QPointer>
#include <QWindow>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "foundation/structured_logger.h"
#include "shell/activation_token_choice.h"
#include "ui/x11_atoms.h"
#include "ui/xdg_activation_client.h"

namespace vask::ui {

namespace {

// The time of the user's action that started the launch, as the startup notification protocol
// writes it into the id ("..._TIME<server time>"); 0 when it names none.
xcb_timestamp_t launchTime(const QByteArray& startupId) {
    const qsizetype at = startupId.lastIndexOf("_TIME");
    if (at < 0) {
        return 0;
    }
    bool ok = false;
    const qulonglong time = startupId.mid(at + 5).toULongLong(&ok);
    return ok && time <= 0xFFFFFFFFULL ? static_cast<xcb_timestamp_t>(time) : 0;
}

void sendToRoot(xcb_connection_t* connection, xcb_window_t root, xcb_window_t window,
                xcb_atom_t type, std::uint8_t format, const void* data, std::size_t size) {
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = format;
    event.window = window;
    event.type = type;
    std::memcpy(event.data.data8, data, std::min<std::size_t>(size, sizeof event.data.data8));
    xcb_send_event(connection, 0, root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT |
                       XCB_EVENT_MASK_PROPERTY_CHANGE,
                   reinterpret_cast<const char*>(&event));
}

// Under X11, the window answers the launch by the startup notification protocol: it names the
// launch (`_NET_STARTUP_ID`), asks to be activated at the time of the user's action that
// started it (a window manager preventing focus stealing weighs that time against the window
// in use), and the launch's feedback is removed ("remove: ID=...", in 20-byte pieces).
void answerX11Launch(QWidget* window, const QByteArray& startupId) {
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr || x11->connection() == nullptr) {
        return;
    }
    xcb_connection_t* connection = x11->connection();
    const auto id = static_cast<xcb_window_t>(window->winId());
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id,
                        internAtom(connection, "_NET_STARTUP_ID"),
                        internAtom(connection, "UTF8_STRING"), 8,
                        static_cast<std::uint32_t>(startupId.size()), startupId.constData());
    if (const xcb_timestamp_t time = launchTime(startupId); time != 0) {
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id,
                            internAtom(connection, "_NET_WM_USER_TIME"), XCB_ATOM_CARDINAL, 32, 1,
                            &time);
        // Source 1: an application's request, carrying the user's time.
        const std::uint32_t active[5] = {1, time, 0, 0, 0};
        sendToRoot(connection, root, id, internAtom(connection, "_NET_ACTIVE_WINDOW"), 32, active,
                   sizeof active);
    }
    QByteArray message = "remove: ID=" + startupId;
    message.append('\0');
    const xcb_atom_t begin = internAtom(connection, "_NET_STARTUP_INFO_BEGIN");
    const xcb_atom_t more = internAtom(connection, "_NET_STARTUP_INFO");
    for (qsizetype offset = 0; offset < message.size(); offset += 20) {
        char piece[20] = {};
        std::memcpy(piece, message.constData() + offset,
                    static_cast<std::size_t>(std::min<qsizetype>(20, message.size() - offset)));
        sendToRoot(connection, root, id, offset == 0 ? begin : more, 8, piece, sizeof piece);
    }
    xcb_flush(connection);
}

// What the startup id may hold: printable ASCII without blanks, as desktops make them.
bool isStartupId(const QByteArray& id) {
    return !id.isEmpty() && id.size() <= 512 &&
           std::all_of(id.begin(), id.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

// The toolkit's Wayland platform, whichever of its variants ("wayland", "wayland-egl").
bool onWayland() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

const StructuredLogger& activationLogger() {
    static const StructuredLogger logger("activation");
    return logger;
}

// The toolkit's window system, and under Wayland the compositor's tokens.
class ToolkitActivation final : public WindowActivationPlatform {
  public:
    bool activatesByToken() const override { return onWayland(); }

    bool isExposed(QWindow* window) const override { return window->isExposed(); }

    bool keyboardInVask() const override { return QGuiApplication::focusWindow() != nullptr; }

    bool canAskForToken() const override { return onWayland(); }

    void askForToken(std::function<void(const QByteArray&)> done) override {
        if (!client_) {
            client_ = new XdgActivationClient(qApp);
        }
        client_->requestToken(QGuiApplication::desktopFileName(), std::move(done));
    }

    void activate(QWidget* target, const QByteArray& token) override {
        QWindow* handle = target->windowHandle();
        if (handle == nullptr) {
            target->activateWindow();
            return;
        }
        if (!token.isEmpty()) {
            if (onWayland()) {
                // The toolkit's Wayland window takes the token from here when it asks to be
                // activated.
                qputenv("XDG_ACTIVATION_TOKEN", token);
            } else if (QGuiApplication::platformName() == "xcb") {
                answerX11Launch(target, token);
            }
        }
        handle->requestActivate();
        // Spent, or of no use where the compositor has no activation: never left for a later
        // request (which would take it for a panel's) or for a child process.
        qunsetenv("XDG_ACTIVATION_TOKEN");
    }

  private:
    QPointer<XdgActivationClient> client_;
};

WindowActivationPlatform*& platformOverride() {
    static WindowActivationPlatform* platform = nullptr;
    return platform;
}

WindowActivationPlatform& activationPlatform() {
    static ToolkitActivation toolkit;
    WindowActivationPlatform* chosen = platformOverride();
    return chosen != nullptr ? *chosen : toolkit;
}

// The token offered for the next window brought forward without one of its own.
struct Offer {
    QByteArray token;
    OfferedToken kind = OfferedToken::launch;
    QDeadlineTimer expiry;
};
Offer& offered() {
    static Offer offer;
    return offer;
}

// A token to bring a window forward with, and where it came from.
struct Token {
    QByteArray value;
    OfferedToken kind = OfferedToken::launch;
};

Token takeOffered() {
    Offer& offer = offered();
    Token token{std::exchange(offer.token, {}), offer.kind};
    if (!token.value.isEmpty() && offer.expiry.hasExpired()) {
        activationLogger().info("activation_token_stale", {});
        token.value.clear();
    }
    return token;
}

const char* tokenName(ActivationToken token) {
    switch (token) {
        case ActivationToken::launch:
            return "launch";
        case ActivationToken::panel:
            return "panel";
        case ActivationToken::inputSerial:
            return "input_serial";
        case ActivationToken::withoutSerial:
            return "without_serial";
        case ActivationToken::none:
            break;
    }
    return "none";
}

// Asks for `target`'s activation now with the best token there is.
void activateNow(QWidget* target, const Token& token) {
    WindowActivationPlatform& platform = activationPlatform();
    const ActivationToken choice = chooseActivationToken({
        .hasLaunchToken = !token.value.isEmpty() && token.kind == OfferedToken::launch,
        .hasPanelToken = !token.value.isEmpty() && token.kind == OfferedToken::panel,
        .keyboardInVask = platform.keyboardInVask(),
        .canAskForToken = platform.canAskForToken(),
    });
    activationLogger().info("activation_requested", {{"token", tokenName(choice)}});
    if (choice != ActivationToken::withoutSerial) {
        platform.activate(target, token.value);
        return;
    }
    platform.askForToken([target = QPointer<QWidget>(target)](const QByteArray& asked) {
        // A window hidden meanwhile is not brought back; without a token the toolkit's own
        // request is all there is.
        if (target && target->isVisible()) {
            activationPlatform().activate(target, asked);
        }
    });
}

// A window's standing with the compositor, kept on its toolkit window: whether it is mapped
// (from its first exposure after being shown until it is hidden), the activation asked for
// while it was not, and whether one was asked for in this turn of the event loop.
class WindowMapping final : public QObject {
  public:
    static WindowMapping& of(QWindow* handle) {
        auto* mapping = handle->findChild<WindowMapping*>(QString(), Qt::FindDirectChildrenOnly);
        return mapping != nullptr ? *mapping : *new WindowMapping(handle);
    }

    bool mapped() const { return mapped_; }

    // Whether an activation was asked for already in this turn; notes that one is now.
    bool askedThisTurn() {
        if (askedThisTurn_) {
            return true;
        }
        askedThisTurn_ = true;
        QMetaObject::invokeMethod(
            this, [this] { askedThisTurn_ = false; }, Qt::QueuedConnection);
        return false;
    }

    // The activation goes once the compositor shows the window: the latest target, with the
    // latest token.
    void activateOnceMapped(QWidget* target, const Token& token) {
        target_ = target;
        if (!token.value.isEmpty() || pending_.value.isEmpty()) {
            pending_ = token;
        }
        waiting_ = true;
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != handle_) {
            return QObject::eventFilter(watched, event);
        }
        if (event->type() == QEvent::Expose && !mapped_ &&
            activationPlatform().isExposed(handle_)) {
            mapped_ = true;
            if (waiting_) {
                waiting_ = false;
                // Once the exposure has been handled: the window's first frame drawn.
                QMetaObject::invokeMethod(
                    this,
                    [this, token = std::exchange(pending_, {})] {
                        if (target_ && target_->isVisible()) {
                            activateNow(target_, token);
                        }
                    },
                    Qt::QueuedConnection);
            }
        } else if (event->type() == QEvent::Hide) {
            mapped_ = false;
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    explicit WindowMapping(QWindow* handle) : QObject(handle), handle_(handle) {
        handle->installEventFilter(this);
        mapped_ = handle->isVisible() && activationPlatform().isExposed(handle);
    }

    QWindow* handle_;
    bool mapped_ = false;
    bool waiting_ = false;
    bool askedThisTurn_ = false;
    QPointer<QWidget> target_;
    Token pending_;
};

// The window last brought to the front, until the application's focus moves (windowToActivate).
QPointer<QWidget>& comingToFront() {
    static QPointer<QWidget> window;
    return window;
}

void noteComingToFront(QWidget* window) {
    static QPointer<QObject> listener;
    if (!listener && qApp != nullptr) {
        listener = new QObject(qApp);
        QObject::connect(qApp, &QGuiApplication::focusWindowChanged, listener,
                         [](QWindow* focus) {
                             if (focus != nullptr) {
                                 comingToFront().clear();
                             }
                         });
    }
    comingToFront() = window;
}

}  // namespace

QWidget* keyboardWindowOf(QWidget* window) {
    for (QWidget* shown : QApplication::topLevelWidgets()) {
        if (shown == window || !shown->isVisible() || shown->windowModality() == Qt::NonModal) {
            continue;
        }
        const QWidget* owner = shown->parentWidget() ? shown->parentWidget()->window() : nullptr;
        if (shown->windowModality() == Qt::ApplicationModal || owner == window) {
            return shown;
        }
    }
    return window;
}

void bringToFront(QWidget* window, const QByteArray& startupId) {
    QWidget* target = keyboardWindowOf(window);
    if (target != window) {
        window->raise();
    }
    target->raise();
    noteComingToFront(target);
    QWindow* handle = target->windowHandle();
    if (handle == nullptr) {
        target->activateWindow();
        return;
    }
    Token token = isStartupId(startupId) ? Token{startupId, OfferedToken::launch} : takeOffered();
    WindowActivationPlatform& platform = activationPlatform();
    if (!platform.activatesByToken()) {
        platform.activate(target, token.value);
        return;
    }
    WindowMapping& mapping = WindowMapping::of(handle);
    if (!mapping.mapped()) {
        mapping.activateOnceMapped(target, token);
        return;
    }
    // A second request in this turn (the window opened, then the application activated) would
    // only ask again, unless it brings a token the first did not have.
    if (mapping.askedThisTurn() && token.value.isEmpty()) {
        return;
    }
    activateNow(target, token);
}

void offerActivationToken(const QByteArray& token, OfferedToken kind) {
    if (!isStartupId(token)) {
        return;
    }
    offered() = Offer{token, kind, QDeadlineTimer(offeredTokenLifeMs)};
}

void offerLaunchToken(const QByteArray& startupId) {
    if (onWayland()) {
        offerActivationToken(startupId, OfferedToken::launch);
    }
}

QByteArray takePanelActivationToken() {
    QByteArray token = qgetenv("XDG_ACTIVATION_TOKEN");
    qunsetenv("XDG_ACTIVATION_TOKEN");
    return isStartupId(token) ? token : QByteArray();
}

void setWindowActivationPlatform(WindowActivationPlatform* platform) {
    platformOverride() = platform;
}

QWidget* windowToActivate() {
    const QPointer<QWidget>& coming = comingToFront();
    if (coming && coming->isVisible() && !coming->isMinimized()) {
        return coming;
    }
    return QApplication::activeWindow();
}

QByteArray chooseStartupId(const QByteArray& activationToken, const QByteArray& desktopStartupId) {
    for (const QByteArray& id : {activationToken, desktopStartupId}) {
        if (isStartupId(id)) {
            return id;
        }
    }
    return {};
}

QByteArray launchStartupId() {
    return chooseStartupId(qgetenv("XDG_ACTIVATION_TOKEN"), qgetenv("DESKTOP_STARTUP_ID"));
}

void WindowRegistry::registerWindow(const QString& id, const Factory& factory) {
    factories_.insert(id, factory);
    if (!order_.contains(id)) {
        order_.append(id);
    }
}

QWidget* WindowRegistry::open(const QString& id) {
    QPointer<QWidget>& slot = windows_[id];
    if (!slot) {
        const auto factory = factories_.find(id);
        if (factory == factories_.end()) {
            return nullptr;
        }
        slot = (*factory)();
        slot->setAttribute(Qt::WA_DeleteOnClose, false);
        slot->setObjectName(id);
        slot->installEventFilter(this);
    }
    // A minimised window is shown already, yet out of sight: opening brings it back.
    if (slot->isMinimized()) {
        slot->setWindowState(slot->windowState() & ~Qt::WindowMinimized);
    }
    slot->show();
    raise(slot);
    return slot;
}

void WindowRegistry::raise(QWidget* window) {
    bringToFront(window, startupId_);
    startupId_.clear();
}

void WindowRegistry::close(const QString& id) {
    if (QWidget* window = this->window(id)) {
        window->close();
    }
}

QWidget* WindowRegistry::window(const QString& id) const {
    return windows_.value(id);
}

bool WindowRegistry::hasVisibleWindow() const {
    return frontWindow() != nullptr;
}

QWidget* WindowRegistry::frontWindow() const {
    const auto inSight = [](const QWidget* window) {
        return window != nullptr && window->isVisible() && !window->isMinimized();
    };
    if (inSight(lastActive_)) {
        return lastActive_;
    }
    for (const QString& id : order_) {
        if (QWidget* window = windows_.value(id); inSight(window)) {
            return window;
        }
    }
    return nullptr;
}

bool WindowRegistry::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::WindowActivate && watched->isWidgetType()) {
        lastActive_ = static_cast<QWidget*>(watched);
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace vask::ui
