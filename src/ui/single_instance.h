#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

#include "platform/alert_presenter.h"
#include "platform/file_lock.h"

namespace vask::ui {

// One running Vask per data folder. The first launch holds a lock in the data folder, beside the
// databases it protects, and listens on a local socket; a later `vask [URL]` sends its URL (or a
// request to reopen) as one line to it, waits for the running instance's "ok" and exits. A
// relaunch waits for the lock instead, so it takes over once the old process quits.
//
// Whether an instance runs is what the lock's holder says (a flock, which ends with its process),
// never what the lock file contains: a free lock is taken whatever the file holds.
//
// The lock is in the data folder because the runtime folder depends on the launch's environment
// (a launch from cron or ssh may have no XDG_RUNTIME_DIR, and a session's end removes it), while
// the databases do not. The socket lives in a folder only this user may enter
// (privateRuntimeFolder), never in a shared temporary folder where another user could take the
// name first or stand in for the running instance; the running instance writes where it is into
// the data folder, so a launch from another environment still finds it. That record is read only
// up to a socket path's length and only as one path of this user's socket; anything else is
// passed over for the usual place. A launch finding the
// lock held and no one answering (the running instance is still starting, or already quitting
// with its socket closed) tries again until it answers or the lock comes free, for at most
// `instanceWaitMs`.
//
// The running instance hears only its own user (the peer's credentials are checked on every
// connection, and a launch checks the running instance's) and takes one line per connection: a
// connection is closed after its line, after `idleTimeoutMs` of silence, or at once when
// `maxConnections` are open. A line is acted on only when its answer reaches the launch that
// sent it: a launch that gave up (and said so) before the running instance got to its line
// has closed its end, and the line is dropped.
class SingleInstance : public QObject {
    Q_OBJECT
  public:
    enum class Role { primary, forwarded, failed };

    struct Limits {
        int idleTimeoutMs = 3000;
        int maxConnections = 8;
        int instanceWaitMs = 15000;
    };
    static constexpr qsizetype maxLineLength = qsizetype{64} * 1024;

    // "vask-<uid>-<instance>": the socket's name for this user and instance.
    static QString serverName(const QString& instanceName);
    // The lock, and the file naming the running instance's socket, in the data folder.
    static constexpr const char* lockFileName = "single-instance.lock";
    static constexpr const char* socketRecordName = "single-instance.socket-path";
    // The line a launch sends: the URL, or "reopen", with the startup id the desktop gave the
    // launch (`launchStartupId`) when there is one: "reopen ID", "url ID URL". A URL without an
    // id goes as it is (a URL never starts with "url " nor with "reopen").
    static QString messageFor(const std::optional<QString>& url, const QByteArray& startupId = {});
    // The line a relaunched instance sends before it waits for the lock: it runs.
    static QString relaunchedMessage(qint64 pid);
    // The line the running instance answers with once it has taken a line.
    static constexpr const char* acknowledgement = "ok";
    // What the user is told when a launch could neither become the running instance nor hand its
    // URL over; `reason` is failureReason(), which says what was found.
    static Alert failureAlert(const QString& reason);

    // `dataFolder`: the folder whose databases one instance at a time may use, which holds the
    // lock. Empty when there is none (it could not be made): the lock is then kept beside the
    // socket, which still keeps one instance per runtime folder.
    SingleInstance(const QString& instanceName, const QString& dataFolder,
                   QObject* parent = nullptr);
    SingleInstance(const QString& instanceName, QString dataFolder, Limits limits,
                   QObject* parent = nullptr);
    ~SingleInstance() override;

    // Becomes the primary instance, or hands `url` to the running one. A relaunch first tells the
    // running instance that it runs (which then quits), then waits up to `relaunchWait`
    // milliseconds for it to go.
    Role claimOrForward(const std::optional<QString>& url, bool relaunch, int relaunchWait = 15000);

    // The startup id a reopen hands on (`launchStartupId`, read as the object is made). The
    // application reads it before the toolkit is set up, whose X11 platform takes it out of the
    // environment, and gives it here.
    void setStartupId(const QByteArray& startupId) { startupId_ = startupId; }

    // Why claimOrForward() failed; empty otherwise.
    const QString& failureReason() const { return failure_; }
    // Where the socket is (or would be); empty when there is no private folder.
    const QString& socketPath() const { return socketPath_; }

    // On the primary, when quitting starts: the socket closes and the record of where it is
    // goes, and connections not yet read are dropped unanswered, so that a launch from now on
    // waits for the lock (and takes over) instead of handing its URL to a process that will not
    // read it. The lock stays until this object goes.
    void stopListening();

  signals:
    // On the primary: a URL from another launch; `startupId` is the one that launch was given,
    // or empty.
    void urlReceived(const QString& url, const QByteArray& startupId);
    // On the primary: another launch without a URL; `startupId` is the one it was given, or
    // empty.
    void reopenRequested(const QByteArray& startupId);
    // On the primary: an instance started with --relaunch runs and waits for this one to quit.
    void relaunchedInstanceStarted(qint64 pid);

  private:
    Role claimOrForwardOrThrow(const std::optional<QString>& url, bool relaunch, int relaunchWait);
    Role becomePrimary();
    bool listen();
    // Hands `message` to the running instance: true once it has answered "ok".
    bool forward(const QString& message, int waitMs);
    bool forwardTo(const QString& path, const QString& message, int waitMs);
    // Takes the lock, waiting up to `waitMs` for its holder to give it up.
    bool takeLock(int waitMs);
    // Where the running instance said its socket is, when the record names one path; nothing
    // when there is no record or it is not fit to use.
    std::optional<QString> recordedSocketPath() const;
    // Where to look for the running instance: the recorded path, then this launch's own.
    QStringList runningSocketPaths() const;
    QString notAnsweringReason() const;
    void accept(class QLocalSocket* socket);
    void readFrom(class QLocalSocket* socket);

    Limits limits_;
    QByteArray startupId_;
    QString socketPath_;
    QString dataFolder_;
    QString failure_;
    QString lockPath_;
    // The lock beside the socket: used without a data folder, or one that cannot hold it.
    QString runtimeLockPath_;
    std::optional<FileLock> lock_;
    mutable QByteArray refusedRecord_;
    QLocalServer server_;
    int openConnections_ = 0;
};

}  // namespace vask::ui
