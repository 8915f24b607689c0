// pelmora-bridge: keeps the monitor's unit file (and project table) up to
// date from a Folding@home client of version 7 or 8.
#include "bridge/follower.h"
#include "bridge/io/options.h"
#include "bridge/io/v8_client.h"
#include "platform/platform.h"

#ifndef _WIN32
#include <csignal>
#endif

using namespace pelmora;

int main(int argc, char** argv)
{
    bridge::Options options;
    std::string password;
    const int ended = bridge::readCommandLine(argc, argv, options, password);
    if (ended >= 0) return ended;
#ifndef _WIN32
    std::signal(SIGPIPE, SIG_IGN);
#endif
    if (platform().socketsStart() != 0) {
        bridge::logLine("the sockets library would not start");
        return 1;
    }
    return bridge::followClient(options, password, bridge::runV8);
}
