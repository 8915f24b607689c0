// Every JSON body the server sends, in one place: what the API answers,
// the event stream's messages and the webhook's alert. All are ordered
// objects whose keys are written in the order they go out on the wire, so
// the order here is the order clients see.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "server/support/iso_time.h"
#include "server/fleet/machine_status.h"
#include "server/store/store.h"
#include "server/fleet/team_figures.h"

namespace pelmora::server {

using Json = nlohmann::ordered_json;

// The text of BODY on one line; text that is not UTF-8 is replaced, not thrown on.
std::string jsonText(const Json& body);

// {KEY: [SHAPE(row), ...]}
template <typename Row, typename Shape>
Json listJson(const char* key, const std::vector<Row>& rows, Shape shape)
{
    Json list = Json::array();
    for (const Row& row : rows) list.push_back(shape(row));
    return Json{{key, std::move(list)}};
}

// {"error": REASON}
Json errorJson(const std::string& reason);

// One machine as the fleet list, the machine's page and the event stream show it.
Json machineJson(const MachineRow& machine, const MachineStatus& status);
// {"cancelled_at", ..., "status"}: a command and what became of it.
Json commandJson(const CommandRow& command);
// A submitted unit, with the machine it came from when known.
Json unitJson(const UnitRow& unit);
Json cpuJson(const CpuSummary& cpu);
Json daySummaryJson(const DayUserSummary& day);
// {"hours": HOURS, "reports": [...]}: a machine's history over its last HOURS.
// BEFORE: the last report before the span, whose values it begins with.
Json historyJson(long long hours, const std::vector<ReportRow>& reports, const std::optional<ReportRow>& before);
// {"current_ppd","daily":[{"day":"YYYY-MM-DD","estimated_ppd","points","units"}],"days","hourly":[{"at","ppd"}]}:
// a points history over DAYS days and the estimate now; estimated_ppd null on a day without a sample.
Json pointsHistoryJson(const PointsHistory& history, long long days, long long currentPpd);
// {"events":[{"at","status","until"}]}, newest first: until is when the next began, null for the last.
Json statusEventsJson(const std::vector<StatusEvent>& newestFirst);
// {"id","machine_id","machine":"NAME/CPU","kind","raised_at","resolved_at"}, resolved_at null while open.
Json alertJson(const AlertRow& alert);
// The answers to removing a machine and clearing its pinned address.
Json removedMachineJson(long long id, const MachineRow& removed);
Json clearedAddressJson(long long id, const std::string& address);
Json movedAddressJson(long long id, const std::string& address, const std::string& before);
// {"id","muted_until"}: UNTIL 0 (not muted) as null.
Json muteJson(long long id, long long until);
// An identity waiting for approval, and what approving some did.
Json waitingJson(const WaitingRow& waiting);
Json approvalJson(const Approval& approval);
// {"csrf","role","signed_in","viewer_token_required"}: the first two null when not signed in.
Json sessionJson(const SessionRow* session, bool viewerTokenRequired);

// {"days","fleet","teams":[...],"users":[...]} for units submitted over the
// last DAYS days, each figure with "submitted_ppd" (their points / DAYS).
// Teams and users by points per day, most first, then by number or name.
Json teamFiguresJson(const TeamFigures& figures, int days);

} // namespace pelmora::server
