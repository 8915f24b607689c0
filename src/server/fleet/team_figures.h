// What the team produces: for the whole fleet, each team and each user (a
// user name in a team), the machines that report, how many fold, the sum of
// their points-per-day estimates, and what the submitted units earned.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "server/fleet/machine_status.h"
#include "server/store/store.h"

namespace pelmora::server {

struct Figure {
    long long machines = 0; // known and not stopped, whatever they submit
    long long folding = 0;
    long long pointsPerDay = 0; // the machines' estimates, summed
    long long units = 0, points = 0; // submitted
};

struct TeamFigures {
    Figure fleet;
    std::map<int, Figure> teams;
    std::map<std::pair<std::string, int>, Figure> users; // by user name and team
};

// UNITS: the submitted units to count, by user (Store::unitsByUser).
TeamFigures teamFigures(const std::vector<MachineRow>& machines, const std::vector<UserUnits>& units, long long now,
                        const StatusLimits& limits);

} // namespace pelmora::server
