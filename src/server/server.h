// The whole server: store, both listeners, the maintenance thread, and a
// clean end on SIGTERM or SIGINT.
#pragma once

#include "server/options.h"

namespace pelmora::server {

// Runs until SIGTERM or SIGINT; the exit status.
int runServer(const ServerOptions& options);

// Command line to exit status: options, then runServer.
int serverMain(int argc, const char* const* argv);

} // namespace pelmora::server
