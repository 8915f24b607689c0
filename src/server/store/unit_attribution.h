// Which machine a submitted unit is credited to, decided here so that every
// store credits the same one. The submission names the unit (its first 35
// characters) but not the machine: the reports say which machine folded it,
// with which points and core. The monitor submits before it reports its
// next unit, so the unit is a machine's current one or, after a report, its
// previous. Several machines may have folded a unit of that name (a copied
// client directory): the one at the submitting address, then one of its
// user and team, then one whose count of units agrees, then the one seen
// last, then the lowest id.
#pragma once

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "server/store/rows.h"

namespace pelmora::server {

// A machine whose current or previous unit has the submitted unit's name.
struct UnitCandidate {
    long long id = 0;
    bool isCurrent = false; // the current unit (else the previous)
    int points = 0;         // for that unit
    std::string core;       // likewise ('' unknown)
    std::string address, user;
    int team = 0, unitsSeen = 0;
    long long lastSeen = 0;
};

inline std::optional<UnitCandidate> creditedMachine(const std::vector<UnitCandidate>& candidates,
                                                    const UnitSubmission& u, const std::string& peer)
{
    // Larger is better. The unit's WU# is the count the monitor submits; a new unit has the next.
    const auto rank = [&](const UnitCandidate& c) {
        return std::make_tuple(c.address == peer, c.user == u.user && c.team == u.team,
                               c.unitsSeen == u.wucount + 1 - (c.isCurrent ? 1 : 0), c.lastSeen, -c.id);
    };
    const UnitCandidate* best = nullptr;
    for (const UnitCandidate& c : candidates)
        if (!best || rank(c) > rank(*best)) best = &c;
    if (!best) return std::nullopt;
    return *best;
}

} // namespace pelmora::server
