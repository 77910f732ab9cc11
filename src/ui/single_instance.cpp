#include "ui/single_instance.h"

#include <QCoreApplication>
#include <QFile>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/environment.h"
#include "platform/owner_only_file.h"

namespace vask::ui {

namespace {

constexpr int connectTimeoutMs = 2000;
const QString relaunchedPrefix = QStringLiteral("relaunched ");

// Whether the peer of a connected local socket runs as this user. Access to the socket's folder
// is already limited to this user; root and a folder opened up by mistake are not.
bool peerIsThisUser(qintptr descriptor) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    return ::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials,
                        &length) == 0 &&
           length == sizeof credentials && credentials.uid == ::geteuid();
}

// Whether `path` is a socket of this user: only such a socket may hear our URLs.
bool isOwnSocket(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISSOCK(info.st_mode) &&
           info.st_uid == ::geteuid();
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

Alert SingleInstance::failureAlert(const QString& reason) {
    return Alert{Alert::Style::critical,
                 "Vask could not start",
                 "Vask could neither start nor reach the Vask that is already running.\n\n" +
                     reason.toStdString(),
                 {"Quit Vask"}};
}

SingleInstance::SingleInstance(const QString& instanceName, QObject* parent)
    : SingleInstance(instanceName, Limits{}, parent) {}

SingleInstance::SingleInstance(const QString& instanceName, Limits limits, QObject* parent)
    : QObject(parent), limits_(limits) {
    const QString name = serverName(instanceName);
    try {
        const auto folder = QString::fromStdString(privateRuntimeFolder(processEnvironment()));
        socketPath_ = folder + "/" + name;
        if (QFile::encodeName(socketPath_).size() >= qsizetype{sizeof(sockaddr_un::sun_path)}) {
            failure_ = "The socket path " + socketPath_ + " is too long.";
        } else {
            lock_ = std::make_unique<QLockFile>(folder + "/" + name + ".lock");
        }
    } catch (const std::exception& error) {
        failure_ = QString::fromStdString(error.what());
    }
    // Only our own user may talk to us.
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_.nextPendingConnection()) {
            accept(socket);
        }
    });
}

SingleInstance::~SingleInstance() {
    // Sockets still open go with the server, after this object's counter.
    for (auto* socket : server_.findChildren<QLocalSocket*>()) {
        socket->disconnect(this);
    }
    server_.close();
}

SingleInstance::Role SingleInstance::claimOrForward(const std::optional<QString>& url,
                                                    bool relaunch, int relaunchWait) {
    if (!lock_) {
        return Role::failed;
    }
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
    failure_ =
        "Another Vask holds " + lock_->fileName() + " but does not answer at " + socketPath_ + ".";
    return Role::failed;
}

bool SingleInstance::listen() {
    // The socket file of a crashed instance would refuse the name.
    QLocalServer::removeServer(socketPath_);
    if (server_.listen(socketPath_)) {
        return true;
    }
    failure_ = "Could not listen at " + socketPath_ + ": " + server_.errorString();
    return false;
}

bool SingleInstance::forward(const QString& message) {
    if (!isOwnSocket(socketPath_)) {
        return false;
    }
    QLocalSocket socket;
    socket.connectToServer(socketPath_);
    if (!socket.waitForConnected(connectTimeoutMs)) {
        return false;
    }
    socket.write(message.toUtf8() + '\n');
    const bool written = socket.waitForBytesWritten(connectTimeoutMs);
    socket.disconnectFromServer();
    return written;
}

void SingleInstance::accept(QLocalSocket* socket) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    if (openConnections_ >= limits_.maxConnections || !peerIsThisUser(socket->socketDescriptor())) {
        socket->abort();
        return;
    }
    ++openConnections_;
    connect(socket, &QObject::destroyed, this, [this] { --openConnections_; });
    // Past one line nothing is read: a longer one fills the buffer and is refused below.
    socket->setReadBufferSize(maxLineLength + 1);
    QTimer::singleShot(limits_.idleTimeoutMs, socket, [socket] { socket->abort(); });
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
    readFrom(socket);
}

void SingleInstance::readFrom(QLocalSocket* socket) {
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > maxLineLength) {
            socket->abort();
        }
        return;
    }
    // One line per connection: what follows it is never read.
    const QString line = QString::fromUtf8(socket->readLine(maxLineLength + 1)).trimmed();
    socket->abort();
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

}  // namespace vask::ui
