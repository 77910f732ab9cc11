#pragma once

#include <QDBusConnection>
#include <QObject>

#include <functional>

#include "platform/desktop_appearance.h"

namespace vask::ui {

// Asks the settings portal for the freedesktop appearance setting ("color-scheme" of
// "org.freedesktop.appearance") without waiting for it: `answered` runs later, on the thread
// the reader lives on, with what the portal said (nothing when no portal answers, within
// `timeoutMs`). Each read() is answered at most once; a later read's answer supersedes an
// earlier one still on its way, which is then dropped. A portal older than "ReadOne" is asked
// with "Read".
class PortalReader final : public QObject {
  public:
    using Answered = std::function<void(desktop_appearance::Preference)>;
    static constexpr const char* service = "org.freedesktop.portal.Desktop";
    static constexpr const char* path = "/org/freedesktop/portal/desktop";
    static constexpr const char* interface = "org.freedesktop.portal.Settings";
    static constexpr int defaultTimeoutMs = 2000;

    explicit PortalReader(Answered answered, QDBusConnection bus = QDBusConnection::sessionBus(),
                          int timeoutMs = defaultTimeoutMs);

    void read();

  private:
    void ask(const char* method, int serial);
    void answer(int serial, desktop_appearance::Preference preference);

    Answered answered_;
    QDBusConnection bus_;
    int timeoutMs_;
    int asked_ = 0;
};

}  // namespace vask::ui
