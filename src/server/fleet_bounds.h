// How far one sender, or the whole fleet, may grow the store: the options
// and the per-address limits, shared by both listeners and the upkeep.
#pragma once

#include "server/rate_limit.h"

namespace pelmora_server {

struct FleetLimits {
    long long maxMachines = 10000;
    int forgetAfterDays = 90;      // 0: never
    bool pinAddresses = false;
    int historyMaxRows = 10000;    // reports in one history answer
    int historyMaxDays = 31;       // the span one history answer may ask for
    int newMachinesPerHour = 100;  // per source address
    int unitsPerHour = 120;        // per source address
};

struct FleetBounds {
    explicit FleetBounds(const FleetLimits& l) : limits(l), newMachines(l.newMachinesPerHour), units(l.unitsPerHour) {}
    const FleetLimits limits;
    RateLimit newMachines, units;
};

} // namespace pelmora_server
