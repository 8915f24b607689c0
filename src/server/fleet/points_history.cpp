#include "server/fleet/points_history.h"

#include <algorithm>

#include "server/fleet/team_figures.h"
#include "server/support/defaults.h"

namespace pelmora::server {

std::vector<PointsSample> pointsSamples(const std::vector<MachineRow>& machines, long long now,
                                        const StatusLimits& limits)
{
    const TeamFigures figures = teamFigures(machines, {}, now, limits);
    std::vector<PointsSample> out;
    out.push_back({{}, figures.fleet.pointsPerDay});
    for (const auto& [key, figure] : figures.users)
        if (figure.pointsPerDay > 0)
            out.push_back({{PointsKind::user, key.first, key.second, 0}, figure.pointsPerDay});
    for (const MachineRow& m : machines) {
        if (m.stopped) continue;
        const long long ppd = machineStatus(m, now, limits).pointsPerDay.value_or(0);
        if (ppd > 0) out.push_back({{PointsKind::machine, "", 0, m.id}, ppd});
    }
    return out;
}

bool samplePointsHourly(Store& store, long long now, const StatusLimits& limits)
{
    // A fresh store's first hour is sampled once its first machine is in, not at the server's start.
    const std::vector<MachineRow> machines = store.machines();
    if (machines.empty()) return false;
    store.samplePoints(now / 3600 * 3600, pointsSamples(machines, now, limits));
    return true;
}

AdminAnswer pointsHistoryAnswer(Store& store, const PointsSubject& subject, long long days, long long now,
                                const StatusLimits& limits)
{
    std::vector<MachineRow> machines = store.machines();
    if (subject.kind == PointsKind::machine) {
        machines.erase(std::remove_if(machines.begin(), machines.end(),
                                      [&](const MachineRow& m) { return m.id != subject.machineId; }),
                       machines.end());
        if (machines.empty()) return {404, errorJson("no machine " + std::to_string(subject.machineId))};
    }
    const TeamFigures figures = teamFigures(machines, {}, now, limits);
    long long current = figures.fleet.pointsPerDay;
    if (subject.kind == PointsKind::user) {
        const auto found = figures.users.find({subject.user, subject.team});
        current = found == figures.users.end() ? 0 : found->second.pointsPerDay;
    }
    const long long today = now / 86400;
    return {200, pointsHistoryJson(store.pointsHistory(subject, today - days + 1, today), days, current)};
}

AdminAnswer statusEventsAnswer(Store& store, long long machineId)
{
    if (!store.machineExists(machineId)) return {404, errorJson("no machine " + std::to_string(machineId))};
    return {200, statusEventsJson(store.statusEvents(machineId, defaults::kStatusEventsKept))};
}

} // namespace pelmora::server
