#include "net/monitor_reports.h"

#include <cstring>

#include "state/monitor_state.h"
#include "net/tcp_link.h"
#include "platform/platform.h"

namespace pelmora {

namespace {
constexpr int kReceiveCapacity = sizeof state.receiveBuffer;

int firstByte() { return static_cast<signed char>(state.receiveBuffer[0]); }

int openLink()
{
    state.link = SocketLink{};
    state.link.host = state.ipadd;
    state.link.port = protocol::kPort;
    return linkOpen(&state.link);
}
} // namespace

void formatStatusReport()
{
    protocol::RecordValues v;
    v.slot = state.clientSlot;
    v.computerName = state.computerName;
    v.cpu = state.cpunum;
    v.unitsSeen = state.unitCount;
    v.progress = state.progress;
    v.unit = state.unitName;
    v.exiting = state.shuttingDown;
    v.cpuMhz = static_cast<double>(state.cpuMhz);
    v.cpuVendor = state.cpuVendor;
    v.core = state.core;
    v.frames = state.frames;
    v.points = state.points;
    v.user = state.username;
    v.team = state.team;
    v.inTray = state.quiet;
    protocol::formatRecord(v, state.reportBuffer, sizeof state.reportBuffer);
}

void sendStatusReport(void (*obey)())
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
    linkSendAll(&state.link, protocol::kRecordBytes, state.reportBuffer);

    std::memset(state.receiveBuffer, 0, sizeof state.receiveBuffer);
    linkReceive(&state.link, kReceiveCapacity, state.receiveBuffer);
    state.serverCommand = firstByte();
    if (obey) obey();
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
    linkSendAll(&state.link, protocol::kRecordBytes, state.reportBuffer);
    linkClose(&state.link);
}

} // namespace pelmora
