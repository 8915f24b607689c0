// Alerts and the webhook's queue in the PostgreSQL store.
#include "server/store/postgres/postgres_store.h"

#include <set>
#include <utility>

#include "server/store/write_batches.h"

namespace pelmora::server {
namespace {
AlertRow readAlert(const PgRows& s, int i)
{
    return {s.integer(i, 0), s.integer(i, 1), s.text(i, 2), s.text(i, 3), s.integer(i, 4), s.integer(i, 5),
            s.integer(i, 6)};
}
constexpr const char* kAlertColumns =
    "SELECT a.id, a.machine_id, coalesce(m.name || '/' || m.cpu, ''), a.kind, a.raised_at,"
    " coalesce(a.resolved_at, 0), a.change FROM alerts a LEFT JOIN machines m ON m.id = a.machine_id ";
} // namespace

std::vector<AlertRow> PostgresStore::alerts(const AlertFilter& f)
{
    // The conditions only as given, so each query can take its index.
    std::string sql = std::string(kAlertColumns) + "WHERE true";
    if (f.activeOnly) sql += " AND a.resolved_at IS NULL";
    if (f.machineId != 0) sql += " AND a.machine_id = :machine";
    sql += " ORDER BY a.id DESC";
    if (f.limit >= 0) sql += " LIMIT :limit";
    return reading([&](PgConnection& c) {
        PgConnection::Query q = c.query(sql);
        if (f.machineId != 0) q.bind(":machine", f.machineId);
        if (f.limit >= 0) q.bind(":limit", f.limit);
        const PgRows s = q.run();
        std::vector<AlertRow> rows;
        for (int i = 0; i < s.size(); ++i) rows.push_back(readAlert(s, i));
        return rows;
    });
}

std::vector<AlertRow> PostgresStore::alertsChangedSince(long long since, long long& latest)
{
    latest = since;
    return reading([&](PgConnection& c) {
        std::vector<AlertRow> rows;
        if (counter(c, "alert_change") == since) return rows; // nothing raised or resolved since, by any server
        const PgRows s = c.query(std::string(kAlertColumns) + "WHERE a.change > :since ORDER BY a.change")
                             .bind(":since", since).run();
        for (int i = 0; i < s.size(); ++i) {
            rows.push_back(readAlert(s, i));
            latest = rows.back().change;
        }
        return rows;
    });
}

std::vector<AlertRow> PostgresStore::setAlerts(const std::vector<AlertWanted>& wanted, long long now,
                                               bool forWebhook)
{
    std::vector<long long> changed;
    // In short transactions: a whole fleet going offline at once must not
    // hold the exchanges back for long.
    inBatches(wanted.size(), [&](std::size_t start, std::size_t end) {
        const std::vector<long long> batch = writing([&](PgConnection& c) {
            std::vector<long long> ids;
            for (std::size_t i = start; i < end; ++i) {
                const AlertWanted& w = wanted[i];
                bool isOpen = false;
                std::vector<long long> toResolve;
                // Locked: another server setting the same machine's alerts waits, then sees these.
                const PgRows open = c.query("SELECT id, kind FROM alerts WHERE machine_id = :machine"
                                            " AND resolved_at IS NULL FOR UPDATE")
                                        .bind(":machine", w.machineId).run();
                for (int r = 0; r < open.size(); ++r) {
                    if (w.kind && open.text(r, 1) == w.kind)
                        isOpen = true;
                    else
                        toResolve.push_back(open.integer(r, 0));
                }
                for (const long long id : toResolve) {
                    PgConnection::Query resolve = c.query("UPDATE alerts SET resolved_at = :now,"
                                                          " change = :change_number, resolve_sent = :sent"
                                                          " WHERE id = :id");
                    resolve.bind(":id", id).bind(":now", now).bind(":change_number", takeNumber(c, "alert_change"));
                    if (!forWebhook) resolve.bind(":sent", 0LL);
                    resolve.run();
                    ids.push_back(id);
                }
                if (w.kind && !isOpen) {
                    // Raised by another server meanwhile: the open alert's index keeps it one.
                    PgConnection::Query raise = c.query(
                        "INSERT INTO alerts (machine_id, kind, raised_at, raised_change, change, raise_sent)"
                        " VALUES (:machine, :kind, :now, :change_number, :change_number, :sent)"
                        " ON CONFLICT (machine_id, kind) WHERE resolved_at IS NULL DO NOTHING RETURNING id");
                    raise.bind(":machine", w.machineId).bind(":kind", std::string(w.kind)).bind(":now", now)
                        .bind(":change_number", takeNumber(c, "alert_change"));
                    if (!forWebhook) raise.bind(":sent", 0LL);
                    const PgRows raised = raise.run();
                    if (raised.empty()) continue;
                    ids.push_back(raised.integer(0, 0));
                    c.execute("UPDATE totals SET value = value + 1 WHERE name = 'alerts_raised'");
                    c.query("DELETE FROM alerts WHERE machine_id = :machine AND resolved_at IS NOT NULL AND id <="
                            " (SELECT id FROM alerts WHERE machine_id = :machine ORDER BY id DESC LIMIT 1"
                            " OFFSET :keep)")
                        .bind(":machine", w.machineId).bind(":keep", kAlertsKept).run();
                }
            }
            return ids;
        });
        changed.insert(changed.end(), batch.begin(), batch.end());
    });
    return reading([&](PgConnection& c) {
        std::vector<AlertRow> rows;
        for (const long long id : changed) {
            const PgRows s = c.query(std::string(kAlertColumns) + "WHERE a.id = :id").bind(":id", id).run();
            if (!s.empty()) rows.push_back(readAlert(s, 0));
        }
        return rows;
    });
}

AlertCounts PostgresStore::alertCounts()
{
    return reading([](PgConnection& c) {
        AlertCounts counts;
        const PgRows open = c.query("SELECT kind, count(*) FROM alerts WHERE resolved_at IS NULL GROUP BY kind").run();
        for (int i = 0; i < open.size(); ++i) (open.text(i, 0) == "offline" ? counts.offline : counts.stalled) = open.integer(i, 1);
        counts.raised = counter(c, "alerts_raised");
        return counts;
    });
}

long long PostgresStore::pruneAlerts(long long before)
{
    return writing([&](PgConnection& c) {
        return c.query("DELETE FROM alerts WHERE resolved_at < :before AND raise_sent IS NOT NULL"
                       " AND resolve_sent IS NOT NULL")
            .bind(":before", before).run().changed();
    });
}

long long PostgresStore::thinOldestAlerts(int most)
{
    return writing([&](PgConnection& c) {
        const long long removed =
            c.query("DELETE FROM alerts WHERE id IN (SELECT a.id FROM alerts a LEFT JOIN machines m"
                    " ON m.id = a.machine_id WHERE a.resolved_at < coalesce(m.last_seen - 86400, a.resolved_at + 1)"
                    " ORDER BY a.id LIMIT :most)")
                .bind(":most", static_cast<long long>(most)).run().changed();
        if (c.serverVersion() >= 150000) c.execute("SELECT pg_stat_force_next_flush()");
        return removed;
    });
}

// The webhook's queue.

namespace {
// One statement, so one snapshot: a raise and its resolution written
// between two queries could otherwise go out in the wrong order.
std::vector<AlertEvent> pendingEvents(PgConnection& c, int limit)
{
    const PgRows s = c.query(
        "SELECT a.id, a.machine_id, coalesce(m.name || '/' || m.cpu, ''), a.kind, a.raised_at,"
        " coalesce(a.resolved_at, 0), a.change, e.resolution, e.number FROM ("
        " (SELECT id, 0 AS resolution, raised_change AS number FROM alerts"
        "  WHERE raise_sent IS NULL ORDER BY raised_change LIMIT :limit)"
        " UNION ALL (SELECT id, 1, change FROM alerts"
        "  WHERE resolved_at IS NOT NULL AND resolve_sent IS NULL ORDER BY change LIMIT :limit)"
        ") e JOIN alerts a ON a.id = e.id LEFT JOIN machines m ON m.id = a.machine_id"
        " ORDER BY e.number LIMIT :limit").bind(":limit", limit).run();
    std::vector<AlertEvent> events;
    for (int i = 0; i < s.size(); ++i) {
        AlertEvent& event = events.emplace_back(AlertEvent{readAlert(s, i), s.flag(i, 7), s.integer(i, 8)});
        if (!event.resolution) event.alert.resolvedAt = 0; // as it was raised
    }
    return events;
}
} // namespace

std::vector<AlertEvent> PostgresStore::pendingAlertEvents(int limit)
{
    return reading([&](PgConnection& c) { return pendingEvents(c, limit); });
}

std::vector<AlertEvent> PostgresStore::claimAlertEvents(const std::string& holder, int limit, long long claimMs)
{
    return writing([&](PgConnection& c) {
        // Claimers one at a time: each sees the claims the last one made.
        c.execute("LOCK TABLE webhook_claims IN EXCLUSIVE MODE");
        // The database's clock, one for every server; claims run out on it.
        const long long now = c.query("SELECT (extract(epoch FROM now()) * 1000)::bigint").run().integer(0, 0);
        c.query("DELETE FROM webhook_claims WHERE until_ms <= :now").bind(":now", now).run();
        std::set<std::pair<long long, bool>> others;
        const PgRows held = c.query("SELECT alert_id, resolution FROM webhook_claims WHERE holder <> :holder")
                                .bind(":holder", holder).run();
        for (int i = 0; i < held.size(); ++i) others.insert({held.integer(i, 0), held.flag(i, 1)});
        std::vector<AlertEvent> events = pendingEvents(c, limit);
        std::string ids, resolutions;
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (others.count({events[i].alert.id, events[i].resolution})) {
                events.resize(i);
                break;
            }
            ids += (i ? "," : "") + std::to_string(events[i].alert.id);
            resolutions += (i ? "," : "") + std::string(events[i].resolution ? "1" : "0");
        }
        if (events.empty()) return events;
        c.query("INSERT INTO webhook_claims (alert_id, resolution, holder, until_ms)"
                " SELECT unnest(CAST(:ids AS bigint[])), unnest(CAST(:resolutions AS integer[])), :holder, :until"
                " ON CONFLICT (alert_id, resolution) DO UPDATE SET holder = excluded.holder, until_ms = excluded.until_ms")
            .bind(":ids", "{" + ids + "}").bind(":resolutions", "{" + resolutions + "}").bind(":holder", holder)
            .bind(":until", now + claimMs).run();
        return events;
    });
}

void PostgresStore::markAlertEventsSent(const std::vector<AlertEvent>& events, long long now)
{
    writing([&](PgConnection& c) {
        for (const AlertEvent& event : events)
            c.query(event.resolution ? "UPDATE alerts SET resolve_sent = :now WHERE id = :id"
                                     : "UPDATE alerts SET raise_sent = :now WHERE id = :id")
                .bind(":id", event.alert.id).bind(":now", now).run();
    });
}

} // namespace pelmora::server
