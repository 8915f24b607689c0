#include "frontend/terminal/signals.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace pelmora {

namespace {
int pipeEnds[2] = {-1, -1};

void onSignal(int number)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    // A full pipe already holds a wake-up; the byte can be dropped then.
    [[maybe_unused]] ssize_t written = ::write(pipeEnds[1], &byte, 1);
    errno = saved;
}

bool catchSignal(int number, bool keepIgnored)
{
    struct sigaction action = {};
    if (keepIgnored) {
        struct sigaction current = {};
        if (sigaction(number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) return true;
    }
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART; // blocking calls elsewhere carry on
    return sigaction(number, &action, nullptr) == 0;
}
} // namespace

bool installSignalPipe(bool watchResize)
{
    if (pipeEnds[0] < 0 && ::pipe2(pipeEnds, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    bool ok = catchSignal(SIGINT, false) && catchSignal(SIGTERM, false) && catchSignal(SIGHUP, true);
    if (watchResize) ok = catchSignal(SIGWINCH, false) && ok;
    // A report sent to a peer that has gone away must not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    return ok;
}

int signalPipeFd() { return pipeEnds[0]; }

SignalsSeen takeSignals()
{
    SignalsSeen seen;
    unsigned char bytes[64];
    ssize_t got;
    while ((got = ::read(pipeEnds[0], bytes, sizeof bytes)) > 0 || (got < 0 && errno == EINTR)) {
        for (ssize_t i = 0; i < got; ++i) {
            if (bytes[i] == SIGWINCH)
                seen.resize = true;
            else
                seen.close = true;
        }
    }
    return seen;
}

} // namespace pelmora
