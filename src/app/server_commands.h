#pragma once
// What the program does with the monitor server's command byte.
#include "protocol/monitor_protocol.h"

namespace pelmora {

using protocol::kExitCommand;
using protocol::kNoCommand;
using protocol::kRestartServiceCommand;
using protocol::kToggleTrayCommand;

// Acts on serverCommand as the report's connection is still open: the tray
// toggle, or the service restart (servc 1, an allowed name that fits both
// command lines). Either clears serverCommand; the exit command is left for
// the next dialog event.
void obeyServerCommand();

// Whether a service name may be handed to the command interpreter: none of
// the characters it acts on. (Whether the name fits the command line is
// checked when the line is made.)
bool serviceNameAllowed(const char* name);

} // namespace pelmora
