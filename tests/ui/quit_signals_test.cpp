#include <QApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "app/quit_signals.h"

namespace vask {
namespace {

// Each quit signal (a closed terminal's SIGHUP too), and a quit the user asks for (Ctrl+Q, the
// tray's Quit), runs the hook off the main thread and ends the event loop the ordinary way, so
// that the quit's own steps run; the process does not end.
TEST(QuitSignals, EachQuitSignalRunsTheHookAndEndsTheEventLoop) {
    // The watcher thread outlives the test.
    static std::atomic<int> hooked{0};
    quitOnTerminationSignals([] { ++hooked; });
    int expected = 0;
    constexpr int asked = 0;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, asked}) {
        SCOPED_TRACE(signal);
        bool timedOut = false;
        QTimer::singleShot(0, qApp, [signal] {
            if (signal == asked) {
                requestQuit();
            } else {
                ::raise(signal);
            }
        });
        QTimer bound;
        bound.setSingleShot(true);
        QObject::connect(&bound, &QTimer::timeout, qApp, [&timedOut] {
            timedOut = true;
            QApplication::exit(1);
        });
        bound.start(30000);
        EXPECT_EQ(QApplication::exec(), 0);
        EXPECT_FALSE(timedOut);
        ++expected;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (hooked.load() < expected && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_EQ(hooked.load(), expected);
    }
}

}  // namespace
}  // namespace vask
