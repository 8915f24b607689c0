// Alerts and the webhook's queue, in either store.
#include "server/store/common/queries.h"

namespace pelmora::server::sql {
namespace {
AlertRow readAlert(const Query& s)
{
    return {s.integer(0), s.integer(1), s.text(2), s.text(3), s.integer(4), s.integer(5), s.integer(6)};
}
constexpr const char* kAlertColumns =
    "SELECT a.id, a.machine_id, coalesce(m.name || '/' || m.cpu, ''), a.kind, a.raised_at,"
    " coalesce(a.resolved_at, 0), a.change FROM alerts a LEFT JOIN machines m ON m.id = a.machine_id ";
} // namespace

std::vector<AlertRow> alerts(Connection& c, const AlertFilter& f)
{
    // The conditions only as given, so each query can take its index.
    std::string sql = std::string(kAlertColumns) + "WHERE true";
    if (f.activeOnly) sql += " AND a.resolved_at IS NULL";
    if (f.machineId != 0) sql += " AND a.machine_id = :machine";
    sql += " ORDER BY a.id DESC";
    if (f.limit >= 0) sql += " LIMIT :limit";
    const auto s = c.query(sql);
    if (f.machineId != 0) s->bind(":machine", f.machineId);
    if (f.limit >= 0) s->bind(":limit", f.limit);
    std::vector<AlertRow> rows;
    while (s->step()) rows.push_back(readAlert(*s));
    return rows;
}

std::vector<AlertRow> alertsChangedSince(Connection& c, long long since, long long& latest)
{
    latest = since;
    std::vector<AlertRow> rows;
    if (counter(c, "alert_change") == since) return rows; // nothing raised or resolved since, by any writer
    const auto s = c.query(std::string(kAlertColumns) + "WHERE a.change > :since ORDER BY a.change");
    s->bind(":since", since);
    while (s->step()) {
        rows.push_back(readAlert(*s));
        latest = rows.back().change;
    }
    return rows;
}

std::vector<AlertRow> alertsByIds(Connection& c, const std::vector<long long>& ids)
{
    std::vector<AlertRow> rows;
    const auto s = c.query(std::string(kAlertColumns) + "WHERE a.id = :id");
    for (const long long id : ids)
        if (s->reset().bind(":id", id).step()) rows.push_back(readAlert(*s));
    return rows;
}

AlertCounts alertCounts(Connection& c)
{
    AlertCounts counts;
    const auto open = c.query("SELECT kind, count(*) FROM alerts WHERE resolved_at IS NULL GROUP BY kind");
    while (open->step()) (open->text(0) == "offline" ? counts.offline : counts.stalled) = open->integer(1);
    counts.raised = counter(c, "alerts_raised");
    return counts;
}

long long pruneAlerts(Connection& c, long long before)
{
    return c.query("DELETE FROM alerts WHERE resolved_at < :before AND raise_sent IS NOT NULL"
                   " AND resolve_sent IS NOT NULL")
        ->bind(":before", before).run();
}

long long thinOldestAlerts(Connection& c, int most)
{
    return c.query("DELETE FROM alerts WHERE id IN (SELECT a.id FROM alerts a LEFT JOIN machines m"
                   " ON m.id = a.machine_id WHERE a.resolved_at < coalesce(m.last_seen - 86400, a.resolved_at + 1)"
                   " ORDER BY a.id LIMIT :most)")
        ->bind(":most", static_cast<long long>(most)).run();
}

std::vector<AlertEvent> pendingAlertEvents(Connection& c, int limit)
{
    const auto s = c.query(
        "SELECT a.id, a.machine_id, coalesce(m.name || '/' || m.cpu, ''), a.kind, a.raised_at,"
        " coalesce(a.resolved_at, 0), a.change, e.resolution, e.number FROM ("
        " SELECT * FROM (SELECT id, 0 AS resolution, raised_change AS number FROM alerts"
        "  WHERE raise_sent IS NULL ORDER BY raised_change LIMIT :limit) raises"
        " UNION ALL SELECT * FROM (SELECT id, 1, change FROM alerts"
        "  WHERE resolved_at IS NOT NULL AND resolve_sent IS NULL ORDER BY change LIMIT :limit) resolutions"
        ") e JOIN alerts a ON a.id = e.id LEFT JOIN machines m ON m.id = a.machine_id"
        " ORDER BY e.number LIMIT :limit");
    s->bind(":limit", limit);
    std::vector<AlertEvent> events;
    while (s->step()) {
        AlertEvent& event = events.emplace_back(AlertEvent{readAlert(*s), s->flag(7), s->integer(8)});
        if (!event.resolution) event.alert.resolvedAt = 0; // as it was raised
    }
    return events;
}

void markAlertEventsSent(Connection& c, const std::vector<AlertEvent>& events, long long now)
{
    const auto raise = c.query("UPDATE alerts SET raise_sent = :now WHERE id = :id");
    const auto resolve = c.query("UPDATE alerts SET resolve_sent = :now WHERE id = :id");
    for (const AlertEvent& event : events)
        (event.resolution ? *resolve : *raise).reset().bind(":id", event.alert.id).bind(":now", now).run();
}

} // namespace pelmora::server::sql
