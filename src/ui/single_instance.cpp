#include "ui/single_instance.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include <unistd.h>

namespace vask::ui {

namespace {

constexpr int connectTimeoutMs = 2000;
constexpr qsizetype maxLineLength = qsizetype{64} * 1024;
const QString relaunchedPrefix = QStringLiteral("relaunched ");

QString lockPath(const QString& name) {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) {
        folder = QDir::tempPath();
    }
    return folder + "/" + name + ".lock";
}

}  // namespace

QString SingleInstance::serverName(const QString& instanceName) {
    return QString("vask-%1-%2").arg(getuid()).arg(instanceName);
}

QString SingleInstance::messageFor(const std::optional<QString>& url) {
    return url ? *url : QStringLiteral("reopen");
}

QString SingleInstance::relaunchedMessage(qint64 pid) {
    return relaunchedPrefix + QString::number(pid);
}

SingleInstance::SingleInstance(const QString& instanceName, QObject* parent)
    : QObject(parent),
      name_(serverName(instanceName)),
      lock_(std::make_unique<QLockFile>(lockPath(name_))) {
    // Only our own user may talk to us.
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_.nextPendingConnection()) {
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            readFrom(socket);
        }
    });
}

SingleInstance::~SingleInstance() {
    server_.close();
}

SingleInstance::Role SingleInstance::claimOrForward(const std::optional<QString>& url,
                                                    bool relaunch, int relaunchWait) {
    // A lock whose process died is stale and taken over.
    lock_->setStaleLockTime(0);
    if (lock_->tryLock(0)) {
        return listen() ? Role::primary : Role::failed;
    }
    if (relaunch) {
        // The running instance quits only once it hears that we run; without it (it went
        // already, or it is not waiting for us) the wait below still decides.
        forward(relaunchedMessage(QCoreApplication::applicationPid()));
        if (lock_->tryLock(relaunchWait)) {
            return listen() ? Role::primary : Role::failed;
        }
    }
    // The lock is held: the running instance may still be setting up its socket.
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (forward(messageFor(url))) {
            return Role::forwarded;
        }
        QThread::msleep(200);
    }
    return Role::failed;
}

bool SingleInstance::listen() {
    // The socket file of a crashed instance would refuse the name.
    QLocalServer::removeServer(name_);
    return server_.listen(name_);
}

bool SingleInstance::forward(const QString& message) {
    QLocalSocket socket;
    socket.connectToServer(name_);
    if (!socket.waitForConnected(connectTimeoutMs)) {
        return false;
    }
    socket.write(message.toUtf8() + '\n');
    const bool written = socket.waitForBytesWritten(connectTimeoutMs);
    socket.disconnectFromServer();
    return written;
}

void SingleInstance::readFrom(QLocalSocket* socket) {
    while (socket->canReadLine()) {
        const QString line = QString::fromUtf8(socket->readLine()).trimmed();
        bool isPid = false;
        const qint64 pid = line.startsWith(relaunchedPrefix)
                               ? line.mid(relaunchedPrefix.size()).toLongLong(&isPid)
                               : 0;
        if (line == "reopen") {
            emit reopenRequested();
        } else if (isPid) {
            emit relaunchedInstanceStarted(pid);
        } else if (!line.isEmpty()) {
            emit urlReceived(line);
        }
    }
    if (socket->bytesAvailable() > maxLineLength) {
        socket->abort();
    }
}

}  // namespace vask::ui
