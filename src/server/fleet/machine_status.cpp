#include "server/fleet/machine_status.h"

#include <algorithm>
#include <cmath>

namespace pelmora::server {

MachineStatus machineStatus(const MachineRow& m, long long now, const StatusLimits& limits)
{
    MachineStatus s;
    if (m.mutedUntil > now) s.mutedUntil = m.mutedUntil;
    if (m.stopped)
        s.status = "stopped";
    else if (now - m.lastSeen > limits.offlineAfter)
        s.status = "offline";
    else if (m.lastSeen - std::max(m.changedAt, m.resumedAt) >= limits.stallAfter)
        s.status = "stalled";
    if (s.status[0] != 'f') return s;
    // The pace from the start of the window to the last step forward. The
    // store keeps progress within 0 to 100; the arithmetic is wide anyway.
    const long long span = m.changedAt - m.paceAt;
    const long long gained = static_cast<long long>(m.progress) - m.paceProgress;
    if (span <= 0 || gained <= 0) return s;
    const double perHour = static_cast<double>(gained) * 3600.0 / static_cast<double>(span);
    s.progressPerHour = perHour;
    const double left = m.progress >= 100 ? 0.0 : (100.0 - m.progress) / perHour * 3600.0;
    s.eta = m.changedAt + std::llround(left);
    // A unit's points for each 100 % it makes, at this pace for 24 hours.
    if (m.points > 0) s.pointsPerDay = std::llround(static_cast<double>(m.points) * perHour / 100.0 * 24.0);
    return s;
}

long long statusSince(const MachineRow& m, const char* status, const StatusLimits& limits)
{
    switch (status[0]) {
    case 'o': return m.lastSeen + limits.offlineAfter;
    case 's': return status[2] == 'a' ? std::max(m.changedAt, m.resumedAt) + limits.stallAfter : m.lastSeen;
    default: return std::max(m.changedAt, m.resumedAt);
    }
}

} // namespace pelmora::server
