#include "server/record_intake.h"

#include <atomic>
#include <ctime>

#include "server/log.h"

namespace pelmora::server {
namespace {

// A flood of refusals makes one log line a second, with the count since.
void logRefusal(const std::string& text)
{
    static std::atomic<long long> lastSecond{0}, unlogged{0};
    const long long second = std::time(nullptr);
    long long last = lastSecond;
    if (second == last || !lastSecond.compare_exchange_strong(last, second)) {
        ++unlogged;
        return;
    }
    const long long more = unlogged.exchange(0);
    logEvent(Level::warn, text + (more > 0 ? " (and " + std::to_string(more) + " more refused before)" : ""));
}

} // namespace

ExchangeResult takeRecord(Store& store, FleetBounds* bounds, Counters& counters, const MonitorRecord& r,
                          const std::string& peer, long long now)
{
    ExchangeRules rules;
    rules.address = peer;
    if (bounds) {
        rules.pinAddresses = bounds->limits.pinAddresses;
        rules.maxMachines = bounds->limits.maxMachines;
        rules.mayAddMachine = bounds->newMachines.available(peer);
        rules.byApproval = bounds->limits.byApproval;
        rules.maxWaiting = bounds->limits.maxWaiting;
    }
    const ExchangeResult result = store.recordReport(r, now, rules);
    const std::string who = r.computerName + " CPU# " + std::to_string(r.cpu);
    if (result.waiting) { // its address's rate bounds how fast it churns the waiting list
        if (result.newMachine && bounds) bounds->newMachines.take(peer);
        if (result.newMachine)
            logRefusal("new identity " + who + " from " + peer + " waits for approval (waiting id " +
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
        logRefusal("record of " + who + " from " + peer + " refused: " + result.refused +
                   (result.machineId != 0 ? ", " + result.oldAddress : ""));
        return result;
    }
    if (result.newMachine && bounds) bounds->newMachines.take(peer);
    if (result.addressChanged)
        logEvent(Level::warn, who + " (id " + std::to_string(result.machineId) + ") now reports from " + peer +
                                  ", before from " + result.oldAddress);
    return result;
}

} // namespace pelmora::server
