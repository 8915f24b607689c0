// The units the monitors submitted: listed, by processor and by day.
#include <cstdint>

#include "server/api/handlers.h"
#include "server/fleet/json_shapes.h"
#include "server/api/http_answers.h"

namespace pelmora::server {

// ?user=&team=&machine=&machine_id=&limit=
void getUnits(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    UnitFilter filter;
    long long team = 0, machine = 0, machineId = 0, limit = 100;
    if (!queryNumber(req, "team", INT32_MIN, INT32_MAX, team)) return fail(res, 400, "team must be a whole number");
    if (!queryNumber(req, "machine", INT32_MIN, INT32_MAX, machine))
        return fail(res, 400, "machine must be a whole number");
    if (!queryNumber(req, "machine_id", 1, INT64_MAX, machineId))
        return fail(res, 400, "machine_id must be a machine's id");
    if (!queryNumber(req, "limit", 1, 1000, limit)) return fail(res, 400, "limit must be from 1 to 1000");
    if (given(req, "user")) filter.user = req.get_param_value("user");
    if (given(req, "machine_id")) filter.machineId = machineId;
    if (given(req, "team")) filter.team = static_cast<int>(team);
    if (given(req, "machine")) filter.machine = static_cast<int>(machine);
    filter.limit = static_cast<int>(limit);
    answer(res, 200, listJson("units", api.store.units(filter), unitJson));
}

void getCpus(ApiContext& api, const HttpRequest&, HttpResponse& res)
{
    answer(res, 200, listJson("cpus", api.store.cpus(), cpuJson));
}

// ?days=30: whole days, from the start of the first one.
void getSummary(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    long long days = 30;
    if (!queryNumber(req, "days", 1, 3650, days)) return fail(res, 400, "days must be from 1 to 3650");
    const long long since = (secondsNow() / 86400 - (days - 1)) * 86400;
    answer(res, 200, listJson("days", api.store.summary(since), daySummaryJson));
}

} // namespace pelmora::server
