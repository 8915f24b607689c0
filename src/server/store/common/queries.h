// The store's reads and writes whose SQL both dialects take, written once
// on the query layer (query.h). Each runs on the connection it is given, in
// the caller's transaction or outside any: the stores keep their locking,
// their transactions and retries, their pipelining and what really differs.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "server/store/common/query.h"
#include "server/store/rows.h"
#include "server/store/unit_attribution.h"

namespace pelmora::server::sql {

// COUNTER (a row of totals) as the connection sees it now.
long long counter(Connection& c, const char* name);
// The machine's row locked until the commit, where the dialect locks rows.
void lockMachine(Connection& c, long long machineId);
// Gives the machine its next change number, in the store's way (the change counter's).
using MarkChanged = std::function<void(long long machineId)>;

// Units (units.cpp).
// The machines that folded a unit named PROTEIN; which one is credited is unit_attribution.h's rule.
std::vector<UnitCandidate> unitCandidates(Connection& c, const std::string& protein);
// SENT: sent with the transaction's next statements (Query::send) rather than run alone.
void insertUnit(Connection& c, const UnitSubmission& unit, long long now, const std::string& peer,
                const std::vector<UnitCandidate>& candidates, bool sent);
UnitCounts addUnit(Connection& c, const UnitSubmission& unit, long long now, const std::string& peer);
std::vector<UnitRow> units(Connection& c, const UnitFilter& filter);
std::vector<DayUserSummary> summary(Connection& c, long long since);
std::vector<CpuSummary> cpus(Connection& c);
std::vector<UserUnits> unitsByUser(Connection& c, long long since);

// Commands (commands.cpp); the writes in the caller's write transaction.
std::optional<CommandRow> commandById(Connection& c, long long id);
std::vector<CommandRow> commands(Connection& c, long long machineId, int limit);
std::optional<CommandRow> queueCommand(Connection& c, const MarkChanged& markChanged, long long machineId,
                                       const std::string& command, const std::string& by, long long now);
// MACHINE_ID or COMMAND_ID may be 0 (any), not both.
std::optional<CommandRow> cancelCommand(Connection& c, const MarkChanged& markChanged, long long machineId,
                                        long long commandId, const std::string& by, long long now);
void undeliver(Connection& c, const MarkChanged& markChanged, long long commandId);

// Sessions (sessions.cpp).
void addSession(Connection& c, const SessionRow& session);
std::optional<SessionRow> session(Connection& c, const std::string& id, long long now);
void removeSessions(Connection& c, const std::string& id, long long expiredBy);

// Alerts and the webhook's queue (alerts.cpp).
std::vector<AlertRow> alerts(Connection& c, const AlertFilter& filter);
std::vector<AlertRow> alertsChangedSince(Connection& c, long long since, long long& latest);
std::vector<AlertRow> alertsByIds(Connection& c, const std::vector<long long>& ids); // those still there
AlertCounts alertCounts(Connection& c);
long long pruneAlerts(Connection& c, long long before);
long long thinOldestAlerts(Connection& c, int most);
// One statement, so one snapshot: a raise and its resolution in order.
std::vector<AlertEvent> pendingAlertEvents(Connection& c, int limit);
void markAlertEventsSent(Connection& c, const std::vector<AlertEvent>& events, long long now);

// The points history and the status changes (points.cpp).
// The hour's row, whoever writes it first takes the hour: whether this writer did.
bool takePointsHour(Connection& c, long long hour, long long ppd);
// Samples [FIRST, END) of the hour, in one write transaction.
void addPointsSamples(Connection& c, long long hour, const std::vector<PointsSample>& samples, std::size_t first,
                      std::size_t end);
PointsHistory pointsHistory(Connection& c, const PointsSubject& subject, long long fromDay, long long toDay);
PointsMark pointsMark(Connection& c);
long long prunePoints(Connection& c, long long beforeDay);
long long thinOldestPoints(Connection& c, int most);
// Events [FIRST, END), in one write transaction.
void addStatusEvents(Connection& c, const std::vector<StatusEvent>& events, std::size_t first, std::size_t end,
                     int keep);
std::vector<StatusEvent> statusEvents(Connection& c, long long machineId, int limit);
long long thinOldestStatusEvents(Connection& c, int most);
long long pruneStatusEvents(Connection& c, long long before);

} // namespace pelmora::server::sql
