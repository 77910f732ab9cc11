#include "ui/window_registry.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QPointer>
#include <QWindow>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ui/x11_atoms.h"

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

// Asks for `handle`'s activation now, carrying the launch's `startupId` (empty: none).
void requestActivation(QWindow* handle, QWidget* target, const QByteArray& startupId) {
    if (!startupId.isEmpty()) {
        if (onWayland()) {
            // The toolkit's Wayland window takes the token from here when it asks to be
            // activated, and uses it up.
            qputenv("XDG_ACTIVATION_TOKEN", startupId);
        } else if (QGuiApplication::platformName() == "xcb") {
            answerX11Launch(target, startupId);
        }
    }
    handle->requestActivate();
}

// A Wayland window asks to be activated once the compositor has configured and shown it: its
// first exposure. The request goes after the exposure has been handled (the window's first frame
// drawn), and a window asked for again meanwhile asks once, with the latest startup id.
class ActivationOnExpose final : public QObject {
  public:
    static ActivationOnExpose& of(QWindow* handle) {
        auto* waiting = handle->findChild<ActivationOnExpose*>(QString(), Qt::FindDirectChildrenOnly);
        return waiting != nullptr ? *waiting : *new ActivationOnExpose(handle);
    }

    void ask(QWidget* target, const QByteArray& startupId) {
        target_ = target;
        if (!startupId.isEmpty()) {
            startupId_ = startupId;
        }
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == handle_ && event->type() == QEvent::Expose && handle_->isExposed() &&
            !exposed_) {
            exposed_ = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    if (target_ && target_->isVisible()) {
                        requestActivation(handle_, target_, startupId_);
                    }
                    deleteLater();
                },
                Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    explicit ActivationOnExpose(QWindow* handle) : QObject(handle), handle_(handle) {
        handle->installEventFilter(this);
    }

    QWindow* handle_;
    QPointer<QWidget> target_;
    QByteArray startupId_;
    bool exposed_ = false;
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
    const QByteArray id = isStartupId(startupId) ? startupId : QByteArray();
    if (onWayland() && !handle->isExposed()) {
        ActivationOnExpose::of(handle).ask(target, id);
        return;
    }
    requestActivation(handle, target, id);
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
