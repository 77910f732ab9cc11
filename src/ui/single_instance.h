#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

#include "platform/alert_presenter.h"

namespace vask::ui {

// One running Vask per user and instance name. The first launch holds a lock and listens on a
// local socket; a later `vask [URL]` sends its URL (or a request to reopen) as one line to it
// and exits. A relaunch waits for the lock instead, so it takes over once the old process quits.
//
// Socket and lock live in a folder only this user may enter (privateRuntimeFolder), never in a
// shared temporary folder where another user could take the name first or stand in for the
// running instance. The running instance still hears only its own user (the peer's credentials
// are checked on every connection) and takes one line per connection: a connection is closed
// after its line, after `idleTimeoutMs` of silence, or at once when `maxConnections` are open.
class SingleInstance : public QObject {
    Q_OBJECT
  public:
    enum class Role { primary, forwarded, failed };

    struct Limits {
        int idleTimeoutMs = 3000;
        int maxConnections = 8;
    };
    static constexpr qsizetype maxLineLength = qsizetype{64} * 1024;

    // "vask-<uid>-<instance>": the socket and lock names for this user and instance.
    static QString serverName(const QString& instanceName);
    // The line a launch sends: the URL, or "reopen".
    static QString messageFor(const std::optional<QString>& url);
    // The line a relaunched instance sends before it waits for the lock: it runs.
    static QString relaunchedMessage(qint64 pid);
    // What the user is told when a launch could neither become the running instance nor reach
    // it; `reason` is failureReason().
    static Alert failureAlert(const QString& reason);

    explicit SingleInstance(const QString& instanceName, QObject* parent = nullptr);
    SingleInstance(const QString& instanceName, Limits limits, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Becomes the primary instance, or hands `url` to the running one. A relaunch first tells the
    // running instance that it runs (which then quits), then waits up to `relaunchWait`
    // milliseconds for it to go.
    Role claimOrForward(const std::optional<QString>& url, bool relaunch, int relaunchWait = 15000);

    // Why claimOrForward() failed; empty otherwise.
    const QString& failureReason() const { return failure_; }
    // Where the socket is (or would be); empty when there is no private folder.
    const QString& socketPath() const { return socketPath_; }

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
    void accept(class QLocalSocket* socket);
    void readFrom(class QLocalSocket* socket);

    Limits limits_;
    QString socketPath_;
    QString failure_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer server_;
    int openConnections_ = 0;
};

}  // namespace vask::ui
