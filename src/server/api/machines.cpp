// The machines: the fleet, one machine, its history, its points and its
// changes of status; removing one, clearing or moving its pinned address,
// muting its alerts, approving waiting identities
// (machine_admin.h and admission.h do the work).
#include "server/fleet/admission.h"
#include "server/api/handlers.h"
#include "server/api/http_answers.h"
#include "server/fleet/machine_admin.h"
#include "server/fleet/points_history.h"

namespace pelmora::server {
namespace {

long long machineIn(const HttpRequest& req) { return std::stoll(req.matches[1].str()); }

} // namespace

// ?state=waiting: the identities waiting for approval instead.
void getMachines(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    if (given(req, "state")) {
        if (req.get_param_value("state") != "waiting") return fail(res, 400, "state may only be waiting");
        const AdminAnswer a = waitingList(api.store);
        return answer(res, a.status, a.body);
    }
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
    const AdminAnswer a = removeMachine(api.store, machineIn(req), "admin@" + req.remote_addr);
    answer(res, a.status, a.body);
}

void deleteMachineAddress(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    const AdminAnswer a = clearMachineAddress(api.store, machineIn(req), "admin@" + req.remote_addr, secondsNow());
    answer(res, a.status, a.body);
}

void putMachineAddress(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    const AdminAnswer a =
        moveMachineAddress(api.store, machineIn(req), req.body, "admin@" + req.remote_addr, secondsNow());
    answer(res, a.status, a.body);
}

void postMachineMute(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    const AdminAnswer a = muteMachine(api.store, machineIn(req), req.body, "admin@" + req.remote_addr, secondsNow());
    answer(res, a.status, a.body);
}

void deleteMachineMute(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    const AdminAnswer a = unmuteMachine(api.store, machineIn(req), "admin@" + req.remote_addr);
    answer(res, a.status, a.body);
}

void postApproveMachine(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    const AdminAnswer a =
        approveWaiting(api.store, api.bounds.limits, machineIn(req), req.body, "admin@" + req.remote_addr,
                       secondsNow());
    answer(res, a.status, a.body);
}

void postApproveMachines(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    const AdminAnswer a =
        approveWaitingFrom(api.store, api.bounds.limits, req.body, "admin@" + req.remote_addr, secondsNow());
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

// ?days=D
void getMachinePoints(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    long long days = 30;
    if (!pointsDays(req, days)) return fail(res, 400, pointsDaysError());
    PointsSubject subject;
    subject.kind = PointsKind::machine;
    subject.machineId = machineIn(req);
    const PointsAnswers::Answer a = api.points.answer(api.store, subject, days, secondsNow());
    res.status = a.status;
    res.set_content(*a.text, "application/json");
}

void getMachineEvents(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    const AdminAnswer a = statusEventsAnswer(api.store, machineIn(req));
    answer(res, a.status, a.body);
}

} // namespace pelmora::server
