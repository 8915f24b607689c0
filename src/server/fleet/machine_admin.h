// What the API does to machines beyond showing them, as plain functions on
// values the API has read from the request: removing a machine, clearing
// its pinned address, muting it, its bounded history; and the hourly
// forgetting of machines that went silent. Each logs what it did.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "server/fleet/outcome.h"
#include "server/support/fleet_bounds.h"
#include "server/store/store.h"

namespace pelmora::server {

// The machine, its reports, commands and alerts; the row removed. BY names the caller for the log.
Outcome<MachineRow> removeMachine(Store& store, long long id, const std::string& by);
// Its next record's address becomes its own (with --pin-addresses); the address it had, "" for none.
Outcome<std::string> clearMachineAddress(Store& store, long long id, const std::string& by, long long now);
// No alert is raised for it until NOW plus MINUTES (from 1 to kMuteMostMinutes,
// the caller's to check); the mute's end. Unmuting ends it now: 0.
constexpr long long kMuteMostMinutes = 7 * 24 * 60;
Outcome<long long> muteMachine(Store& store, long long id, long long minutes, const std::string& by, long long now);
Outcome<long long> unmuteMachine(Store& store, long long id, const std::string& by);

// A machine's reports over its last HOURS (at most the limits' span) and
// at most POINTS of them (0: not given; at most the limits' rows). History
// keeps changes only, so a span may hold few rows or none: BEFORE, the last
// report before the span, gives its start.
struct MachineHistory {
    long long hours = 0; // the span given
    std::vector<ReportRow> reports;
    std::optional<ReportRow> before;
};
Outcome<MachineHistory> machineHistory(Store& store, const FleetLimits& limits, long long id, long long hours,
                                       long long points, long long now);

// Removes the machines silent for the limits' days; the number removed.
long long forgetSilentMachines(Store& store, const FleetLimits& limits, long long now);

} // namespace pelmora::server
