#include "server/monitor/record_intake.h"

#include <unordered_map>

#include "server/support/ip_address.h"
#include "server/support/log.h"

namespace pelmora::server {
namespace {

ExchangeRules rulesFor(FleetBounds* bounds, const std::string& peer, const Taking& taking, bool rateLeft)
{
    ExchangeRules rules;
    rules.address = peer;
    rules.givesCommand = !taking.writtenBack;
    if (bounds) {
        rules.pinAddresses = bounds->limits.pinAddresses;
        rules.maxMachines = bounds->limits.maxMachines;
        rules.mayAddMachine = taking.rateTaken || rateLeft;
        rules.byApproval = bounds->limits.byApproval;
        rules.maxWaiting = bounds->limits.maxWaiting;
    }
    return rules;
}

// What the store did with a record: a new machine's place in its address's
// rate taken, refusals counted, the trace's lines.
void noteResult(FleetBounds* bounds, Counters& counters, const MonitorRecord& r, const std::string& peer,
                const ExchangeRules& rules, const Taking& taking, const ExchangeResult& result)
{
    const std::string who = r.computerName + " CPU# " + std::to_string(r.cpu);
    if (result.waiting) { // its address's rate bounds how fast it churns the waiting list
        if (result.newMachine && bounds && !taking.rateTaken) bounds->newMachines.take(peer);
        if (result.newMachine)
            logRepeated(Level::info, Repeat::noise, "new identity waits", peer,
                        "new identity " + who + " from " + peer + " waits for approval (waiting id " +
                            std::to_string(result.waitingId) + ")");
        else if (result.addressChanged) // noted beside the row, which stays its first sender's
            logRepeated(Level::warn, Repeat::trace, "waiting identity sent by another", peer,
                        "waiting identity " + who + " (waiting id " + std::to_string(result.waitingId) +
                            ") sent from " + peer + ", first from " + result.oldAddress + ": noted, not taken");
        return;
    }
    if (result.refused) {
        if (result.machineId != 0)
            ++counters.recordsRefusedAddress;
        else if (!rules.mayAddMachine)
            ++counters.machinesRefusedRate;
        else
            ++counters.machinesRefusedCap;
        // The trace's lines: each machine and address, or each address
        // (an IPv6 one's /64) inventing machines, has its own first line a
        // minute (log.h).
        const std::string subject =
            result.machineId != 0 ? std::to_string(result.machineId) + " at " + peer : addressKey(peer);
        logRepeated(Level::warn, Repeat::trace, std::string("record refused: ") + result.refused, subject,
                    "record of " + who + " from " + peer + " refused: " + result.refused +
                   (result.machineId != 0 ? ", " + result.oldAddress : ""));
        return;
    }
    if (result.newMachine && bounds && !taking.rateTaken) bounds->newMachines.take(peer);
    if (result.addressChanged)
        logRepeated(Level::warn, Repeat::trace, "address changed", std::to_string(result.machineId) + " at " + peer,
                    who + " (id " + std::to_string(result.machineId) + ") now reports from " + peer +
                        ", before from " + result.oldAddress);
}

} // namespace

ExchangeResult takeRecord(Store& store, FleetBounds* bounds, Counters& counters, const MonitorRecord& r,
                          const std::string& peer, long long now, const Taking& taking)
{
    const ExchangeRules rules = rulesFor(bounds, peer, taking, bounds && bounds->newMachines.available(peer));
    const ExchangeResult result = store.recordReport(r, now, rules);
    noteResult(bounds, counters, r, peer, rules, taking, result);
    return result;
}

void takeRecords(Store& store, FleetBounds* bounds, Counters& counters, const std::vector<IncomingRecord>& records,
                 std::vector<ExchangeResult>& results, const Taking& taking)
{
    results.clear();
    results.reserve(records.size());
    std::vector<ReportWrite> group;
    while (results.size() < records.size()) {
        // Each record from an address may be a new machine: one that would
        // need more of its rate than is left waits for the next transaction,
        // after the ones before it took theirs. An address with none left
        // adds nothing in this one.
        group.clear();
        std::unordered_map<std::string, int> fromPeer;
        for (std::size_t i = results.size(); i < records.size(); ++i) {
            const IncomingRecord& in = records[i];
            bool rateLeft = false;
            if (bounds && !taking.rateTaken) {
                const int many = ++fromPeer[addressKey(in.peer)]; // the rate's key
                rateLeft = bounds->newMachines.available(in.peer, RateLimit::Clock::now(), many);
                if (!rateLeft && many > 1 && bounds->newMachines.available(in.peer)) break;
            }
            group.push_back({in.record, in.now, rulesFor(bounds, in.peer, taking, rateLeft)});
        }
        const std::vector<ExchangeResult> written = store.recordReports(group);
        for (std::size_t i = 0; i < written.size(); ++i) {
            const IncomingRecord& in = records[results.size()];
            noteResult(bounds, counters, in.record, in.peer, group[i].rules, taking, written[i]);
            results.push_back(written[i]);
        }
    }
}

} // namespace pelmora::server
