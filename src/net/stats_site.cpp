#include "net/stats_site.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "state/monitor_state.h"
#include "state/whole_numbers.h"
#include "platform/platform.h"

namespace pelmora {

const char* statsHostLabel()
{
    return state.khost[0] != '\0' ? state.khost : kDefaultStatsHost;
}

int memoryMegabytes(unsigned long long totalBytes)
{
    return clampToInt(static_cast<long long>(totalBytes / (1024ull * 1024ull)));
}

int submitUnitStats()
{
    // Every byte of the field, past the terminator too; the name keeps the change.
    for (char& c : state.cpuName)
        if (c == ' ') c = '_';
    std::snprintf(state.urlBuffer, sizeof state.urlBuffer,
                  "http://%s/folding/unitstats.php?username=%s&team=%d&cpu=%d&wucount=%d&cpuvendor=%s"
                  "&cpustring=%s&cpumhz=%d&frametime=%f&protein=%s&core=%s&memory=%d",
                  statsHostLabel(), state.username, state.team, state.machineId, state.unitCount,
                  state.cpuVendor, state.cpuName, truncateToInt(state.cpuMhz),
                  static_cast<double>(state.frameMinutes), state.previousUnitName, state.core,
                  memoryMegabytes(state.totalPhysBytes));
    return httpGetToFile(state.urlBuffer, kStatsReplyFile);
}

int httpGetToFile(const char* url, const char* fileName)
{
    if (fileName) return platform().httpGet(url, fileName);
    const char* slash = std::strrchr(url, '/');
    if (!slash) return -1;
    const std::string derived(slash + 1);
    return platform().httpGet(url, derived.c_str());
}

} // namespace pelmora
