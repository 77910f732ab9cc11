#include "ui/portal_reader.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>

#include <string>

namespace vask::ui {

namespace da = desktop_appearance;

namespace {

constexpr const char* appearanceNamespace = "org.freedesktop.appearance";
constexpr const char* colorSchemeKey = "color-scheme";

// The "color-scheme" in a portal's reply; "Read" wraps the value in one more variant than
// "ReadOne".
da::Preference colorSchemeIn(const QDBusMessage& reply) {
    if (reply.arguments().isEmpty()) {
        return da::Preference::none;
    }
    QVariant value = reply.arguments().constFirst();
    while (value.canConvert<QDBusVariant>() && value.userType() == qMetaTypeId<QDBusVariant>()) {
        value = value.value<QDBusVariant>().variant();
    }
    bool ok = false;
    const uint scheme = value.toUInt(&ok);
    return ok ? da::fromColorScheme(scheme) : da::Preference::none;
}

}  // namespace

PortalReader::PortalReader(Answered answered, QDBusConnection bus, int timeoutMs)
    : answered_(std::move(answered)), bus_(std::move(bus)), timeoutMs_(timeoutMs) {}

void PortalReader::read() {
    ask("ReadOne", ++asked_);
}

void PortalReader::ask(const char* method, int serial) {
    if (!bus_.isConnected()) {
        answer(serial, da::Preference::none);
        return;
    }
    auto call = QDBusMessage::createMethodCall(service, path, interface, method);
    call << QString(appearanceNamespace) << QString(colorSchemeKey);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, timeoutMs_), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, watcher, serial, method = std::string(method)] {
                watcher->deleteLater();
                const QDBusMessage reply = watcher->reply();
                if (reply.type() == QDBusMessage::ErrorMessage &&
                    reply.errorName() == "org.freedesktop.DBus.Error.UnknownMethod" &&
                    method == "ReadOne") {
                    // A portal older than "ReadOne".
                    ask("Read", serial);
                    return;
                }
                answer(serial, reply.type() == QDBusMessage::ReplyMessage ? colorSchemeIn(reply)
                                                                          : da::Preference::none);
            });
}

void PortalReader::answer(int serial, da::Preference preference) {
    if (serial == asked_ && answered_) {
        answered_(preference);
    }
}

}  // namespace vask::ui
