// The whole server: the process set up, the store opened (and locked), the
// tokens loaded, then the parts (team_server.h) until SIGTERM or SIGINT.
#pragma once

#include "server/options.h"

namespace pelmora::server {

// Runs until SIGTERM or SIGINT; the exit status.
int runServer(const ServerOptions& options);

// Command line to exit status: options, then runServer.
int serverMain(int argc, const char* const* argv);

} // namespace pelmora::server
