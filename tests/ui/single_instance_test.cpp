#include <QApplication>
#include <QElapsedTimer>
#include <QLockFile>
#include <QSysInfo>
#include <QThread>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"
#include "ui/single_instance.h"

namespace vask::ui {
namespace {

namespace fs = std::filesystem;

constexpr uid_t otherUser = 65534;
constexpr gid_t otherGroup = 65534;

template <typename Predicate>
bool spinUntil(Predicate done, int milliseconds = 20000) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (!done() && elapsed.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return done();
}

// Sets environment variables for one scope.
struct ScopedVariables : test::ScopedEnvironment {
    explicit ScopedVariables(
        const std::vector<std::pair<std::string, std::optional<std::string>>>& values) {
        for (const auto& [name, value] : values) {
            set(name, value);
        }
    }
};

QString folder(const test::TempDir& dir) {
    return QString::fromStdString(dir.path().string());
}

// A launch that gives up on a silent running instance soon.
constexpr SingleInstance::Limits quickLimits{
    .idleTimeoutMs = 3000, .maxConnections = 8, .instanceWaitMs = 300};

// A launch on a thread of its own, while this thread runs the event loop of the running
// instance, which answers it.
SingleInstance::Role launchBeside(const QString& instance, const QString& data,
                                  const std::optional<QString>& url) {
    auto role = std::async(std::launch::async, [instance, data, url] {
        SingleInstance launch(instance, data);
        return launch.claimOrForward(url, false);
    });
    spinUntil([&] { return role.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
              30000);
    return role.get();
}

QString uniqueInstance(const char* what) {
    return QString("%1-%2").arg(what).arg(QCoreApplication::applicationPid());
}

// A running instance in runtime and data folders of its own, with the URLs it heard.
struct RunningInstance {
    explicit RunningInstance(const char* what) : instance(uniqueInstance(what)) {}
    // Claims the lock and listens: primary when it runs.
    SingleInstance::Role start() {
        QObject::connect(&primary, &SingleInstance::urlReceived,
                         [this](const QString& url) { urls << url; });
        return primary.claimOrForward(std::nullopt, false);
    }

    test::TempDir runtime;
    test::TempDir data;
    ScopedVariables environment{{{"XDG_RUNTIME_DIR", runtime.path().string()}}};
    QString instance;
    SingleInstance primary{instance, folder(data)};
    QStringList urls;
};

// Connects or binds `fd` to the local socket at `path`. Only system calls: forked children use
// these too.
bool connectTo(int fd, const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool bindTo(int fd, const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// A raw client of a local socket, so tests control what it sends and when.
class RawClient {
  public:
    explicit RawClient(const QString& path)
        : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
        connected_ = connectTo(fd_, path.toStdString());
    }
    ~RawClient() { ::close(fd_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    // Whether the server has closed its end (reading what it sent, which is nothing).
    bool closedByServer() const {
        char byte = 0;
        const auto n = ::recv(fd_, &byte, 1, MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }

  private:
    int fd_;
    bool connected_ = false;
};

// The running instance hears one line per connection, closes quiet ones and holds only a few.
TEST(SingleInstanceLimits, IdleAndFloodingClientsAreClosedAndHeardAtMostOnce) {
    test::TempDir runtime;
    test::TempDir data;
    ScopedVariables environment({{"XDG_RUNTIME_DIR", runtime.path().string()}});
    const QString instance = uniqueInstance("ui-limits");
    // The idle limit is well above the time the connections below take under load, so that the
    // closes past the cap are told apart from those of idle clients.
    SingleInstance primary(instance, folder(data), SingleInstance::Limits{1500, 3});
    ASSERT_EQ(primary.claimOrForward(std::nullopt, false), SingleInstance::Role::primary);
    int heard = 0;
    QObject::connect(&primary, &SingleInstance::urlReceived, [&] { ++heard; });
    QObject::connect(&primary, &SingleInstance::reopenRequested, [&] { ++heard; });

    {
        SCOPED_TRACE("idle clients past the cap");
        std::vector<std::unique_ptr<RawClient>> idle;
        for (int i = 0; i < 10; ++i) {
            idle.push_back(std::make_unique<RawClient>(primary.socketPath()));
            ASSERT_TRUE(idle.back()->connected());
        }
        const auto closedCount = [&] {
            return std::count_if(idle.begin(), idle.end(),
                                 [](const auto& client) { return client->closedByServer(); });
        };
        EXPECT_TRUE(spinUntil([&] { return closedCount() >= 7; }));
        EXPECT_EQ(closedCount(), 7) << "only the connections past the cap close at once";
        EXPECT_TRUE(spinUntil([&] {
            return std::all_of(idle.begin(), idle.end(),
                               [](const auto& client) { return client->closedByServer(); });
        }));
    }
    {
        SCOPED_TRACE("4 MB of random bytes with line breaks");
        RawClient flooding(primary.socketPath());
        ASSERT_TRUE(flooding.connected());
        std::mt19937 random(7);
        std::string junk(std::size_t{4} << 20, '\0');
        for (auto& c : junk) {
            c = static_cast<char>(random() % 64 == 0 ? '\n' : 'a' + random() % 26);
        }
        std::size_t sent = 0;
        EXPECT_TRUE(spinUntil([&] {
            const auto n = ::send(flooding.fd(), junk.data() + sent, junk.size() - sent,
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
            }
            return sent == junk.size() || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
        }));
        EXPECT_TRUE(spinUntil([&] { return flooding.closedByServer(); }));
        EXPECT_LT(sent, junk.size()) << "the server stops reading after one line";
        EXPECT_EQ(heard, 1);
    }
    {
        SCOPED_TRACE("one overlong line");
        heard = 0;
        RawClient overlong(primary.socketPath());
        const std::string line(static_cast<std::size_t>(SingleInstance::maxLineLength) + 100, 'u');
        std::size_t sent = 0;
        spinUntil([&] {
            const auto n = ::send(overlong.fd(), line.data() + sent, line.size() - sent,
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
            sent += n > 0 ? static_cast<std::size_t>(n) : 0;
            return sent == line.size() || (n < 0 && errno != EAGAIN);
        });
        EXPECT_TRUE(spinUntil([&] { return overlong.closedByServer(); }));
        EXPECT_EQ(heard, 0);
    }
    EXPECT_EQ(launchBeside(instance, folder(data), QString("vasktest://after")),
              SingleInstance::Role::forwarded);
    EXPECT_TRUE(spinUntil([&] { return heard == 1; }));
}

TEST(SingleInstanceFailure, WithoutAPrivateFolderOrAnAnswerTheLaunchSaysWhy) {
    test::TempDir root;
    {
        SCOPED_TRACE("no private folder");
        const auto notAFolder = root / "file";
        std::ofstream(notAFolder) << "x";
        ScopedVariables environment({{"XDG_RUNTIME_DIR", std::nullopt},
                                     {"XDG_CACHE_HOME", (notAFolder / "cache").string()},
                                     {"XDG_DATA_HOME", (notAFolder / "data").string()}});
        SingleInstance instance(uniqueInstance("ui-nofolder"), folder(root));
        EXPECT_EQ(instance.claimOrForward(std::nullopt, false), SingleInstance::Role::failed);
        EXPECT_TRUE(instance.failureReason().contains(QString::fromStdString(notAFolder.string())))
            << instance.failureReason().toStdString();
        const Alert alert = SingleInstance::failureAlert(instance.failureReason());
        EXPECT_EQ(alert.style, Alert::Style::critical);
        EXPECT_NE(alert.informativeText.find(instance.failureReason().toStdString()),
                  std::string::npos);
        // No other Vask runs: the alert must not speak of one.
        EXPECT_EQ(alert.informativeText.find("running"), std::string::npos)
            << alert.informativeText;
    }
    {
        SCOPED_TRACE("a live lock with no one listening");
        ScopedVariables environment({{"XDG_RUNTIME_DIR", root.path().string()}});
        const QString name = uniqueInstance("ui-silent");
        QLockFile held(folder(root) + "/" + SingleInstance::lockFileName);
        ASSERT_TRUE(held.tryLock(0));
        SingleInstance instance(name, folder(root), quickLimits);
        EXPECT_EQ(instance.claimOrForward(QString("vasktest://x"), false),
                  SingleInstance::Role::failed);
        EXPECT_TRUE(instance.failureReason().contains("did not answer"))
            << instance.failureReason().toStdString();
    }
}

// The lock is in the data folder, whatever runtime folder a launch's environment names: a launch
// from cron or ssh (no XDG_RUNTIME_DIR), from another session, or after the session's runtime
// folder went never becomes a second running instance over the same databases.
TEST(SingleInstanceDataFolder, OneRunningInstancePerDataFolderWhateverTheEnvironment) {
    test::TempDir runtime;
    test::TempDir data;
    test::TempDir elsewhere;
    const QString instance = uniqueInstance("ui-data-lock");
    std::optional<ScopedVariables> primaryEnvironment(
        std::in_place, std::vector<std::pair<std::string, std::optional<std::string>>>{
                           {"XDG_RUNTIME_DIR", (runtime / "session").string()}});
    fs::create_directory(runtime / "session");
    ::chmod((runtime / "session").c_str(), 0700);
    SingleInstance primary(instance, folder(data));
    ASSERT_EQ(primary.claimOrForward(std::nullopt, false), SingleInstance::Role::primary);
    primaryEnvironment.reset();
    QStringList urls;
    QObject::connect(&primary, &SingleInstance::urlReceived,
                     [&](const QString& url) { urls << url; });

    struct Case {
        const char* name;
        std::optional<std::string> runtimeFolder;
    };
    const auto otherRuntime = elsewhere / "other-session";
    fs::create_directory(otherRuntime);
    ::chmod(otherRuntime.c_str(), 0700);
    for (const Case& c : {Case{"another session's runtime folder", otherRuntime.string()},
                          Case{"no runtime folder", std::nullopt}}) {
        SCOPED_TRACE(c.name);
        ScopedVariables environment({{"XDG_RUNTIME_DIR", c.runtimeFolder},
                                     {"XDG_CACHE_HOME", (elsewhere / "cache").string()}});
        urls.clear();
        SingleInstance launch(instance, folder(data), quickLimits);
        EXPECT_NE(launch.socketPath(), primary.socketPath());
        const QString url = QString("vasktest://") + c.name;
        // The running instance answers from its event loop, which runs here too.
        auto role =
            std::async(std::launch::async, [&] { return launch.claimOrForward(url, false); });
        EXPECT_TRUE(spinUntil(
            [&] { return role.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        EXPECT_EQ(role.get(), SingleInstance::Role::forwarded);
        EXPECT_EQ(urls, QStringList{url});
    }
    {
        SCOPED_TRACE("the running instance's runtime folder was removed");
        fs::remove_all(runtime / "session");
        ScopedVariables environment({{"XDG_RUNTIME_DIR", otherRuntime.string()}});
        SingleInstance launch(instance, folder(data), quickLimits);
        EXPECT_EQ(launch.claimOrForward(QString("vasktest://lost"), false),
                  SingleInstance::Role::failed);
        EXPECT_TRUE(launch.failureReason().contains(QString::number(::getpid())))
            << launch.failureReason().toStdString();
    }
}

// Once quitting starts the socket is closed: a launch then waits for the lock and becomes the
// running instance, rather than handing its URL to a process that will never read it.
// A data folder that cannot hold the lock file (read-only; here a file where the folder would
// be): the running Vask keeps its lock beside its socket, and a later launch does the same, so
// it hands its URL over rather than start a second Vask.
TEST(SingleInstanceDataFolder, ADataFolderWithoutRoomForTheLockStillHandsURLsOver) {
    test::TempDir runtime;
    test::TempDir data;
    ScopedVariables environment{{{"XDG_RUNTIME_DIR", runtime.path().string()}}};
    const auto notAFolder = data / "data";
    std::ofstream(notAFolder) << "";
    const QString unusable = QString::fromStdString(notAFolder.string());
    const QString instance = uniqueInstance("ui-readonly");
    SingleInstance primary(instance, unusable);
    QStringList urls;
    QObject::connect(&primary, &SingleInstance::urlReceived,
                     [&urls](const QString& url) { urls << url; });
    ASSERT_EQ(primary.claimOrForward(std::nullopt, false), SingleInstance::Role::primary)
        << primary.failureReason().toStdString();
    EXPECT_EQ(launchBeside(instance, unusable, QString("vasktest://ping")),
              SingleInstance::Role::forwarded);
    ASSERT_TRUE(spinUntil([&] { return !urls.isEmpty(); }));
    EXPECT_EQ(urls, QStringList{"vasktest://ping"});
}

TEST(SingleInstanceQuitting, ALaunchDuringAQuitTakesOverOnceTheLockIsFree) {
    test::TempDir runtime;
    test::TempDir data;
    ScopedVariables environment({{"XDG_RUNTIME_DIR", runtime.path().string()}});
    const QString instance = uniqueInstance("ui-quitting");
    auto primary = std::make_unique<SingleInstance>(instance, folder(data));
    ASSERT_EQ(primary->claimOrForward(std::nullopt, false), SingleInstance::Role::primary);
    int heard = 0;
    QObject::connect(primary.get(), &SingleInstance::urlReceived, [&] { ++heard; });
    primary->stopListening();
    EXPECT_FALSE(fs::exists(data / SingleInstance::socketRecordName));

    std::atomic<bool> started{false};
    auto role = std::async(std::launch::async, [&] {
        SingleInstance launch(instance, folder(data));
        started = true;
        return launch.claimOrForward(QString("vask://auth/callback?code=late"), false);
    });
    ASSERT_TRUE(spinUntil([&] { return started.load(); }));
    // The quitting instance's loop still runs, and hears nothing it would act on: a launch
    // that gives up soon tries it to the end of its wait, and fails.
    auto gaveUp = std::async(std::launch::async, [&] {
        SingleInstance launch(instance, folder(data), quickLimits);
        return launch.claimOrForward(QString("vasktest://quick"), false);
    });
    ASSERT_TRUE(spinUntil(
        [&] { return gaveUp.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_EQ(gaveUp.get(), SingleInstance::Role::failed);
    EXPECT_EQ(heard, 0);
    primary.reset();
    EXPECT_TRUE(spinUntil(
        [&] { return role.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
        20000));
    EXPECT_EQ(role.get(), SingleInstance::Role::primary);
    EXPECT_EQ(heard, 0);
}

// --- What the data folder holds ----------------------------------------------------------------

std::string randomBytes(std::size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    for (auto& c : bytes) {
        c = static_cast<char>(random() & 0xff);
    }
    return bytes;
}

void writeFile(const fs::path& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

// A child process that holds the flock on `path` until it is ended.
class LockHolder {
  public:
    // `name`, when given, is what the holder calls itself (its process name).
    explicit LockHolder(const fs::path& path, const char* name = nullptr) {
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0) {
            return;
        }
        child_ = ::fork();
        if (child_ == 0) {
            ::alarm(60);  // never outlives a test that lost track of it
            if (name != nullptr) {
                ::prctl(PR_SET_NAME, name);
            }
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            const char held = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : 0;
            [[maybe_unused]] auto written = ::write(ready[1], &held, 1);
            ::pause();
            ::_exit(0);
        }
        ::close(ready[1]);
        char held = 0;
        held_ = ::read(ready[0], &held, 1) == 1 && held == 1;
        ::close(ready[0]);
    }
    ~LockHolder() {
        if (child_ > 0) {
            ::kill(child_, SIGKILL);
            ::waitpid(child_, nullptr, 0);
        }
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    bool held() const { return held_; }
    pid_t pid() const { return child_; }

  private:
    pid_t child_ = -1;
    bool held_ = false;
};

// Whether another Vask runs is what the lock's holder says, never what the lock file holds.
TEST(SingleInstanceLockFile, AFreeLockIsTakenWhateverItHoldsAndAHeldOneNamesItsHolder) {
    test::TempDir runtime;
    ScopedVariables environment({{"XDG_RUNTIME_DIR", runtime.path().string()}});
    struct Case {
        const char* name;
        std::string contents;
    };
    const std::string earlierRecord = std::to_string(QCoreApplication::applicationPid()) +
                                      "\nvask\n" + QSysInfo::machineHostName().toStdString() + "\n";
    for (const Case& c : {Case{"64 random bytes", randomBytes(64, 54)},
                          Case{"an earlier lock naming a live process", earlierRecord},
                          Case{"a megabyte of text", std::string(std::size_t{1} << 20, 'x')},
                          Case{"nothing", ""}}) {
        SCOPED_TRACE(c.name);
        test::TempDir data;
        const auto lock = data / SingleInstance::lockFileName;
        writeFile(lock, c.contents);
        ::chmod(lock.c_str(), 0644);
        {
            SingleInstance instance(uniqueInstance("ui-garbled"), folder(data), quickLimits);
            EXPECT_EQ(instance.claimOrForward(QString("vasktest://x"), false),
                      SingleInstance::Role::primary)
                << instance.failureReason().toStdString();
            struct stat info {};
            ASSERT_EQ(::lstat(lock.c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 0777, 0600u);
        }
        EXPECT_FALSE(fs::exists(lock)) << "the lock file goes with the instance";
        // The same bytes under a live holder: a launch waits, then names that holder.
        writeFile(lock, c.contents);
        writeFile(data / SingleInstance::socketRecordName, randomBytes(64, 7));
        const LockHolder holder(lock);
        ASSERT_TRUE(holder.held());
        SingleInstance launch(uniqueInstance("ui-garbled"), folder(data), quickLimits);
        EXPECT_EQ(launch.claimOrForward(QString("vasktest://x"), false),
                  SingleInstance::Role::failed);
        const std::string reason = launch.failureReason().toStdString();
        EXPECT_NE(reason.find("process " + std::to_string(holder.pid())), std::string::npos)
            << reason;
        // Only the launch's own socket is named: the damaged record is neither used nor quoted.
        EXPECT_NE(reason.find("did not answer at " + launch.socketPath().toStdString() + " within"),
                  std::string::npos)
            << reason;
        EXPECT_TRUE(std::all_of(reason.begin(), reason.end(),
                                [](char ch) { return static_cast<unsigned char>(ch) >= 0x20; }))
            << "nothing of the damaged socket-path record is quoted: " << reason;
    }
}

// A lock held by a program that is not Vask (or not this user's) is said to be held by it: the
// launch never calls it "another Vask".
TEST(SingleInstanceLockFile, AHolderThatIsNotAVaskIsNamedForWhatItIs) {
    test::TempDir runtime;
    test::TempDir data;
    ScopedVariables environment({{"XDG_RUNTIME_DIR", runtime.path().string()}});
    const auto lock = data / SingleInstance::lockFileName;
    writeFile(lock, "");
    const LockHolder holder(lock, "other-program");
    ASSERT_TRUE(holder.held());
    SingleInstance launch(uniqueInstance("ui-foreign-holder"), folder(data), quickLimits);
    EXPECT_EQ(launch.claimOrForward(QString("vasktest://x"), false), SingleInstance::Role::failed);
    const std::string reason = launch.failureReason().toStdString();
    EXPECT_NE(reason.find("Process " + std::to_string(holder.pid()) + " (other-program, user "),
              std::string::npos)
        << reason;
    EXPECT_NE(reason.find("not a Vask of yours"), std::string::npos) << reason;
    EXPECT_EQ(reason.find("Another Vask"), std::string::npos) << reason;
}

// The socket-path record is read only as far as a path reaches and used only when it is one:
// a damaged, huge or random record beside a running instance leaves the launch to its usual
// socket, which answers.
TEST(SingleInstanceSocketRecord, ARecordThatIsNotOnePathIsPassedOverForTheUsualSocket) {
    RunningInstance running("ui-record");
    ASSERT_EQ(running.start(), SingleInstance::Role::primary);
    // Named references, not a structured binding: lambdas below capture them.
    const test::TempDir& runtime = running.runtime;
    const test::TempDir& data = running.data;
    const QString& instance = running.instance;
    QStringList& urls = running.urls;
    const auto record = data / SingleInstance::socketRecordName;
    const std::string own = running.primary.socketPath().toStdString();
    const std::string nobodyListens = (runtime / "gone").string();

    struct Case {
        const char* name;
        std::function<void()> make;
    };
    const Case cases[] = {
        {"random bytes", [&] { writeFile(record, randomBytes(4096, 9)); }},
        {"400 KB that is no path", [&] { writeFile(record, std::string(400 * 1024, 'p')); }},
        {"the path with bytes after it", [&] { writeFile(record, own + "\n\x01garbage"); }},
        {"the path cut short", [&] { writeFile(record, own.substr(0, own.size() / 2)); }},
        {"a path that is too long for a socket",
         [&] { writeFile(record, "/" + std::string(200, 'a')); }},
        {"a sparse 2 GiB file",
         [&] {
             writeFile(record, "");
             fs::resize_file(record, std::uintmax_t{2} << 30);
         }},
        {"a path where no one listens", [&] { writeFile(record, nobodyListens); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.make();
        urls.clear();
        const QString url = QString("vasktest://") + c.name;
        EXPECT_EQ(launchBeside(instance, folder(data), url), SingleInstance::Role::forwarded);
        EXPECT_TRUE(spinUntil([&] { return urls == QStringList{url}; }));
    }
}

// A launch that gave up on a running instance which did not get to its line (stopped, or busy)
// has said it failed: the line is not acted on when the running instance gets to it later.
TEST(SingleInstanceLateLine, ALineWhoseLaunchGaveUpIsDropped) {
    RunningInstance running("ui-late");
    ASSERT_EQ(running.start(), SingleInstance::Role::primary);
    const test::TempDir& data = running.data;
    const QString& instance = running.instance;
    QStringList& urls = running.urls;
    test::LogCapture log;

    // This thread does not run the event loop while the launch waits: the running instance is
    // as good as stopped.
    auto late = std::async(std::launch::async, [&] {
        SingleInstance launch(instance, folder(data), quickLimits);
        return launch.claimOrForward(QString("vasktest://late"), false);
    });
    EXPECT_EQ(late.get(), SingleInstance::Role::failed);
    EXPECT_EQ(launchBeside(instance, folder(data), QString("vasktest://after")),
              SingleInstance::Role::forwarded);
    EXPECT_TRUE(spinUntil([&] { return urls.contains("vasktest://after"); }));
    // The running instance has got to the late line once it says it dropped it.
    EXPECT_TRUE(spinUntil([&] { return log->contains("instance_line_dropped"); }));
    EXPECT_EQ(urls, QStringList{"vasktest://after"});
}

// --- Another local user -----------------------------------------------------------------------

// In a forked child: from here on it runs as the other user, or ends with status 2.
void becomeOtherUser() {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(otherGroup, otherGroup, otherGroup) != 0 ||
        ::setresuid(otherUser, otherUser, otherUser) != 0) {
        ::_exit(2);
    }
}

enum class Plant { socket, file, folder };

const char* plantName(Plant plant) {
    switch (plant) {
        case Plant::socket:
            return "socket";
        case Plant::file:
            return "file";
        case Plant::folder:
            return "folder";
    }
    return "";
}

// A child process running as another user that plants `plant` at every path. A planted socket
// listens and counts who connects; stop() returns that count.
class ForeignPlanter {
  public:
    ForeignPlanter(Plant plant, const std::vector<fs::path>& paths) {
        int ready[2];
        int control[2];
        int result[2];
        if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(control, O_CLOEXEC) != 0 ||
            ::pipe2(result, O_CLOEXEC) != 0) {
            return;
        }
        // Only system calls in the child: the parent has threads.
        std::vector<std::string> names;
        for (const auto& path : paths) {
            names.push_back(path.string());
        }
        const std::string lockText =
            std::to_string(QCoreApplication::applicationPid()) + "\nvask\n\n";
        child_ = ::fork();
        if (child_ == 0) {
            ::alarm(60);  // never outlives a test that lost track of it
            ::close(ready[0]);
            ::close(control[1]);
            ::close(result[0]);
            becomeOtherUser();
            ::umask(0);
            std::vector<pollfd> fds;
            fds.push_back({control[0], POLLIN, 0});
            for (const auto& name : names) {
                if (plant == Plant::folder) {
                    ::mkdir(name.c_str(), 0777);
                } else if (plant == Plant::file) {
                    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
                    [[maybe_unused]] auto written = ::write(fd, lockText.data(), lockText.size());
                    ::close(fd);
                } else {
                    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
                    if (bindTo(fd, name) && ::listen(fd, 16) == 0) {
                        ::chmod(name.c_str(), 0777);
                        fds.push_back({fd, POLLIN, 0});
                    }
                }
            }
            const char one = 1;
            [[maybe_unused]] auto signalled = ::write(ready[1], &one, 1);
            int accepted = 0;
            while (::poll(fds.data(), fds.size(), -1) >= 0 && fds[0].revents == 0) {
                for (std::size_t i = 1; i < fds.size(); ++i) {
                    if (fds[i].revents != 0) {
                        const int fd = ::accept(fds[i].fd, nullptr, nullptr);
                        accepted += fd >= 0 ? 1 : 0;
                        ::close(fd);
                    }
                }
            }
            [[maybe_unused]] auto reported = ::write(result[1], &accepted, sizeof accepted);
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(control[0]);
        ::close(result[1]);
        control_ = control[1];
        result_ = result[0];
        char byte = 0;
        ready_ = ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
    }
    ~ForeignPlanter() { stop(); }
    ForeignPlanter(const ForeignPlanter&) = delete;
    ForeignPlanter& operator=(const ForeignPlanter&) = delete;

    bool ready() const { return ready_; }

    int stop() {
        if (child_ <= 0) {
            return -1;
        }
        ::close(control_);
        int accepted = -1;
        if (::read(result_, &accepted, sizeof accepted) != sizeof accepted) {
            accepted = -1;
        }
        ::close(result_);
        int status = 0;
        ::waitpid(child_, &status, 0);
        child_ = -1;
        return accepted;
    }

  private:
    pid_t child_ = -1;
    int control_ = -1;
    int result_ = -1;
    bool ready_ = false;
};

uid_t ownerOf(const fs::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info.st_uid;
}

// Another user takes every name the single-instance socket and lock ever used or could use in a
// shared folder first: the shared temporary folder's socket and lock, a runtime folder of its
// own named by XDG_RUNTIME_DIR, and the runtime folder's place in a cache folder others may
// write. Vask still starts, and a later launch's URL reaches it and nothing else.
TEST(SingleInstanceAgainstAnotherUser, PlantedNamesNeitherStopNorHearALaunch) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "planting files as another user needs root (to switch user)";
    }
    for (const Plant plant : {Plant::socket, Plant::file, Plant::folder}) {
        SCOPED_TRACE(plantName(plant));
        test::TempDir shared;
        ::chmod(shared.path().c_str(), 01777);
        test::TempDir home;
        const QString instance = uniqueInstance("ui-plant") + "-" + plantName(plant);
        const std::string name = SingleInstance::serverName(instance).toStdString();
        const fs::path foreignRuntime = shared / ("runtime-" + std::to_string(::geteuid()));
        const fs::path sharedCache = shared / "cache";
        fs::create_directory(sharedCache);
        ::chmod(sharedCache.c_str(), 01777);
        {
            // The other user's own runtime folder, which it then fills.
            ForeignPlanter folder(Plant::folder, {foreignRuntime});
            ASSERT_TRUE(folder.ready());
        }
        ASSERT_EQ(ownerOf(foreignRuntime), otherUser);
        const fs::path tempFolder = fs::temp_directory_path();
        std::vector<fs::path> places = {
            tempFolder / name,                  // the old socket
            tempFolder / (name + ".lock"),      // the old lock without a runtime folder
            foreignRuntime / name,              // a socket in a runtime folder not ours
            foreignRuntime / (name + ".lock"),  // the old lock there
            sharedCache / "vask-runtime",       // the new folder in a cache others may write
        };
        ForeignPlanter planter(plant, places);
        ASSERT_TRUE(planter.ready());
        for (const auto& place : places) {
            ASSERT_EQ(ownerOf(place), otherUser) << place;
        }
        ScopedVariables environment({{"XDG_RUNTIME_DIR", foreignRuntime.string()},
                                     {"XDG_CACHE_HOME", sharedCache.string()},
                                     {"XDG_DATA_HOME", (home / "data").string()},
                                     {"TMPDIR", std::nullopt}});
        const auto dataFolder = home / "data" / "instance";
        fs::create_directories(dataFolder);
        const QString data = QString::fromStdString(dataFolder.string());

        SingleInstance primary(instance, data);
        ASSERT_EQ(primary.claimOrForward(std::nullopt, false), SingleInstance::Role::primary)
            << primary.failureReason().toStdString();
        EXPECT_TRUE(primary.socketPath().startsWith(QString::fromStdString(home.path().string())))
            << primary.socketPath().toStdString();
        QStringList urls;
        QObject::connect(&primary, &SingleInstance::urlReceived,
                         [&](const QString& url) { urls << url; });

        EXPECT_EQ(launchBeside(instance, data, QString("vask://auth/callback?code=secret")),
                  SingleInstance::Role::forwarded);
        EXPECT_TRUE(spinUntil([&] { return urls.size() == 1; }));
        EXPECT_EQ(urls, QStringList{"vask://auth/callback?code=secret"});
        const int heardByOther = planter.stop();
        if (plant == Plant::socket) {
            EXPECT_EQ(heardByOther, 0) << "a planted socket was connected to";
        }
        std::error_code ignored;
        for (const auto& place : places) {
            fs::remove_all(place, ignored);
        }
    }
}

// Even with the folder opened to others by mistake, only this user's connections are heard.
TEST(SingleInstanceAgainstAnotherUser, AConnectionFromAnotherUserIsRefused) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "connecting as another user needs root (to switch user)";
    }
    RunningInstance running("ui-peer");
    ASSERT_EQ(running.start(), SingleInstance::Role::primary);
    const test::TempDir& runtime = running.runtime;
    const test::TempDir& data = running.data;
    const QString& instance = running.instance;
    const SingleInstance& primary = running.primary;
    QStringList& urls = running.urls;
    ::chmod(runtime.path().c_str(), 0711);
    ::chmod(primary.socketPath().toLocal8Bit().constData(), 0777);

    const std::string path = primary.socketPath().toStdString();
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(10);
        becomeOtherUser();
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (!connectTo(fd, path)) {
            ::_exit(3);
        }
        const char line[] = "vask://auth/callback?code=stolen\n";
        [[maybe_unused]] auto sent = ::send(fd, line, sizeof line - 1, MSG_NOSIGNAL);
        char byte = 0;
        const auto n = ::recv(fd, &byte, 1, 0);  // until the server closes
        ::_exit(n <= 0 ? 0 : 4);
    }
    int status = -1;
    bool reaped = false;
    EXPECT_TRUE(spinUntil(
        [&] { return reaped || (reaped = ::waitpid(child, &status, WNOHANG) == child); }));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: could not switch user, 3: could not connect";
    ::chmod(runtime.path().c_str(), 0700);

    EXPECT_EQ(launchBeside(instance, folder(data), QString("vasktest://mine")),
              SingleInstance::Role::forwarded);
    EXPECT_TRUE(spinUntil([&] { return !urls.isEmpty(); }));
    // A later launch's URL arriving shows that everything sent before it has been handled.
    EXPECT_EQ(launchBeside(instance, folder(data), QString("vasktest://later")),
              SingleInstance::Role::forwarded);
    EXPECT_TRUE(spinUntil([&] { return urls.size() >= 2; }));
    urls.sort();
    EXPECT_EQ(urls, (QStringList{"vasktest://later", "vasktest://mine"}));
}

// A socket at the name that another user owns (a folder opened up, or root's doing) is never
// connected to: the URL could be an account's sign-in code.
TEST(SingleInstanceAgainstAnotherUser, ASocketOfAnotherUserIsNeverConnectedTo) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving a socket to another user needs root";
    }
    test::TempDir runtime;
    test::TempDir data;
    ScopedVariables environment({{"XDG_RUNTIME_DIR", runtime.path().string()}});
    const QString instance = uniqueInstance("ui-foreign-socket");
    const std::string name = SingleInstance::serverName(instance).toStdString();
    QLockFile held(folder(data) + "/" + SingleInstance::lockFileName);
    ASSERT_TRUE(held.tryLock(0));
    const auto path = runtime / name;
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_TRUE(bindTo(listener, path));
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::chown(path.c_str(), otherUser, otherGroup), 0);
    // Named as the running instance's socket, too.
    std::ofstream(data / SingleInstance::socketRecordName) << path.string() << "\n";

    SingleInstance launch(instance, folder(data), quickLimits);
    EXPECT_EQ(launch.claimOrForward(QString("vask://auth/callback?code=secret"), false),
              SingleInstance::Role::failed);
    const int accepted = ::accept(listener, nullptr, nullptr);
    EXPECT_LT(accepted, 0) << "the foreign socket was connected to";
    if (accepted >= 0) {
        ::close(accepted);
    }
    ::close(listener);
}

}  // namespace
}  // namespace vask::ui
