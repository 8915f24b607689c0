// GET /api/team?days=30: the team's figures, the units of the last DAYS days;
// GET /api/team/points: the fleet's or one user's points history.
#include <cstdint>

#include "server/api/handlers.h"
#include "server/fleet/json_shapes.h"
#include "server/api/http_answers.h"
#include "server/fleet/points_history.h"
#include "server/fleet/team_figures.h"

namespace pelmora::server {

void getTeam(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    long long days = 30;
    if (!queryNumber(req, "days", 1, 365, days)) return fail(res, 400, "days must be from 1 to 365");
    const long long now = secondsNow();
    const TeamFigures figures = teamFigures(api.store.machines(), api.store.unitsByUser(now - days * 86400LL), now, api.limits);
    answer(res, 200, teamFiguresJson(figures, static_cast<int>(days)));
}

// ?days=D, and &user=NAME&team=N for a user's.
void getTeamPoints(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    long long days = 30, team = 0;
    if (!pointsDays(req, days)) return fail(res, 400, pointsDaysError());
    PointsSubject subject;
    if (req.has_param("user") || req.has_param("team")) {
        if (!given(req, "team") || !queryNumber(req, "team", INT32_MIN, INT32_MAX, team))
            return fail(res, 400, "a user's history needs its team, a whole number");
        subject.kind = PointsKind::user;
        subject.user = req.get_param_value("user");
        subject.team = static_cast<int>(team);
    }
    res.set_content(*api.points.answer(api.store, subject, days, secondsNow()), "application/json");
}

} // namespace pelmora::server
