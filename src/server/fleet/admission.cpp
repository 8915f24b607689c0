#include "server/fleet/admission.h"

#include <algorithm>

#include "server/support/log.h"

namespace pelmora::server {
namespace {

Approval logged(const Approval& a, const std::string& by)
{
    for (const MachineRow& m : a.approved)
        logEvent(Level::info, "machine " + m.name + " CPU# " + std::to_string(m.cpu) + " (id " + std::to_string(m.id) +
                                  ", from " + m.address + ") approved by " + by);
    return a;
}

} // namespace

Outcome<std::string> moveMachineAddress(Store& store, long long id, const std::string& address, const std::string& by,
                                        long long now)
{
    const std::optional<std::string> before = store.moveAddress(id, address, now);
    if (!before) return Refusal::notFound;
    logEvent(Level::info, "machine " + std::to_string(id) + ": address " + (before->empty() ? "(none)" : *before) +
                              " moved to " + address + " by " + by);
    return *before;
}

Outcome<Approval> approveWaiting(Store& store, const FleetLimits& limits, long long waitingId,
                                 const std::string& address, const std::string& by, long long now)
{
    // Pinned to its first sender's address, or to the other sender the
    // list showed, as the admin chooses: never to whoever sent its name last.
    if (!address.empty()) {
        const std::vector<WaitingRow> rows = store.waiting();
        const auto row = std::find_if(rows.begin(), rows.end(), [&](const WaitingRow& w) { return w.id == waitingId; });
        if (row == rows.end()) return Refusal::notFound;
        if (address != row->address && (row->otherAt == 0 || address != row->otherAddress)) return Refusal::conflict;
    }
    const Approval a = store.approve({waitingId}, limits.maxMachines, now, address);
    if (a.approved.empty() && a.refused.empty()) return Refusal::notFound;
    return logged(a, by);
}

Approval approveWaitingFrom(Store& store, const FleetLimits& limits, const IpNetwork& network, const std::string& by,
                            long long now)
{
    std::vector<long long> ids;
    for (const WaitingRow& w : store.waiting())
        if (inNetwork(network, w.address)) ids.push_back(w.id);
    return logged(store.approve(ids, limits.maxMachines, now), by);
}

} // namespace pelmora::server
