#include <QApplication>

#include <cstdio>
#include <memory>

#include "platform/worker_pool.h"
#include "quit_signals.h"
#include "ui/qt_platform.h"
#include "ui/theme.h"
#include "vask_app.h"

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
    auto workers = std::make_unique<vask::WorkerPool>();
    vask::VaskApplication vask(app, *mainExecutor, *workers);
    if (const auto exitStatus = vask.launch(*arguments)) {
        return *exitStatus;
    }
    vask::quitOnTerminationSignals();
    const int status = QApplication::exec();
    vask.shutDown();
    // Every worker ends (each was told to stop) before the single-instance lock goes: a launch
    // that took over while this one still rebuilt an index would find its databases locked.
    workers.reset();
    vask.releaseInstance();
    return status;
}
