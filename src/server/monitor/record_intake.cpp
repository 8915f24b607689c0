#include "server/monitor/record_intake.h"

#include "server/support/log.h"

namespace pelmora::server {

ExchangeResult takeRecord(Store& store, FleetBounds* bounds, Counters& counters, const MonitorRecord& r,
                          const std::string& peer, long long now, const Taking& taking)
{
    ExchangeRules rules;
    rules.address = peer;
    rules.givesCommand = !taking.writtenBack;
    if (bounds) {
        rules.pinAddresses = bounds->limits.pinAddresses;
        rules.maxMachines = bounds->limits.maxMachines;
        rules.mayAddMachine = taking.rateTaken || bounds->newMachines.available(peer);
        rules.byApproval = bounds->limits.byApproval;
        rules.maxWaiting = bounds->limits.maxWaiting;
    }
    const ExchangeResult result = store.recordReport(r, now, rules);
    const std::string who = r.computerName + " CPU# " + std::to_string(r.cpu);
    if (result.waiting) { // its address's rate bounds how fast it churns the waiting list
        if (result.newMachine && bounds && !taking.rateTaken) bounds->newMachines.take(peer);
        if (result.newMachine)
            logRepeated(Level::info, Repeat::noise, "new identity waits", peer,
                        "new identity " + who + " from " + peer + " waits for approval (waiting id " +
                            std::to_string(result.waitingId) + ")");
        return result;
    }
    if (result.refused) {
        if (result.machineId != 0)
            ++counters.recordsRefusedAddress;
        else if (!rules.mayAddMachine)
            ++counters.machinesRefusedRate;
        else
            ++counters.machinesRefusedCap;
        // The trace's lines: each machine and address, or each address
        // inventing machines, has its own first line a minute (log.h).
        const std::string subject = (result.machineId != 0 ? std::to_string(result.machineId) + " at " : "") + peer;
        logRepeated(Level::warn, Repeat::trace, std::string("record refused: ") + result.refused, subject,
                    "record of " + who + " from " + peer + " refused: " + result.refused +
                   (result.machineId != 0 ? ", " + result.oldAddress : ""));
        return result;
    }
    if (result.newMachine && bounds && !taking.rateTaken) bounds->newMachines.take(peer);
    if (result.addressChanged)
        logRepeated(Level::warn, Repeat::trace, "address changed", std::to_string(result.machineId) + " at " + peer,
                    who + " (id " + std::to_string(result.machineId) + ") now reports from " + peer +
                        ", before from " + result.oldAddress);
    return result;
}

} // namespace pelmora::server
