#pragma once

namespace pelmora {
// Close requests (SIGINT, SIGTERM, SIGHUP) and terminal resizes (SIGWINCH)
// reach the program as bytes on a pipe, so that the one wait for keys and
// timer ticks wakes for them too. The handlers only write that byte.

// Installs the handlers. A SIGHUP that the program was started with ignored
// (nohup) stays ignored. Resizes are watched only when asked for.
bool installSignalPipe(bool watchResize);

// The end of the pipe to wait on.
int signalPipeFd();

struct SignalsSeen {
    bool close = false;
    bool resize = false;
};
// Empties the pipe and tells what arrived since the last call.
SignalsSeen takeSignals();

} // namespace pelmora
