#include "ui/single_instance.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QLocalSocket>
#include <QStringDecoder>
#include <QThread>
#include <QTimer>

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "foundation/structured_logger.h"
#include "platform/environment.h"
#include "platform/file_io.h"
#include "platform/owner_only_file.h"
#include "ui/window_registry.h"

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

// The `Name:` and real `Uid:` of a process from /proc/<pid>/status (readable for any process);
// nothing when it cannot be read (the process went).
struct ProcessStatus {
    QString name;
    uid_t uid = 0;
};
std::optional<ProcessStatus> processStatus(pid_t pid) {
    QFile file(QString("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    ProcessStatus status;
    bool haveUid = false;
    // The fields that matter come first; the file is small.
    for (const QByteArray& line : file.read(4096).split('\n')) {
        if (line.startsWith("Name:")) {
            status.name = QString::fromUtf8(line.mid(5).trimmed());
        } else if (line.startsWith("Uid:")) {
            const auto fields = line.mid(4).simplified().split(' ');
            status.uid = static_cast<uid_t>(fields.value(0).toUInt(&haveUid));
        }
    }
    if (!haveUid) {
        return std::nullopt;
    }
    return status;
}

// Whether `pid` runs as this user the program this process runs (by its name: another user's
// program cannot be looked into, and a Vask started from elsewhere is still one).
bool isVaskOfThisUser(pid_t pid) {
    const auto holder = processStatus(pid);
    const auto self = processStatus(::getpid());
    return holder && self && holder->uid == ::geteuid() && holder->name == self->name;
}

// "name, user login" of `pid`, as far as it can be told.
QString describeProcess(pid_t pid) {
    const auto status = processStatus(pid);
    if (!status) {
        return QStringLiteral("which has gone");
    }
    passwd entry{};
    passwd* account = nullptr;
    char buffer[1024];
    const QString user = ::getpwuid_r(status->uid, &entry, buffer, sizeof buffer, &account) == 0 &&
                                 account != nullptr
                             ? QString::fromLocal8Bit(account->pw_name)
                             : QString::number(status->uid);
    const QString name = status->name.isEmpty() ? QStringLiteral("unnamed") : status->name;
    return name + ", user " + user;
}

std::filesystem::path localPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

// The socket-path record, read no further than one socket path could reach: nothing when it is
// missing, empty when it is not one absolute path of printable characters in UTF-8 (a line end
// after it is allowed), so no damaged record is ever used or quoted.
std::optional<QByteArray> readSocketRecord(const std::filesystem::path& path) {
    auto opened = openRegularFileForReading(path, LinkPolicy::refuse);
    if (!opened) {
        return std::nullopt;
    }
    // A socket path and its NUL fill sun_path; the buffer has room for the path, its line end and
    // one byte more, which tells a longer file.
    constexpr qsizetype pathLimit = sizeof(sockaddr_un::sun_path);
    char buffer[pathLimit + 1];
    std::size_t length = 0;
    while (length < sizeof buffer) {
        const ssize_t n = ::read(opened->get(), buffer + length, sizeof buffer - length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw FileError("read", path, errno);
        }
        if (n == 0) {
            break;
        }
        length += static_cast<std::size_t>(n);
    }
    QByteArray record(buffer, static_cast<qsizetype>(length));
    if (record.endsWith('\n')) {
        record.chop(1);
    }
    const bool printable = std::all_of(record.begin(), record.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte != 0x7f;
    });
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString decoded = utf8(record);
    if (length == sizeof buffer || record.size() >= pathLimit || !record.startsWith('/') ||
        !printable || utf8.hasError() || decoded.contains(QChar::ReplacementCharacter)) {
        return QByteArray();
    }
    return record;
}

}  // namespace

QString SingleInstance::serverName(const QString& instanceName) {
    return QString("vask-%1-%2").arg(getuid()).arg(instanceName);
}

