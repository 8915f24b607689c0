#include "server/machine_status.h"

#include <cmath>
#include <ctime>

namespace pelmora_server {

MachineStatus machineStatus(const MachineRow& m, long long now, const StatusLimits& limits)
{
    MachineStatus s;
    if (m.stopped)
        s.status = "stopped";
    else if (now - m.lastSeen > limits.offlineAfter)
        s.status = "offline";
    else if (now - m.changedAt >= limits.stallAfter)
        s.status = "stalled";
    // The pace from the first report of the unit to its last step forward.
    const long long span = m.changedAt - m.unitSince;
    const int gained = m.progress - m.unitFirstProgress;
    if (span > 0 && gained > 0) {
        s.progressPerHour = gained * 3600.0 / static_cast<double>(span);
        if (!m.stopped && now - m.lastSeen <= limits.offlineAfter) {
            const double left = m.progress >= 100 ? 0.0 : (100 - m.progress) / *s.progressPerHour * 3600.0;
            s.eta = m.changedAt + static_cast<long long>(std::llround(left));
        }
    }
    return s;
}

std::string isoTime(long long seconds)
{
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

} // namespace pelmora_server
