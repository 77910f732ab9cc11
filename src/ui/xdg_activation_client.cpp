#include "ui/xdg_activation_client.h"

#include <QSocketNotifier>
#include <QTimer>

#include <wayland-client.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "foundation/structured_logger.h"
#include "xdg-activation-v1-client-protocol.h"

namespace vask::ui {

namespace {

const StructuredLogger& logger() {
    static const StructuredLogger instance("activation");
    return instance;
}

}  // namespace

XdgActivationClient::XdgActivationClient(QObject* parent) : QObject(parent) {}

XdgActivationClient::~XdgActivationClient() {
    for (Request& request : requests_) {
        if (request.token != nullptr) {
            xdg_activation_token_v1_destroy(request.token);
            request.token = nullptr;
        }
    }
    requests_.clear();
    disconnectFromCompositor();
}

void XdgActivationClient::requestToken(const QString& appId, Done done) {
    requests_.push_back(Request{.appId = appId, .done = std::move(done)});
    const auto request = std::prev(requests_.end());
    request->limit = new QTimer(this);
    request->limit->setSingleShot(true);
    connect(request->limit, &QTimer::timeout, this, [this, request] {
        logger().warning("activation_token_timed_out", {});
        finish(request, {});
    });
    request->limit->start(timeLimitMs);
    if (!connectToCompositor()) {
        finish(request, {});
        return;
    }
    if (globalsKnown_) {
        if (activation_ == nullptr) {
            finish(request, {});
            return;
        }
        send(*request);
    }
    flush();
}

bool XdgActivationClient::connectToCompositor() {
    if (display_ != nullptr) {
        return true;
    }
    display_ = wl_display_connect(nullptr);
    if (display_ == nullptr) {
        logger().warning("activation_no_compositor", {});
        return false;
    }
    static const wl_registry_listener registryListener{&XdgActivationClient::onGlobal,
                                                       &XdgActivationClient::onGlobalRemoved};
    registry_ = wl_display_get_registry(display_);
    wl_registry_add_listener(registry_, &registryListener, this);
    // Its answer comes after every global has been announced.
    static const wl_callback_listener syncListener{&XdgActivationClient::onSyncDone};
    sync_ = wl_display_sync(display_);
    wl_callback_add_listener(sync_, &syncListener, this);
    notifier_ = new QSocketNotifier(wl_display_get_fd(display_), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { read(); });
    return true;
}

void XdgActivationClient::read() {
    // The descriptor is readable: the dispatch reads without waiting, then runs the listeners.
    if (display_ != nullptr && wl_display_dispatch(display_) < 0) {
        logger().warning("activation_connection_lost", {{"error", std::strerror(errno)}});
        disconnectFromCompositor();
        return;
    }
    flush();
}

void XdgActivationClient::flush() {
    if (display_ != nullptr) {
        wl_display_flush(display_);
    }
}

void XdgActivationClient::send(Request& request) {
    request.token = xdg_activation_v1_get_activation_token(activation_);
    static const xdg_activation_token_v1_listener tokenListener{&XdgActivationClient::onTokenDone};
    xdg_activation_token_v1_add_listener(request.token, &tokenListener, this);
    if (!request.appId.isEmpty()) {
        xdg_activation_token_v1_set_app_id(request.token, request.appId.toUtf8().constData());
    }
    xdg_activation_token_v1_commit(request.token);
}

void XdgActivationClient::finish(std::list<Request>::iterator request, const QByteArray& token) {
    if (request->token != nullptr) {
        xdg_activation_token_v1_destroy(request->token);
    }
    delete request->limit;
    // Never from inside the connection's dispatch: what it does may ask for another token.
    QMetaObject::invokeMethod(
        this, [done = std::move(request->done), token] { done(token); }, Qt::QueuedConnection);
    requests_.erase(request);
}

void XdgActivationClient::globalsKnown() {
    globalsKnown_ = true;
    if (activation_ == nullptr) {
        logger().info("activation_protocol_absent", {});
    }
    for (auto request = requests_.begin(); request != requests_.end();) {
        const auto current = request++;
        if (activation_ == nullptr) {
            finish(current, {});
        } else if (current->token == nullptr) {
            send(*current);
        }
    }
}

void XdgActivationClient::disconnectFromCompositor() {
    for (auto request = requests_.begin(); request != requests_.end();) {
        finish(request++, {});
    }
    if (activation_ != nullptr) {
        xdg_activation_v1_destroy(activation_);
        activation_ = nullptr;
    }
    if (sync_ != nullptr) {
        wl_callback_destroy(sync_);
        sync_ = nullptr;
    }
    if (registry_ != nullptr) {
        wl_registry_destroy(registry_);
        registry_ = nullptr;
    }
    delete notifier_;
    notifier_ = nullptr;
    if (display_ != nullptr) {
        wl_display_disconnect(display_);
        display_ = nullptr;
    }
    globalsKnown_ = false;
}

void XdgActivationClient::onGlobal(void* data, wl_registry* registry, uint32_t name,
                                   const char* interface, uint32_t /*version*/) {
    auto* self = static_cast<XdgActivationClient*>(data);
    if (std::strcmp(interface, xdg_activation_v1_interface.name) == 0 &&
        self->activation_ == nullptr) {
        self->activationName_ = name;
        self->activation_ = static_cast<xdg_activation_v1*>(
            wl_registry_bind(registry, name, &xdg_activation_v1_interface, 1));
    }
}

void XdgActivationClient::onGlobalRemoved(void* data, wl_registry* /*registry*/, uint32_t name) {
    auto* self = static_cast<XdgActivationClient*>(data);
    if (self->activation_ != nullptr && name == self->activationName_) {
        xdg_activation_v1_destroy(self->activation_);
        self->activation_ = nullptr;
    }
}

void XdgActivationClient::onSyncDone(void* data, wl_callback* callback, uint32_t /*serial*/) {
    auto* self = static_cast<XdgActivationClient*>(data);
    wl_callback_destroy(callback);
    self->sync_ = nullptr;
    self->globalsKnown();
}

void XdgActivationClient::onTokenDone(void* data, xdg_activation_token_v1* token,
                                      const char* value) {
    auto* self = static_cast<XdgActivationClient*>(data);
    for (auto request = self->requests_.begin(); request != self->requests_.end(); ++request) {
        if (request->token == token) {
            self->finish(request, QByteArray(value));
            return;
        }
    }
}

}  // namespace vask::ui