QString SingleInstance::messageFor(const std::optional<QString>& url, const QByteArray& startupId) {
    if (url) {
        return startupId.isEmpty() ? *url
                                   : QStringLiteral("url ") + QString::fromLatin1(startupId) +
                                         QLatin1Char(' ') + *url;
    }
    return startupId.isEmpty() ? QStringLiteral("reopen")
                               : QStringLiteral("reopen ") + QString::fromLatin1(startupId);
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

SingleInstance::SingleInstance(const QString& instanceName, QString dataFolder, Limits limits,
                               QObject* parent)
    : QObject(parent), limits_(limits), dataFolder_(std::move(dataFolder)) {
    startupId_ = launchStartupId();
    const QString name = serverName(instanceName);
    try {
        const auto folder = QString::fromStdString(privateRuntimeFolder(processEnvironment()));
        socketPath_ = folder + "/" + name;
        if (QFile::encodeName(socketPath_).size() >= qsizetype{sizeof(sockaddr_un::sun_path)}) {
            failure_ = "Vask cannot make its socket: the path " + socketPath_ + " is too long.";
        } else {
            runtimeLockPath_ = folder + "/" + name + ".lock";
            lockPath_ = dataFolder_.isEmpty() ? runtimeLockPath_ : dataFolder_ + "/" + lockFileName;
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
    // The lock goes last, once nothing names this instance any more. Its file goes while it is
    // still held: a launch that opened it before and takes it now sees that it is no longer
    // there (takeLock) and takes the lock of a new file instead.
    if (lock_) {
        const auto path = localPath(lockPath_);
        if (lock_->isStillAt(path)) {
            ::unlink(path.c_str());
        }
        lock_.reset();
    }
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

namespace {

// Whether a lock file cannot be made at all where it was asked for (the folder is read-only,
// not writable, or not a folder), rather than that one is there and refused.
bool cannotHoldALockFile(int errorNumber) {
    return errorNumber == EROFS || errorNumber == EACCES || errorNumber == EPERM ||
           errorNumber == ENOTDIR;
}

}  // namespace

SingleInstance::Role SingleInstance::claimOrForward(const std::optional<QString>& url,
                                                    bool relaunch, int relaunchWait) {
    if (lockPath_.isEmpty()) {
        return Role::failed;
    }
    try {
        return claimOrForwardOrThrow(url, relaunch, relaunchWait);
    } catch (const FileError& error) {
        if (lockPath_ != runtimeLockPath_ && cannotHoldALockFile(error.errorNumber())) {
            // A data folder that cannot take the lock file (read-only): every launch over it
            // falls back alike, so the lock beside the socket keeps one Vask, and URLs are
            // handed over.
            logger().error("instance_lock_beside_socket", {{"error", error.what()}});
            lockPath_ = runtimeLockPath_;
            return claimOrForward(url, relaunch, relaunchWait);
        }
        failure_ =
            "Vask cannot use its lock " + lockPath_ + ". " + QString::fromStdString(error.what());
        return Role::failed;
    } catch (const std::exception& error) {
        failure_ =
            "Vask cannot use its lock " + lockPath_ + ". " + QString::fromStdString(error.what());
        return Role::failed;
    }
}

SingleInstance::Role SingleInstance::claimOrForwardOrThrow(const std::optional<QString>& url,
                                                           bool relaunch, int relaunchWait) {
    if (takeLock(0)) {
        return becomePrimary();
    }
    const QDeadlineTimer deadline(limits_.instanceWaitMs);
    if (relaunch) {
        // The running instance quits only once it hears that we run; without it (it went
        // already, or it is not waiting for us) the wait below still decides.
        forward(relaunchedMessage(QCoreApplication::applicationPid()), connectTimeoutMs);
        if (takeLock(relaunchWait)) {
            return becomePrimary();
        }
    }
    // The lock is held: the running instance may still be setting up its socket, or be quitting
    // with its socket closed. Either it answers or its lock comes free.
    while (true) {
        if (forward(
                messageFor(url, startupId_),
                static_cast<int>(std::max<qint64>(deadline.remainingTime(), connectTimeoutMs)))) {
            return Role::forwarded;
        }
        if (takeLock(retryPauseMs)) {
            return becomePrimary();
        }
        if (deadline.hasExpired()) {
            break;
        }
    }
    failure_ = notAnsweringReason();
    return Role::failed;
}

bool SingleInstance::takeLock(int waitMs) {
    const auto path = localPath(lockPath_);
    const QDeadlineTimer deadline(waitMs);
    while (true) {
        auto lock = FileLock::tryAcquireOrCreate(path);
        // A lock file removed or replaced while it was being taken locks nothing there.
        if (lock && lock->isStillAt(path)) {
            lock_ = std::move(lock);
            return true;
        }
        if (deadline.hasExpired()) {
            return false;
        }
        if (!lock) {
            QThread::msleep(static_cast<unsigned long>(
                std::clamp<qint64>(deadline.remainingTime(), 1, retryPauseMs / 4)));
        }
    }
}

QString SingleInstance::notAnsweringReason() const {
    const auto pid = FileLock::holderOf(localPath(lockPath_));
    if (pid && !isVaskOfThisUser(*pid)) {
        // Not a Vask of this user: said as it is, not taken for one.
        return QString(
                   "Process %1 (%2), which is not a Vask of yours, holds %3, the lock of the "
                   "data in %4. End that process, and open Vask again.")
            .arg(*pid)
            .arg(describeProcess(*pid), lockPath_,
                 dataFolder_.isEmpty() ? QString("this account") : dataFolder_);
    }
    const QString holder =
        pid ? QString("Another Vask (process %1) is").arg(*pid) : QString("Another Vask is");
    return holder + " running with the data in " +
           (dataFolder_.isEmpty() ? QString("this account") : dataFolder_) + " (it holds " +
           lockPath_ + ") but did not answer at " + runningSocketPaths().join(" or ") + " within " +
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

std::optional<QString> SingleInstance::recordedSocketPath() const {
    if (dataFolder_.isEmpty()) {
        return std::nullopt;
    }
    const QString recordPath = dataFolder_ + "/" + socketRecordName;
    // Read again at every try of a launch's wait: said once per kind of refusal, not each time.
    const auto refuse = [&](const char* why, const std::string& detail) {
        if (refusedRecord_ != why) {
            refusedRecord_ = why;
            logger().error("instance_socket_record_unusable",
                           {{"path", recordPath.toStdString()}, {"reason", detail}});
        }
        return std::nullopt;
    };
    try {
        const auto record = readSocketRecord(localPath(recordPath));
        if (!record) {
            return std::nullopt;
        }
        if (record->isEmpty()) {
            return refuse("damaged", "not one socket path");
        }
        refusedRecord_.clear();
        return QFile::decodeName(*record);
    } catch (const std::exception& error) {
        return refuse("unreadable", error.what());
    }
}

QStringList SingleInstance::runningSocketPaths() const {
    QStringList paths;
    if (const auto recorded = recordedSocketPath()) {
        paths << *recorded;
    }
    if (!socketPath_.isEmpty() && !paths.contains(socketPath_)) {
        paths << socketPath_;
    }
    return paths;
}

bool SingleInstance::forward(const QString& message, int waitMs) {
    // A recorded path that does not answer (a socket left by a killed instance) is passed over.
    const QStringList paths = runningSocketPaths();
    return std::any_of(paths.begin(), paths.end(),
                       [&](const QString& path) { return forwardTo(path, message, waitMs); });
}

bool SingleInstance::forwardTo(const QString& path, const QString& message, int waitMs) {
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
    // An answer that came as the wait ended still counts: the running instance acts on it.
    if (!socket.canReadLine() && socket.state() == QLocalSocket::ConnectedState) {
        socket.waitForReadyRead(0);
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
    // A launch that gave up waiting (this instance was stopped, or busy) has said it failed and
    // closed its end: the answer cannot be sent, and the line is dropped rather than acted on.
    const QByteArray answer = QByteArray(acknowledgement) + '\n';
    const ssize_t sent =
        ::send(static_cast<int>(socket->socketDescriptor()), answer.constData(),
               static_cast<std::size_t>(answer.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    socket->disconnectFromServer();
    if (sent != answer.size()) {
        logger().info("instance_line_dropped", {{"reason", "the launch has gone"}});
        return;
    }
    bool isPid = false;
    const qint64 pid = line.startsWith(relaunchedPrefix)
                           ? line.mid(relaunchedPrefix.size()).toLongLong(&isPid)
                           : 0;
    if (line == "reopen") {
        emit reopenRequested({});
    } else if (line.startsWith("reopen ")) {
        emit reopenRequested(line.mid(7).toLatin1());
    } else if (isPid) {
        emit relaunchedInstanceStarted(pid);
    } else if (line.startsWith("url ") && line.indexOf(' ', 4) > 4) {
        const qsizetype end = line.indexOf(' ', 4);
        emit urlReceived(line.mid(end + 1), line.mid(4, end - 4).toLatin1());
    } else if (!line.isEmpty()) {
        emit urlReceived(line, {});
    }
}

}  // namespace vask::ui
