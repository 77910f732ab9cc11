#pragma once

namespace vask {

// SIGTERM and SIGINT end the event loop the ordinary way, so a stopped Vask quits as cleanly as
// one that chose Quit. Call once, after the application object exists.
void quitOnTerminationSignals();

}  // namespace vask
