#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <list>

class QSocketNotifier;
class QTimer;
struct wl_callback;
struct wl_display;
struct wl_registry;
struct xdg_activation_token_v1;
struct xdg_activation_v1;

namespace vask::ui {

// Asks the Wayland compositor for activation tokens as a launcher does: over a connection of
// Vask's own beside the toolkit's (Qt 6.4 offers no public way to its own), through the
// compositor's xdg-activation protocol (xdg_activation_v1, from wayland-protocols), without an
// input serial: a serial is valid only on the connection its event came by, the toolkit's. A
// token is a string the toolkit's window can then be activated with; a compositor decides what
// one without a serial earns (sway, by default, marks the window urgent).
//
// Nothing waits: the connection is read when it has something to read, on the GUI thread, and
// each request ends within its time limit whatever the compositor does.
class XdgActivationClient final : public QObject {
    Q_OBJECT
  public:
    using Done = std::function<void(const QByteArray& token)>;
    static constexpr int timeLimitMs = 2000;

    explicit XdgActivationClient(QObject* parent = nullptr);
    ~XdgActivationClient() override;

    // Asks for a token for `appId` (the desktop file's name). `done` runs later on this thread
    // with the token, or with nothing when none came: no compositor, one without the protocol,
    // the connection lost, or no answer within `timeLimitMs`.
    void requestToken(const QString& appId, Done done);
    // Whether the compositor offers the protocol: false until it has said, and when it does not.
    bool offersActivation() const { return activation_ != nullptr; }

  private:
    struct Request {
        QString appId;
        Done done;
        xdg_activation_token_v1* token = nullptr;
        QTimer* limit = nullptr;
    };

    bool connectToCompositor();
    void read();
    void flush();
    void send(Request& request);
    void finish(std::list<Request>::iterator request, const QByteArray& token);
    void globalsKnown();
    void disconnectFromCompositor();

    static void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface,
                         uint32_t version);
    static void onGlobalRemoved(void* data, wl_registry* registry, uint32_t name);
    static void onSyncDone(void* data, wl_callback* callback, uint32_t serial);
    static void onTokenDone(void* data, xdg_activation_token_v1* token, const char* value);

    wl_display* display_ = nullptr;
    wl_registry* registry_ = nullptr;
    wl_callback* sync_ = nullptr;
    xdg_activation_v1* activation_ = nullptr;
    uint32_t activationName_ = 0;
    bool globalsKnown_ = false;
    QSocketNotifier* notifier_ = nullptr;
    std::list<Request> requests_;
};

}  // namespace vask::ui
