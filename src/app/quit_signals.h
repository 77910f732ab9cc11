#pragma once

#include <csignal>
#include <functional>

namespace vask {

// The signals that end Vask the ordinary way: SIGTERM, SIGINT and SIGHUP (a closed terminal;
// some session managers send it after SIGTERM).
inline constexpr int quitSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Each of quitSignals ends the event loop the ordinary way, so a stopped Vask quits as cleanly
// as one that chose Quit. `onQuitRequested` runs first, on a thread of its own, as soon as the
// signal arrives, even while the main thread waits in a blocking call: it gives up such calls
// so that the event loop gets to the quit. It runs once per signal and must be thread-safe.
// Call once, after the application object exists.
void quitOnTerminationSignals(std::function<void()> onQuitRequested);

// Quits the way the signals do: `onQuitRequested` runs at once on its thread and the event loop
// ends as for SIGTERM. Quit in the tray's menu, Ctrl+Q and the last window closing all come here,
// so that every quit takes one route. Before quitOnTerminationSignals, only the loop is ended.
void requestQuit();

}  // namespace vask
