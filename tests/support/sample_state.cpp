#include "support/sample_state.h"

#include <cstring>

#include "state/monitor_state.h"

namespace pelmora {

void fillSampleState()
{
    std::strcpy(state.computerName, "LABPC7");
    state.cpunum = 1;
    std::strcpy(state.cpuVendor, "GenuineIntel");
    std::strcpy(state.cpuName, " Example CPU 2.00GHz");
    state.cpuMhz = 2400.0f;
    state.totalPhysBytes = 3ull << 30;
    std::strcpy(state.username, "user01");
    state.team = 12345;
    state.machineId = 7;
    std::strcpy(state.unitName, "p1234_sample");
    std::strcpy(state.previousUnitName, "p1234_sample");
    state.unitCount = 2;
    state.progress = 45;
    std::strcpy(state.core, "coreX");
    state.points = 150;
    state.frames = 100;
    state.frameMinutes = 12.5f;
    std::strcpy(state.startMonth, "March");
    std::strcpy(state.startDay, "3");
    std::strcpy(state.dueMonth, "March");
    std::strcpy(state.dueDay, "17");
    std::strcpy(state.ipadd, "127.0.0.1");
    std::strcpy(state.spath, "FAHClient");
}

} // namespace pelmora
