#include "net/monitor_reports.h"

#include <cstdio>
#include <cstring>

#include "app/monitor_state.h"
#include "app/status_texts.h"
#include "net/tcp_link.h"
#include "platform/platform.h"

namespace {
constexpr int kReceiveCapacity = sizeof state.receiveBuffer;
constexpr unsigned kServiceRestartPauseMs = 5000;
constexpr size_t kCommandLineBytes = 255;

enum ServerCommand { kNoCommand = 0, kExit = 1, kToggleTray = 2, kRestartService = 3 };

const ServiceControl kPlatformControl = {runCommand, sleepMilliseconds};
const ServiceControl* serviceControl = &kPlatformControl;

int firstByte() { return static_cast<signed char>(state.receiveBuffer[0]); }

int openLink()
{
    state.link = SocketLink{};
    state.link.host = state.ipadd;
    state.link.port = kMonitorServerPort;
    return linkOpen(&state.link);
}

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
    serviceControl->run(stop);
    serviceControl->pause(kServiceRestartPauseMs);
    serviceControl->run(start);
    return true;
}

void obeyCommand()
{
    if (state.serverCommand == kToggleTray) {
        state.nowin = state.nowin == 0 ? 1 : 0;
        state.quiet = state.quiet == 0 ? 1 : 0;
        applyTrayMode();
        state.serverCommand = kNoCommand;
    }
    if (state.serverCommand == kRestartService && state.servc == 1 && serviceNameAllowed(state.spath) &&
        restartService())
        state.serverCommand = kNoCommand;
}
} // namespace

void formatStatusReport()
{
    std::snprintf(state.reportBuffer, sizeof state.reportBuffer,
                  "%d %s %d %d %d %s %d %f %s %s %d %d %s %d  %d", state.clientSlot, state.computerName,
                  state.cpunum, state.unitCount, state.progress, state.unitName, state.shuttingDown,
                  static_cast<double>(state.cpuMhz), state.cpuVendor, state.core, state.frames, state.points,
                  state.username, state.team, state.quiet);
}

void useServiceControl(const ServiceControl* control)
{
    serviceControl = control ? control : &kPlatformControl;
}

bool serviceNameAllowed(const char* name)
{
    for (const char* p = name; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F || std::strchr("&|<>^%\"();`$", c)) return false;
    }
    return true;
}

void sendStatusReport()
{
    if (openLink() != 0) {
        state.clientSlot = 0;
        return;
    }
    std::memset(state.receiveBuffer, 0, sizeof state.receiveBuffer);
    linkReceive(&state.link, kReceiveCapacity, state.receiveBuffer);
    if (state.clientSlot == 0) state.clientSlot = firstByte();

    std::memset(state.reportBuffer, 0, sizeof state.reportBuffer);
    formatStatusReport();
    linkSendAll(&state.link, kReportBytes, state.reportBuffer);

    std::memset(state.receiveBuffer, 0, sizeof state.receiveBuffer);
    linkReceive(&state.link, kReceiveCapacity, state.receiveBuffer);
    state.serverCommand = firstByte();
    obeyCommand();
    linkClose(&state.link);
}

void sendExitReport()
{
    state.shuttingDown = 1;
    if (openLink() != 0) {
        state.clientSlot = 0;
        return;
    }
    // What arrives is not looked at; the buffer is not cleared first.
    linkReceive(&state.link, kReceiveCapacity - 1, state.receiveBuffer);
    formatStatusReport(); // over the previous record: its tail stays past the terminator
    linkSendAll(&state.link, kReportBytes, state.reportBuffer);
    linkClose(&state.link);
}
