#include "ui/single_instance.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>

#include "foundation/structured_logger.h"
#include "platform/environment.h"
#include "platform/file_io.h"
#include "platform/owner_only_file.h"

namespace vask::ui {

namespace {

constexpr int connectTimeoutMs = 2000;
// Between two tries for a running instance that does not answer yet.
constexpr int retryPauseMs = 100;
const QString relaunchedPrefix = QStringLiteral("relaunched ");

const StructuredLogger& logger() {
    static const StructuredLogger instance("launch");
    return instance;
}

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
    return !path.isEmpty() && ::lstat(QFile::encodeName(path).constData(), &info) == 0 &&
           S_ISSOCK(info.st_mode) && info.st_uid == ::geteuid();
}

std::filesystem::path localPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
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
    return Alert{
        Alert::Style::critical, "Vask could not start", reason.toStdString(), {"Quit Vask"}};
}

SingleInstance::SingleInstance(const QString& instanceName, const QString& dataFolder,
                               QObject* parent)
    : SingleInstance(instanceName, dataFolder, Limits{}, parent) {}

SingleInstance::SingleInstance(const QString& instanceName, const QString& dataFolder,
                               Limits limits, QObject* parent)
    : QObject(parent), limits_(limits), dataFolder_(dataFolder) {
    const QString name = serverName(instanceName);
    try {
        const auto folder = QString::fromStdString(privateRuntimeFolder(processEnvironment()));
        socketPath_ = folder + "/" + name;
        if (QFile::encodeName(socketPath_).size() >= qsizetype{sizeof(sockaddr_un::sun_path)}) {
            failure_ = "Vask cannot make its socket: the path " + socketPath_ + " is too long.";
        } else if (dataFolder_.isEmpty()) {
            lock_ = std::make_unique<QLockFile>(folder + "/" + name + ".lock");
        } else {
            lock_ = std::make_unique<QLockFile>(dataFolder_ + "/" + lockFileName);
        }
    } catch (const std::exception& error) {
        failure_ = "Vask cannot make its socket. " + QString::fromStdString(error.what());
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
    stopListening();
    // The lock goes last (with lock_), once nothing names this instance any more.
}

void SingleInstance::stopListening() {
    // Sockets still open go with the server, after this object's counter.
    for (auto* socket : server_.findChildren<QLocalSocket*>()) {
        socket->disconnect(this);
        socket->abort();
    }
    if (server_.isListening()) {
        server_.close();
        if (!dataFolder_.isEmpty()) {
            QFile::remove(dataFolder_ + "/" + socketRecordName);
        }
    }
}

SingleInstance::Role SingleInstance::claimOrForward(const std::optional<QString>& url,
                                                    bool relaunch, int relaunchWait) {
    if (!lock_) {
        return Role::failed;
    }
    // A lock whose process died is stale and taken over.
    lock_->setStaleLockTime(0);
    if (lock_->tryLock(0)) {
        return becomePrimary();
    }
    const QDeadlineTimer deadline(limits_.instanceWaitMs);
    if (relaunch) {
        // The running instance quits only once it hears that we run; without it (it went
        // already, or it is not waiting for us) the wait below still decides.
        forward(relaunchedMessage(QCoreApplication::applicationPid()), connectTimeoutMs);
        if (lock_->tryLock(relaunchWait)) {
            return becomePrimary();
        }
    }
    // The lock is held: the running instance may still be setting up its socket, or be quitting
    // with its socket closed. Either it answers or its lock comes free.
    while (true) {
        if (forward(messageFor(url), static_cast<int>(std::max<qint64>(deadline.remainingTime(),
                                                                       connectTimeoutMs)))) {
            return Role::forwarded;
        }
        if (lock_->tryLock(retryPauseMs)) {
            return becomePrimary();
        }
        if (deadline.hasExpired()) {
            break;
        }
    }
    failure_ = notAnsweringReason();
    return Role::failed;
}

QString SingleInstance::notAnsweringReason() const {
    qint64 pid = 0;
    QString host;
    QString application;
    const QString holder = lock_->getLockInfo(&pid, &host, &application)
                               ? QString("Another Vask (process %1) is").arg(pid)
                               : QString("Another Vask is");
    return holder + " running with the data in " +
           (dataFolder_.isEmpty() ? QString("this account") : dataFolder_) + " (it holds " +
           lock_->fileName() + ") but did not answer at " + runningSocketPath() + " within " +
           QString::number(limits_.instanceWaitMs / 1000) +
           " seconds. Quit that Vask, or end its process, and open Vask again.";
}

SingleInstance::Role SingleInstance::becomePrimary() {
    if (!listen()) {
        return Role::failed;
    }
    if (!dataFolder_.isEmpty()) {
        // Launches whose environment names another runtime folder find the socket through this.
        try {
            writeFileAtomically(
                localPath(dataFolder_ + "/" + socketRecordName),
                QFile::encodeName(socketPath_).toStdString() + "\n",
                std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                LinkPolicy::refuse);
        } catch (const std::exception& error) {
            // Launches from this environment still find the socket at its usual place.
            logger().error("instance_socket_unrecorded", {{"error", error.what()}});
        }
    }
    return Role::primary;
}

bool SingleInstance::listen() {
    // The socket file of a crashed instance would refuse the name.
    QLocalServer::removeServer(socketPath_);
    if (server_.listen(socketPath_)) {
        return true;
    }
    failure_ = "Vask could not listen at " + socketPath_ + ": " + server_.errorString();
    return false;
}

QString SingleInstance::runningSocketPath() const {
    if (dataFolder_.isEmpty()) {
        return socketPath_;
    }
    try {
        const auto recorded = readFileIfExists(localPath(dataFolder_ + "/" + socketRecordName));
        if (recorded) {
            const QString path = QFile::decodeName(QByteArray::fromStdString(*recorded)).trimmed();
            if (!path.isEmpty()) {
                return path;
            }
        }
    } catch (const std::exception& error) {
        logger().error("instance_socket_record_unreadable", {{"error", error.what()}});
    }
    return socketPath_;
}

bool SingleInstance::forward(const QString& message, int waitMs) {
    const QString path = runningSocketPath();
    if (!isOwnSocket(path)) {
        return false;
    }
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(connectTimeoutMs) || !peerIsThisUser(socket.socketDescriptor())) {
        return false;
    }
    socket.write(message.toUtf8() + '\n');
    if (!socket.waitForBytesWritten(connectTimeoutMs)) {
        return false;
    }
    // Only an answer says the line was read: a server closing (its instance quitting) drops
    // what it has not read, and the launch must then wait for the lock instead.
    const QDeadlineTimer deadline(waitMs);
    while (!socket.canReadLine() && !deadline.hasExpired() &&
           socket.state() == QLocalSocket::ConnectedState) {
        socket.waitForReadyRead(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1)));
    }
    const bool answered =
        socket.canReadLine() && socket.readLine().trimmed() == QByteArray(acknowledgement);
    socket.abort();
    return answered;
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
    socket->setReadBufferSize(1);
    // Sent now: what the line asks for may keep this thread busy a while, and the launch waits.
    socket->write(QByteArray(acknowledgement) + '\n');
    socket->flush();
    socket->disconnectFromServer();
    disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
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
