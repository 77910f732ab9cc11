#pragma once

#include <QDBusConnection>
#include <QObject>

#include <memory>

namespace vask::ui {

// Whether the desktop has a system tray, and word when one may have come: a panel started
// after Vask (a login session that starts Vask first), or started again.
class TrayPresence : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;
    // Whether a tray takes icons now. Asks the toolkit only once a tray is there: the toolkit
    // decides for the whole run how it shows icons the first time it is asked.
    virtual bool present() = 0;

  signals:
    // A tray may have appeared; present() says.
    void mayHaveAppeared();
};

// The desktop's trays: the XEmbed tray manager (the owner of the X selection
// `_NET_SYSTEM_TRAY_S<screen>`, which announces itself with a MANAGER message to the root window)
// and the StatusNotifierItem host (the `org.kde.StatusNotifierWatcher` name on the session bus,
// once a host has registered with it).
class DesktopTrayPresence final : public TrayPresence {
    Q_OBJECT
  public:
    // `bus`: where StatusNotifierItem hosts are watched for (the session bus).
    explicit DesktopTrayPresence(QObject* parent = nullptr,
                                 QDBusConnection bus = QDBusConnection::sessionBus());
    ~DesktopTrayPresence() override;

    bool present() override;

  private slots:
    void statusNotifierHostRegistered();

  private:
    class XEmbedWatch;
    void watchStatusNotifier();
    // Whether a StatusNotifierItem host has registered, asked without waiting; emits
    // mayHaveAppeared() when one has.
    void askStatusNotifierHost();

    QDBusConnection bus_;
    std::unique_ptr<XEmbedWatch> xembed_;
    bool statusNotifierHost_ = false;
};

}  // namespace vask::ui
