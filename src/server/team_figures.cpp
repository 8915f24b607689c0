#include "server/team_figures.h"

#include <algorithm>
#include <cmath>

namespace pelmora_server {
namespace {

using nlohmann::ordered_json;

void addTo(ordered_json& row, const Figure& f, int days)
{
    row["machines"] = f.machines;
    row["folding"] = f.folding;
    row["ppd"] = f.pointsPerDay;
    row["units"] = f.units;
    row["points"] = f.points;
    row["submitted_ppd"] = std::llround(static_cast<double>(f.points) / days);
}

} // namespace

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

ordered_json teamFiguresJson(const TeamFigures& figures, int days)
{
    std::vector<std::pair<int, const Figure*>> teams;
    for (const auto& [team, f] : figures.teams) teams.emplace_back(team, &f);
    std::stable_sort(teams.begin(), teams.end(), [](const auto& a, const auto& b) {
        return a.second->pointsPerDay > b.second->pointsPerDay; // the map gave them by number
    });
    std::vector<std::pair<const std::pair<std::string, int>*, const Figure*>> users;
    for (const auto& [key, f] : figures.users) users.emplace_back(&key, &f);
    std::stable_sort(users.begin(), users.end(), [](const auto& a, const auto& b) {
        return a.second->pointsPerDay > b.second->pointsPerDay; // the map gave them by name, then team
    });

    ordered_json out;
    out["days"] = days;
    addTo(out["fleet"], figures.fleet, days);
    out["teams"] = ordered_json::array();
    for (const auto& [team, f] : teams) {
        ordered_json row;
        row["team"] = team;
        addTo(row, *f, days);
        out["teams"].push_back(std::move(row));
    }
    out["users"] = ordered_json::array();
    for (const auto& [key, f] : users) {
        ordered_json row;
        row["user"] = key->first;
        row["team"] = key->second;
        addTo(row, *f, days);
        out["users"].push_back(std::move(row));
    }
    return out;
}

std::string teamReport(Store& store, const StatusLimits& limits, int days, long long now)
{
    const TeamFigures figures = teamFigures(store.machines(), store.unitsByUser(now - days * 86400LL), now, limits);
    return teamFiguresJson(figures, days).dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

} // namespace pelmora_server
