// How far one sender, or the whole fleet, may grow the store: the options
// and the per-address limits, shared by both listeners and the upkeep.
#pragma once

#include "server/support/defaults.h"
#include "server/support/rate_limit.h"

namespace pelmora::server {

struct FleetLimits {
    long long maxMachines = defaults::kMaxMachines;
    int forgetAfterDays = defaults::kForgetAfterDays; // 0: never
    bool pinAddresses = defaults::kPinAddresses;
    int historyMaxRows = defaults::kHistoryMaxRows; // reports in one history answer
    int historyMaxDays = defaults::kHistoryMaxDays; // the span one history answer may ask for
    int newMachinesPerHour = defaults::kNewMachinesPerHour; // per source address
    int unitsPerHour = defaults::kUnitsPerHour;             // per source address
    long historyResolution = defaults::kHistoryResolutionSeconds; // at most two history rows a machine a step
    long long maxStoreBytes = defaults::kMaxStoreBytes; // past it the oldest history is thinned
    bool byApproval = false; // --admission approve
    long long maxWaiting = defaults::kMaxWaiting;
};

struct FleetBounds {
    explicit FleetBounds(const FleetLimits& l) : limits(l), newMachines(l.newMachinesPerHour), units(l.unitsPerHour) {}
    const FleetLimits limits;
    RateLimit newMachines, units;
};

} // namespace pelmora::server
