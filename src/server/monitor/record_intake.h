// A monitor's record into the store under the fleet's bounds: a new
// identity only within the cap and its address's rate, a known machine's
// record only from its own address when addresses are pinned. Refusals are
// counted and logged (a line a second at most); a change of a machine's
// address is logged.
#pragma once

#include <string>

#include "server/support/counters.h"
#include "server/support/fleet_bounds.h"
#include "server/monitor/record.h"
#include "server/store/store.h"

namespace pelmora::server {

// BOUNDS may be null: no bounds. Throws what the store throws.
ExchangeResult takeRecord(Store& store, FleetBounds* bounds, Counters& counters, const MonitorRecord& record,
                          const std::string& peer, long long now);

} // namespace pelmora::server
