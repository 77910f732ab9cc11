#include "quit_signals.h"

#include <QApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <thread>

namespace vask {

namespace {

// One pipe for the event loop, one for the thread that gives up blocking calls.
int loopPipe[2] = {-1, -1};
int watcherPipe[2] = {-1, -1};

// Only async-signal-safe work here: one byte into each pipe.
void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto toLoop = ::write(loopPipe[1], &byte, 1);
    [[maybe_unused]] const auto toWatcher = ::write(watcherPipe[1], &byte, 1);
}

}  // namespace

void requestQuit() {
    if (loopPipe[1] < 0) {
        QApplication::quit();
        return;
    }
    onSignal(0);
}

void quitOnTerminationSignals(std::function<void()> onQuitRequested) {
    if (::pipe2(loopPipe, O_CLOEXEC | O_NONBLOCK) != 0 ||
        ::pipe2(watcherPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(loopPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
        char byte = 0;
        while (::read(loopPipe[0], &byte, 1) > 0) {
        }
        QApplication::quit();
    });
    // Reads block in this thread only; it lives as long as the process.
    const int flags = ::fcntl(watcherPipe[0], F_GETFL);
    ::fcntl(watcherPipe[0], F_SETFL, flags & ~O_NONBLOCK);
    std::thread([onQuitRequested = std::move(onQuitRequested)] {
        while (true) {
            char byte = 0;
            const auto n = ::read(watcherPipe[0], &byte, 1);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return;
            }
            if (onQuitRequested) {
                onQuitRequested();
            }
        }
    }).detach();
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : quitSignals) {
        sigaction(signal, &action, nullptr);
    }
}

}  // namespace vask
