#include <QApplication>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

// Under AddressSanitizer its own allocator serves every block and glibc's settings mean nothing.
#if defined(__SANITIZE_ADDRESS__)
#define VASK_GLIBC_ALLOCATOR 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VASK_GLIBC_ALLOCATOR 0
#endif
#endif
#if !defined(VASK_GLIBC_ALLOCATOR) && defined(__GLIBC__)
#define VASK_GLIBC_ALLOCATOR 1
#endif

#include "foundation/structured_logger.h"
#include "platform/libsecret_backend.h"
#include "platform/worker_pool.h"
#include "quit_signals.h"
#include "ui/qt_platform.h"
#include "ui/theme.h"
#include "ui/window_registry.h"
#include "vask_app.h"

namespace {

// The application's worker pool, which can be joined while services that post to it still
// exist: what they post after the join (while the services close at quit) is dropped and
// logged, never run on a pool that is gone.
class JoinableWorkers final : public vask::Executor {
  public:
    ~JoinableWorkers() override { join(); }

    void post(vask::Task task) override {
        if (joined_.load()) {
            vask::StructuredLogger("launch").warning("task_dropped_after_quit", {});
            return;
        }
        pool_->post(std::move(task));
    }

    // Runs every task already posted (and what they post in turn), then joins the threads. The
    // pool is reached through pool_ until its destructor returns: tasks it runs may post.
    void join() {
        if (pool_ != nullptr) {
            delete pool_;
            joined_.store(true);
            pool_ = nullptr;
        }
    }

  private:
    vask::WorkerPool* pool_ = new vask::WorkerPool;
    std::atomic<bool> joined_{false};
};

// glibc gives every thread that allocates its own arena and, with its default sliding
// thresholds, serves ever larger blocks from them: a worker's arena that once held tens of
// megabytes for a synchronisation keeps them as free memory for the life of the process, which
// trimming does not return. Two arenas and fixed thresholds hand large blocks back to the system
// when they are freed and keep resident memory near what is in use over days of running.
void keepAllocatorFromHoarding() {
#if VASK_GLIBC_ALLOCATOR
    constexpr int arenas = 2;
    constexpr int mmapThreshold = 128 * 1024;
    constexpr int trimThreshold = 1024 * 1024;
    if (mallopt(M_ARENA_MAX, arenas) == 0 || mallopt(M_MMAP_THRESHOLD, mmapThreshold) == 0 ||
        mallopt(M_TRIM_THRESHOLD, trimThreshold) == 0) {
        std::fputs("vask: the allocator settings were refused; memory may grow over time\n",
                   stderr);
    }
#endif
}

}  // namespace

int main(int argc, char** argv) {
    // A write to a child (or a socket) that went away is that write's failure, EPIPE, never the
    // end of Vask. Children start with every signal at its default whatever is set here.
    std::signal(SIGPIPE, SIG_IGN);
    keepAllocatorFromHoarding();
    // Read before the toolkit is set up: its X11 platform removes it from the environment.
    const QByteArray startupId = vask::ui::launchStartupId();
    // It is carried from here on (to the first window, or to the running Vask): a token left in
    // the environment would be taken for one a panel offered later, and children would inherit
    // it.
    qunsetenv("XDG_ACTIVATION_TOKEN");
    QApplication app(argc, argv);
    QApplication::setApplicationName("Vask");
    QApplication::setApplicationVersion(VASK_VERSION);
    // The desktop matches windows to vask.desktop, and so to its icon, by this name.
    QGuiApplication::setDesktopFileName("vask");
    // A tray application: closing its last window does not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    vask::ui::Theme::initResources();

    auto arguments = vask::VaskApplication::parseArguments(QApplication::arguments());
    if (!arguments) {
        std::fputs("usage: vask [--relaunch] [URL]\n", stderr);
        return 2;
    }
    arguments->startupId = startupId;
    // Outlives everything, static destruction included: late results from any worker pool are
    // dropped by it rather than posted to a destroyed executor.
    static auto* const mainExecutor = new vask::ui::QtMainExecutor;
    JoinableWorkers workers;
    vask::VaskApplication vask(app, *mainExecutor, workers);
    if (const auto exitStatus = vask.launch(*arguments)) {
        return *exitStatus;
    }
    // A main thread waiting on a Secret Service that stopped answering would never see the
    // event loop's quit: the signal's own thread gives such calls up at once.
    vask::quitOnTerminationSignals([] { vask::LibsecretBackend::abandonCalls(); });
    const int status = QApplication::exec();
    // A quit waits on nothing outside Vask: every call to the keyring is given up (its prompt
    // included), and what the user changed is already kept in the data folder.
    vask::LibsecretBackend::abandonCalls();
    // Everything is told to stop (a running turn's question is stored) without waiting ...
    vask.shutDown();
    // ... and the lock and socket go once the synchronisation has stopped (never before), before
    // anything else is waited for, so a launch from now on is never refused by a Vask that is
    // leaving: work still stopping only reads or ends its databases, which wait for each other's
    // writes.
    vask.releaseInstance();
    workers.join();
    vask.closeDatabases();
    return status;
}
