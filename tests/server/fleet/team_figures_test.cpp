// The team's figures from machines in every status and the units submitted.
#include <gtest/gtest.h>

#include "server/fleet/json_shapes.h"
#include "server/fleet/team_figures.h"

using namespace pelmora::server;

namespace {
MachineRow machine(const std::string& user, int team, long long lastSeen, bool stopped = false)
{
    MachineRow m;
    m.user = user;
    m.team = team;
    m.points = 100;
    m.progress = 20;
    m.paceAt = 0; // from 10 % to 20 % in an hour: 240 points a day
    m.paceProgress = 10;
    m.changedAt = 3600;
    m.lastSeen = lastSeen;
    m.stopped = stopped;
    return m;
}
} // namespace

TEST(TeamFigures, SumsByTeamAndUserWithTheSubmittedUnits)
{
    const std::vector<MachineRow> machines = {
        machine("ann", 1, 3600), machine("ann", 1, 3600),
        machine("bob", 1, 3600 + 4000),  // stalled: reports, no step for over an hour
        machine("ann", 2, 0),            // offline
        machine("cy", 1, 3600, true),    // stopped: not counted
    };
    const std::vector<UserUnits> units = {{"ann", 1, 3, 300}, {"dee", 2, 1, 50}};
    const nlohmann::ordered_json got =
        teamFiguresJson(teamFigures(machines, units, 3600 + 4000, {5000, 3600}), 2);
    const nlohmann::ordered_json want = nlohmann::ordered_json::parse(R"({"days":2,
        "fleet":{"machines":4,"folding":2,"ppd":480,"units":4,"points":350,"submitted_ppd":175},
        "teams":[{"team":1,"machines":3,"folding":2,"ppd":480,"units":3,"points":300,"submitted_ppd":150},
                 {"team":2,"machines":1,"folding":0,"ppd":0,"units":1,"points":50,"submitted_ppd":25}],
        "users":[{"user":"ann","team":1,"machines":2,"folding":2,"ppd":480,"units":3,"points":300,"submitted_ppd":150},
                 {"user":"ann","team":2,"machines":1,"folding":0,"ppd":0,"units":0,"points":0,"submitted_ppd":0},
                 {"user":"bob","team":1,"machines":1,"folding":0,"ppd":0,"units":0,"points":0,"submitted_ppd":0},
                 {"user":"dee","team":2,"machines":0,"folding":0,"ppd":0,"units":1,"points":50,"submitted_ppd":25}]})");
    EXPECT_EQ(got, want) << got.dump(1);
}
