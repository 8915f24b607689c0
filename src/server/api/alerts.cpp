// GET /api/alerts?limit=100&active=1&machine=ID, newest first.
#include <cstdint>

#include "server/api/handlers.h"
#include "server/fleet/json_shapes.h"
#include "server/api/http_answers.h"

namespace pelmora::server {

void getAlerts(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    long long limit = 100, active = 0, machine = 0;
    if (!queryNumber(req, "limit", 1, 1000, limit)) return fail(res, 400, "limit must be from 1 to 1000");
    if (!queryNumber(req, "active", 0, 1, active)) return fail(res, 400, "active must be 0 or 1");
    if (!queryNumber(req, "machine", 1, INT64_MAX, machine)) return fail(res, 400, "machine must be a machine's id");
    answer(res, 200, listJson("alerts", api.store.alerts({active == 1, machine, static_cast<int>(limit)}), alertJson));
}

} // namespace pelmora::server
