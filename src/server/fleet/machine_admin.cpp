#include "server/fleet/machine_admin.h"

#include <algorithm>

#include "server/support/defaults.h"
#include "server/support/iso_time.h"
#include "server/support/log.h"

namespace pelmora::server {
namespace {

using defaults::kForgottenAtOnce; // a short transaction each

} // namespace

Outcome<MachineRow> removeMachine(Store& store, long long id, const std::string& by)
{
    const std::vector<MachineRow> removed = store.removeMachines({id});
    if (removed.empty()) return Refusal::notFound;
    const MachineRow& m = removed[0];
    logEvent(Level::info, "machine " + m.name + " CPU# " + std::to_string(m.cpu) + " (id " + std::to_string(id) +
                              ") removed by " + by);
    return m;
}

Outcome<std::string> clearMachineAddress(Store& store, long long id, const std::string& by, long long now)
{
    const std::optional<std::string> address = store.clearAddress(id, now);
    if (!address) return Refusal::notFound;
    logEvent(Level::info, "machine " + std::to_string(id) + ": address " + (address->empty() ? "(none)" : *address) +
                              " cleared by " + by + "; its next record's address is taken");
    return *address;
}

Outcome<long long> muteMachine(Store& store, long long id, long long minutes, const std::string& by, long long now)
{
    const long long until = now + minutes * 60;
    if (!store.muteMachine(id, until)) return Refusal::notFound;
    logEvent(Level::info, "machine " + std::to_string(id) + ": alerts muted until " + isoTime(until) + " by " + by);
    return until;
}

Outcome<long long> unmuteMachine(Store& store, long long id, const std::string& by)
{
    if (!store.muteMachine(id, 0)) return Refusal::notFound;
    logEvent(Level::info, "machine " + std::to_string(id) + ": mute ended by " + by);
    return 0LL;
}

Outcome<MachineHistory> machineHistory(Store& store, const FleetLimits& limits, long long id, long long hours,
                                       long long points, long long now)
{
    if (!store.machineExists(id)) return Refusal::notFound;
    hours = std::min<long long>(hours, limits.historyMaxDays * 24LL);
    const long long most = points > 0 ? std::min<long long>(points, limits.historyMaxRows) : limits.historyMaxRows;
    const long long since = now - hours * 3600;
    return MachineHistory{hours, store.history(id, since, now, static_cast<int>(most)), store.reportBefore(id, since)};
}

long long forgetSilentMachines(Store& store, const FleetLimits& limits, long long now)
{
    if (limits.forgetAfterDays <= 0) return 0;
    long long forgotten = 0;
    for (;;) {
        const std::vector<long long> ids = store.silentMachines(now - limits.forgetAfterDays * 86400LL, kForgottenAtOnce);
        if (ids.empty()) break;
        const std::vector<MachineRow> removed = store.removeMachines(ids);
        forgotten += static_cast<long long>(removed.size());
        if (removed.size() < ids.size()) break; // removed meanwhile: next hour
    }
    if (forgotten > 0)
        logEvent(Level::info, std::to_string(forgotten) + " machines silent for " +
                                  std::to_string(limits.forgetAfterDays) + " days forgotten");
    return forgotten;
}

} // namespace pelmora::server
