// A monitor's record into the store under the fleet's bounds: a new
// identity only within the cap and its address's rate, a known machine's
// record only from its own address when addresses are pinned. Refusals are
// counted and logged (a line a second at most); a change of a machine's
// address is logged.
#pragma once

#include <string>
#include <vector>

#include "server/support/counters.h"
#include "server/support/fleet_bounds.h"
#include "server/monitor/record.h"
#include "server/store/store.h"

namespace pelmora::server {

// How a record is taken: at once, its monitor given its command; or written
// back after the store came back (its monitor had "nothing to do"), a new
// identity's place in its address's rate taken already when it was kept.
struct Taking {
    bool writtenBack = false;
    bool rateTaken = false;
};

// BOUNDS may be null: no bounds. Throws what the store throws.
ExchangeResult takeRecord(Store& store, FleetBounds* bounds, Counters& counters, const MonitorRecord& record,
                          const std::string& peer, long long now, const Taking& taking = {});

// A record that came with others, from PEER at NOW.
struct IncomingRecord {
    MonitorRecord record;
    std::string peer;
    long long now = 0;
};

// Records that came together, each taken as takeRecord takes it, in their
// order, in as few transactions as the rate of new machines allows (one,
// unless an address is about to run out: its records past what it has
// left wait for the next). RESULTS gets each record's result as its
// transaction commits; on a throw, those past RESULTS are not written.
// TAKING: how every one of them is taken.
void takeRecords(Store& store, FleetBounds* bounds, Counters& counters, const std::vector<IncomingRecord>& records,
                 std::vector<ExchangeResult>& results, const Taking& taking = {});

} // namespace pelmora::server
