// GET /api/team?days=30: the team's figures, the units of the last DAYS days.
#include "server/api/handlers.h"
#include "server/fleet/json_shapes.h"
#include "server/api/http_answers.h"
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

} // namespace pelmora::server
