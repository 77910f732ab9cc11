#include "ui/tray_presence.h"

#include <QAbstractNativeEventFilter>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QSystemTrayIcon>

#include <xcb/xcb.h>

#include <cstdlib>
#include <string>

#include "foundation/structured_logger.h"
#include "ui/x11_atoms.h"

namespace vask::ui {

namespace {

constexpr const char* watcherService = "org.kde.StatusNotifierWatcher";
constexpr const char* watcherPath = "/StatusNotifierWatcher";
constexpr const char* watcherInterface = "org.kde.StatusNotifierWatcher";

const StructuredLogger& trayLogger() {
    static const StructuredLogger logger("tray");
    return logger;
}

// The screen of DISPLAY (":0.1" is screen 1); 0 when it names none.
int displayScreen() {
    const char* display = std::getenv("DISPLAY");
    const std::string text = display ? display : "";
    const auto colon = text.rfind(':');
    const auto dot = text.find('.', colon == std::string::npos ? 0 : colon);
    return dot == std::string::npos ? 0 : std::atoi(text.c_str() + dot + 1);
}

// The watcher's IsStatusNotifierHostRegistered property.
QDBusMessage hostQuery() {
    auto call = QDBusMessage::createMethodCall(watcherService, watcherPath,
                                               "org.freedesktop.DBus.Properties", "Get");
    call << QString(watcherInterface) << QString("IsStatusNotifierHostRegistered");
    return call;
}
constexpr int hostQueryMs = 500;

bool hostRegistered(const QDBusMessage& reply) {
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           reply.arguments().constFirst().value<QDBusVariant>().variant().toBool();
}

}  // namespace

// The XEmbed tray manager: whether the selection has an owner, and the MANAGER message a new
// owner sends to the root window (which this client hears once it listens to the root's
// structure events). Nothing on a display that is not X11.
class DesktopTrayPresence::XEmbedWatch final : public QAbstractNativeEventFilter {
  public:
    XEmbedWatch(xcb_connection_t* connection, std::function<void()> appeared)
        : connection_(connection), appeared_(std::move(appeared)) {
        const int screen = displayScreen();
        selection_ = internAtom(connection_, "_NET_SYSTEM_TRAY_S" + std::to_string(screen));
        manager_ = internAtom(connection_, "MANAGER");
        auto roots = xcb_setup_roots_iterator(xcb_get_setup(connection_));
        for (int i = 0; roots.rem > 0 && i < screen; ++i) {
            xcb_screen_next(&roots);
        }
        if (roots.rem == 0 || selection_ == XCB_ATOM_NONE || manager_ == XCB_ATOM_NONE) {
            return;
        }
        root_ = roots.data->root;
        // Added to what this client already hears from the root window, never in its place.
        auto* attributes = xcb_get_window_attributes_reply(
            connection_, xcb_get_window_attributes(connection_, root_), nullptr);
        if (attributes == nullptr) {
            return;
        }
        const std::uint32_t mask = attributes->your_event_mask;
        std::free(attributes);
        if ((mask & XCB_EVENT_MASK_STRUCTURE_NOTIFY) == 0) {
            const std::uint32_t wanted = mask | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
            xcb_change_window_attributes(connection_, root_, XCB_CW_EVENT_MASK, &wanted);
            xcb_flush(connection_);
        }
        qApp->installNativeEventFilter(this);
        watching_ = true;
    }

    ~XEmbedWatch() override {
        if (watching_ && qApp != nullptr) {
            qApp->removeNativeEventFilter(this);
        }
    }
    XEmbedWatch(const XEmbedWatch&) = delete;
    XEmbedWatch& operator=(const XEmbedWatch&) = delete;

    bool ownerExists() const {
        if (!watching_) {
            return false;
        }
        auto* reply = xcb_get_selection_owner_reply(
            connection_, xcb_get_selection_owner(connection_, selection_), nullptr);
        const bool owned = reply != nullptr && reply->owner != XCB_WINDOW_NONE;
        std::free(reply);
        return owned;
    }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
        if (eventType != "xcb_generic_event_t") {
            return false;
        }
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7F) == XCB_CLIENT_MESSAGE) {
            const auto* client = static_cast<const xcb_client_message_event_t*>(message);
            if (client->window == root_ && client->type == manager_ && client->format == 32 &&
                client->data.data32[1] == selection_) {
                appeared_();
            }
        }
        return false;
    }

  private:
    xcb_connection_t* connection_;
    std::function<void()> appeared_;
    xcb_atom_t selection_ = XCB_ATOM_NONE;
    xcb_atom_t manager_ = XCB_ATOM_NONE;
    xcb_window_t root_ = XCB_WINDOW_NONE;
    bool watching_ = false;
};

DesktopTrayPresence::DesktopTrayPresence(QObject* parent, QDBusConnection bus)
    : TrayPresence(parent), bus_(std::move(bus)) {
    // Only on X11 itself: other platforms (offscreen among them) may answer as X11 without a
    // connection.
    auto* x11 = QGuiApplication::platformName() == "xcb"
                    ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>()
                    : nullptr;
    if (x11 != nullptr && x11->connection() != nullptr) {
        // Told once the toolkit has taken the same message too: its own icons follow the new
        // manager then, and an icon made in the middle of that would dock twice.
        xembed_ = std::make_unique<XEmbedWatch>(x11->connection(), [this] {
            trayLogger().info("tray_xembed_manager_appeared", {});
            QMetaObject::invokeMethod(this, &TrayPresence::mayHaveAppeared, Qt::QueuedConnection);
        });
    }
    watchStatusNotifier();
}

DesktopTrayPresence::~DesktopTrayPresence() = default;

void DesktopTrayPresence::watchStatusNotifier() {
    auto& bus = bus_;
    if (!bus.isConnected()) {
        return;
    }
    auto* names = new QDBusServiceWatcher(watcherService, bus,
                                          QDBusServiceWatcher::WatchForRegistration, this);
    connect(names, &QDBusServiceWatcher::serviceRegistered, this,
            [this] { askStatusNotifierHost(); });
    // A host registers with the watcher after the watcher took its name.
    bus.connect(watcherService, watcherPath, watcherInterface, "StatusNotifierHostRegistered",
                this, SLOT(statusNotifierHostRegistered()));
    // A panel that runs already is known before the first icon is asked for (the toolkit asks
    // the same, waiting as long, when it shows one).
    if (bus.interface() != nullptr && bus.interface()->isServiceRegistered(watcherService)) {
        statusNotifierHost_ = hostRegistered(bus.call(hostQuery(), QDBus::Block, hostQueryMs));
    }
}

void DesktopTrayPresence::statusNotifierHostRegistered() {
    statusNotifierHost_ = true;
    trayLogger().info("tray_status_notifier_host_appeared", {});
    emit mayHaveAppeared();
}

void DesktopTrayPresence::askStatusNotifierHost() {
    auto* pending = new QDBusPendingCallWatcher(
        bus_.asyncCall(hostQuery(), hostQueryMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, pending] {
        pending->deleteLater();
        if (hostRegistered(pending->reply())) {
            statusNotifierHostRegistered();
        }
    });
}

bool DesktopTrayPresence::present() {
    const bool xembed = xembed_ && xembed_->ownerExists();
    if (!xembed && !statusNotifierHost_) {
        return false;
    }
    return QSystemTrayIcon::isSystemTrayAvailable();
}

}  // namespace vask::ui
