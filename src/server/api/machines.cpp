// The machines: the fleet, one machine, its history; removing one and
// clearing its pinned address (machine_admin.h does the work).
#include "server/api/handlers.h"
#include "server/api/http_answers.h"
#include "server/machine_admin.h"

namespace pelmora::server {
namespace {

long long machineIn(const HttpRequest& req) { return std::stoll(req.matches[1].str()); }

} // namespace

void getMachines(ApiContext& api, const HttpRequest&, HttpResponse& res)
{
    res.set_content(api.fleet.list(secondsNow()), "application/json");
}

void getMachine(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    const std::optional<std::string> text = api.fleet.machineJson(machineIn(req), secondsNow());
    if (!text) return fail(res, 404, "no machine " + req.matches[1].str());
    res.set_content(*text, "application/json");
}

void deleteMachine(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    const AdminAnswer a = removeMachine(api.store, api.slots, machineIn(req), "admin@" + req.remote_addr);
    answer(res, a.status, a.body);
}

void deleteMachineAddress(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    const AdminAnswer a = clearMachineAddress(api.store, machineIn(req), "admin@" + req.remote_addr, secondsNow());
    answer(res, a.status, a.body);
}

// ?hours=H&points=P
void getMachineHistory(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    long long hours = 24, points = 0;
    // Asking for more than the longest span gives that span.
    if (!queryNumber(req, "hours", 1, 24 * 3650, hours))
        return fail(res, 400, "hours must be a whole number from 1 to " + std::to_string(24 * 3650));
    if (!queryNumber(req, "points", 2, 10000, points)) return fail(res, 400, "points must be from 2 to 10000");
    const AdminAnswer a = machineHistory(api.store, api.bounds.limits, machineIn(req), hours, points, secondsNow());
    answer(res, a.status, a.body);
}

} // namespace pelmora::server
