// Raising and resolving alerts, and claiming the webhook's events, in the
// PostgreSQL store; the rest is common/alerts.cpp's.
#include "server/store/postgres/postgres_store.h"

#include <set>
#include <utility>

#include "server/store/common/queries.h"
#include "server/store/postgres/sql_connection.h"
#include "server/store/write_batches.h"

namespace pelmora::server {
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
    return read([&](sql::Connection& c) { return sql::alertsByIds(c, changed); });
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
        PgSqlConnection sc(c);
        std::vector<AlertEvent> events = sql::pendingAlertEvents(sc, limit);
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

} // namespace pelmora::server
