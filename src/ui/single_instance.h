#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

namespace vask::ui {

// One running Vask per user and instance name. The first launch holds a lock and listens on a
// local socket; a later `vask [URL]` sends its URL (or a request to reopen) as one line to it
// and exits. A relaunch waits for the lock instead, so it takes over once the old process quits.
class SingleInstance : public QObject {
    Q_OBJECT
  public:
    enum class Role { primary, forwarded, failed };

    // "vask-<uid>-<instance>": the socket and lock names for this user and instance.
    static QString serverName(const QString& instanceName);
    // The line a launch sends: the URL, or "reopen".
    static QString messageFor(const std::optional<QString>& url);
    // The line a relaunched instance sends before it waits for the lock: it runs.
    static QString relaunchedMessage(qint64 pid);

    explicit SingleInstance(const QString& instanceName, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Becomes the primary instance, or hands `url` to the running one. A relaunch first tells the
    // running instance that it runs (which then quits), then waits up to `relaunchWait`
    // milliseconds for it to go.
    Role claimOrForward(const std::optional<QString>& url, bool relaunch, int relaunchWait = 15000);

  signals:
    // On the primary: a URL from another launch.
    void urlReceived(const QString& url);
    // On the primary: another launch without a URL.
    void reopenRequested();
    // On the primary: an instance started with --relaunch runs and waits for this one to quit.
    void relaunchedInstanceStarted(qint64 pid);

  private:
    bool listen();
    bool forward(const QString& message);
    void readFrom(class QLocalSocket* socket);

    QString name_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer server_;
};

}  // namespace vask::ui
