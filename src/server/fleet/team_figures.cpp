#include "server/fleet/team_figures.h"

namespace pelmora::server {

TeamFigures teamFigures(const std::vector<MachineRow>& machines, const std::vector<UserUnits>& units, long long now,
                        const StatusLimits& limits)
{
    TeamFigures out;
    for (const MachineRow& m : machines) {
        if (m.stopped) continue;
        const MachineStatus s = machineStatus(m, now, limits);
        const bool folding = s.status[0] == 'f';
        const long long ppd = s.pointsPerDay.value_or(0);
        for (Figure* f : {&out.fleet, &out.teams[m.team], &out.users[{m.user, m.team}]}) {
            ++f->machines;
            f->folding += folding ? 1 : 0;
            f->pointsPerDay += ppd;
        }
    }
    for (const UserUnits& u : units)
        for (Figure* f : {&out.fleet, &out.teams[u.team], &out.users[{u.user, u.team}]}) {
            f->units += u.units;
            f->points += u.points;
        }
    return out;
}

} // namespace pelmora::server
