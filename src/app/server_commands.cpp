#include "app/server_commands.h"

#include <cstring>

#include "app/tray.h"
#include "platform/platform.h"
#include "state/monitor_state.h"

namespace pelmora {

namespace {
constexpr size_t kCommandLineBytes = 255;

// Both command lines are made before either runs: a name that would not
// fit one of them runs nothing, so stop and start never name different
// services.
bool restartService()
{
    char stop[kCommandLineBytes];
    char start[kCommandLineBytes];
    if (!formatServiceCommand(stop, sizeof stop, false, state.spath) ||
        !formatServiceCommand(start, sizeof start, true, state.spath))
        return false;
    platform().runCommand(stop);
    platform().sleepMilliseconds(kServiceRestartPauseMs);
    platform().runCommand(start);
    return true;
}
} // namespace

bool serviceNameAllowed(const char* name)
{
    for (const char* p = name; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F || std::strchr("&|<>^%\"();`$", c)) return false;
    }
    return true;
}

void obeyServerCommand()
{
    if (state.serverCommand == kToggleTrayCommand) {
        trayOnServerToggle();
        state.serverCommand = kNoCommand;
    }
    if (state.serverCommand == kRestartServiceCommand && state.servc == 1 && serviceNameAllowed(state.spath) &&
        restartService())
        state.serverCommand = kNoCommand;
}

} // namespace pelmora
