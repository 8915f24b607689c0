// The machines: the fleet, one machine, its history, its points and its
// changes of status; removing one, clearing or moving its pinned address,
// muting its alerts, approving waiting identities. admin_bodies.h reads
// the bodies; machine_admin.h and admission.h do the work.
#include "server/api/admin_bodies.h"
#include "server/api/handlers.h"
#include "server/api/http_answers.h"
#include "server/fleet/admission.h"
#include "server/fleet/machine_admin.h"
#include "server/fleet/points_history.h"

namespace pelmora::server {
namespace {

long long machineIn(const HttpRequest& req) { return std::stoll(req.matches[1].str()); }
std::string caller(const HttpRequest& req) { return "admin@" + req.remote_addr; }
std::string noMachine(long long id) { return "no machine " + std::to_string(id); }

// A refusal's status; WHY says what was refused.
void refuse(HttpResponse& res, Refusal refusal, const std::string& why)
{
    fail(res, refusal == Refusal::conflict ? 409 : 404, why);
}

// An approval's answer: 409 with the error beside it when some were
// refused over the cap on machines.
void approvalAnswer(HttpResponse& res, const Approval& a, const FleetLimits& limits)
{
    if (a.refused.empty()) return answer(res, 200, approvalJson(a));
    Json body = approvalJson(a);
    body["error"] = "the store holds the most machines allowed (--max-machines " +
                    std::to_string(limits.maxMachines) + "): remove machines or raise the cap";
    answer(res, 409, body);
}

} // namespace

// ?state=waiting: the identities waiting for approval instead.
void getMachines(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    if (given(req, "state")) {
        if (req.get_param_value("state") != "waiting") return fail(res, 400, "state may only be waiting");
        return answer(res, 200, listJson("waiting", api.store.waiting(), waitingJson));
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
    const long long id = machineIn(req);
    const Outcome<MachineRow> removed = removeMachine(api.store, id, caller(req));
    if (!removed) return refuse(res, removed.refusal(), noMachine(id));
    answer(res, 200, removedMachineJson(id, *removed));
}

void deleteMachineAddress(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    const long long id = machineIn(req);
    const Outcome<std::string> cleared = clearMachineAddress(api.store, id, caller(req), secondsNow());
    if (!cleared) return refuse(res, cleared.refusal(), noMachine(id));
    answer(res, 200, clearedAddressJson(id, *cleared));
}

// {"address": "A"}
void putMachineAddress(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    const BodyRead<std::string> address = readAddressBody(req.body);
    if (!address.value) return fail(res, 400, address.error);
    const long long id = machineIn(req);
    const Outcome<std::string> before = moveMachineAddress(api.store, id, *address.value, caller(req), secondsNow());
    if (!before) return refuse(res, before.refusal(), noMachine(id));
    answer(res, 200, movedAddressJson(id, *address.value, *before));
}

void postMachineMute(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    const BodyRead<long long> minutes = readMuteBody(req.body);
    if (!minutes.value) return fail(res, 400, minutes.error);
    const long long id = machineIn(req);
    const Outcome<long long> until = muteMachine(api.store, id, *minutes.value, caller(req), secondsNow());
    if (!until) return refuse(res, until.refusal(), noMachine(id));
    answer(res, 200, muteJson(id, *until));
}

void deleteMachineMute(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    const long long id = machineIn(req);
    const Outcome<long long> until = unmuteMachine(api.store, id, caller(req));
    if (!until) return refuse(res, until.refusal(), noMachine(id));
    answer(res, 200, muteJson(id, *until));
}

// Empty, {} or {"address": "A"}: A its address or its other sender's.
void postApproveMachine(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    const BodyRead<std::string> chosen = readApprovalBody(req.body);
    if (!chosen.value) return fail(res, 400, chosen.error);
    const std::string& address = *chosen.value;
    const long long id = machineIn(req);
    const Outcome<Approval> a = approveWaiting(api.store, api.bounds.limits, id, address, caller(req), secondsNow());
    if (!a)
        return refuse(res, a.refusal(),
                      a.refusal() == Refusal::conflict
                          ? "waiting identity " + std::to_string(id) + " was not seen from " + address
                          : "no waiting identity " + std::to_string(id));
    approvalAnswer(res, *a, api.bounds.limits);
}

// {"address": "A"} or {"network": "A/N"}
void postApproveMachines(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    const BodyRead<IpNetwork> network = readApprovalFromBody(req.body);
    if (!network.value) return fail(res, 400, network.error);
    approvalAnswer(res, approveWaitingFrom(api.store, api.bounds.limits, *network.value, caller(req), secondsNow()),
                   api.bounds.limits);
}

// ?hours=H&points=P
void getMachineHistory(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    long long hours = 24, points = 0;
    // Asking for more than the longest span gives that span.
    if (!queryNumber(req, "hours", 1, 24 * 3650, hours))
        return fail(res, 400, "hours must be a whole number from 1 to " + std::to_string(24 * 3650));
    if (!queryNumber(req, "points", 2, 10000, points)) return fail(res, 400, "points must be from 2 to 10000");
    const long long id = machineIn(req);
    const Outcome<MachineHistory> h = machineHistory(api.store, api.bounds.limits, id, hours, points, secondsNow());
    if (!h) return refuse(res, h.refusal(), noMachine(id));
    answer(res, 200, historyJson(h->hours, h->reports, h->before));
}

// ?days=D
void getMachinePoints(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    long long days = 30;
    if (!pointsDays(req, days)) return fail(res, 400, pointsDaysError());
    PointsSubject subject;
    subject.kind = PointsKind::machine;
    subject.machineId = machineIn(req);
    const std::shared_ptr<const std::string> text = api.points.answer(api.store, subject, days, secondsNow());
    if (!text) return fail(res, 404, noMachine(subject.machineId));
    res.set_content(*text, "application/json");
}

void getMachineEvents(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    const long long id = machineIn(req);
    const Outcome<std::vector<StatusEvent>> events = machineStatusEvents(api.store, id);
    if (!events) return refuse(res, events.refusal(), noMachine(id));
    answer(res, 200, statusEventsJson(*events));
}

} // namespace pelmora::server
