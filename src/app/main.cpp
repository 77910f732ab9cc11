#include <QApplication>

#include <atomic>
#include <cstdio>
#include <memory>

#include "foundation/structured_logger.h"
#include "platform/libsecret_backend.h"
#include "platform/worker_pool.h"
#include "quit_signals.h"
#include "ui/qt_platform.h"
#include "ui/theme.h"
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

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Vask");
    QApplication::setApplicationVersion(VASK_VERSION);
    // The desktop matches windows to vask.desktop, and so to its icon, by this name.
    QGuiApplication::setDesktopFileName("vask");
    // A tray application: closing its last window does not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    vask::ui::Theme::initResources();

    const auto arguments = vask::VaskApplication::parseArguments(QApplication::arguments());
    if (!arguments) {
        std::fputs("usage: vask [--relaunch] [URL]\n", stderr);
        return 2;
    }
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
    vask::LibsecretBackend::abandonCalls();
    vask.shutDown();
    // Every worker ends (each was told to stop) before the databases close and the
    // single-instance lock goes: a launch that took over while this one still rebuilt an index
    // would find its databases locked.
    workers.join();
    vask.closeDatabases();
    vask.releaseInstance();
    return status;
}
