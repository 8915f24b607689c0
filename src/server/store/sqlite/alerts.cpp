#include "server/store/sqlite/sqlite_store.h"

#include <chrono>
#include <sqlite3.h>

#include "server/store/sqlite/reader.h"
#include "server/store/sqlite/statement.h"
#include "server/store/write_batches.h"

namespace pelmora::server {
namespace {
AlertRow readAlert(const Statement& s)
{
    return {s.integer(0), s.integer(1), s.text(2), s.text(3), s.integer(4), s.integer(5), s.integer(6)};
}
constexpr const char* kAlertColumns =
    "SELECT a.id, a.machine_id, coalesce(m.name || '/' || m.cpu, ''), a.kind, a.raised_at,"
    " coalesce(a.resolved_at, 0), a.change FROM alerts a LEFT JOIN machines m ON m.id = a.machine_id ";
} // namespace

std::vector<AlertRow> SqliteStore::alerts(const AlertFilter& f)
{
    // The conditions only as given, so each query can take its index.
    std::string sql = std::string(kAlertColumns) + "WHERE 1";
    if (f.activeOnly) sql += " AND a.resolved_at IS NULL";
    if (f.machineId != 0) sql += " AND a.machine_id = :machine";
    sql += " ORDER BY a.id DESC LIMIT :limit";
    Reader reader = borrowReader();
    Statement s(reader.db(), sql.c_str());
    if (f.machineId != 0) s.bind(":machine", f.machineId);
    s.bind(":limit", f.limit);
    std::vector<AlertRow> rows;
    while (s.step()) rows.push_back(readAlert(s));
    return rows;
}

std::vector<AlertRow> SqliteStore::alertsChangedSince(long long since, long long& latest)
{
    latest = since;
    Reader reader = borrowReader();
    if (counter(reader.db(), "alert_change") == since) return {}; // nothing raised or resolved since, by any writer
    Statement s(reader.db(), (std::string(kAlertColumns) + "WHERE a.change > :since ORDER BY a.change").c_str());
    s.bind(":since", since);
    std::vector<AlertRow> rows;
    while (s.step()) {
        rows.push_back(readAlert(s));
        latest = rows.back().change;
    }
    return rows;
}

std::vector<AlertRow> SqliteStore::setAlerts(const std::vector<AlertWanted>& wanted, long long now, bool forWebhook)
{
    std::vector<long long> changed;
    // In short transactions: a whole fleet going offline at once must not
    // hold the exchanges back for long.
    inBatches(wanted.size(), [&](std::size_t start, std::size_t end) {
        std::lock_guard<std::mutex> lock(writeMutex_);
        Transaction t(writer_);
        Statement open(writer_, "SELECT id, kind FROM alerts WHERE machine_id = :machine AND resolved_at IS NULL");
        Statement resolve(writer_, "UPDATE alerts SET resolved_at = :now, change = :change_number,"
                                   " resolve_sent = :sent WHERE id = :id");
        Statement raise(writer_, "INSERT INTO alerts (machine_id, kind, raised_at, raised_change, change, raise_sent)"
                                 " VALUES (:machine, :kind, :now, :change_number, :change_number, :sent)");
        Statement count(writer_, "UPDATE totals SET value = value + 1 WHERE name = 'alerts_raised'");
        Statement trim(writer_, "DELETE FROM alerts WHERE machine_id = :machine AND resolved_at IS NOT NULL AND id <="
                                " (SELECT id FROM alerts WHERE machine_id = :machine ORDER BY id DESC LIMIT 1 OFFSET :keep)");
        const std::size_t batchStart = changed.size();
        try {
            for (std::size_t i = start; i < end; ++i) {
                const AlertWanted& w = wanted[i];
                bool isOpen = false;
                std::vector<long long> toResolve;
                open.reset().bind(":machine", w.machineId);
                while (open.step()) {
                    if (w.kind && open.text(1) == w.kind)
                        isOpen = true;
                    else
                        toResolve.push_back(open.integer(0));
                }
                for (const long long id : toResolve) {
                    resolve.reset().bind(":id", id).bind(":now", now).bind(":change_number", takeNumber("alert_change"));
                    if (!forWebhook) resolve.bind(":sent", 0LL);
                    resolve.run();
                    changed.push_back(id);
                }
                if (w.kind && !isOpen) {
                    raise.reset().bind(":machine", w.machineId).bind(":kind", std::string(w.kind)).bind(":now", now)
                        .bind(":change_number", takeNumber("alert_change"));
                    if (!forWebhook) raise.bind(":sent", 0LL);
                    raise.run();
                    changed.push_back(sqlite3_last_insert_rowid(writer_));
                    count.reset().run();
                    trim.reset().bind(":machine", w.machineId).bind(":keep", kAlertsKept).run();
                }
            }
            t.commit();
        } catch (...) {
            changed.resize(batchStart); // rolled back
            throw;
        }
    });
    std::vector<AlertRow> rows;
    Reader reader = borrowReader();
    Statement s(reader.db(), (std::string(kAlertColumns) + "WHERE a.id = :id").c_str());
    for (const long long id : changed)
        if (s.reset().bind(":id", id).step()) rows.push_back(readAlert(s));
    return rows;
}

AlertCounts SqliteStore::alertCounts()
{
    Reader reader = borrowReader();
    AlertCounts counts;
    Statement open(reader.db(), "SELECT kind, count(*) FROM alerts WHERE resolved_at IS NULL GROUP BY kind");
    while (open.step()) (open.text(0) == "offline" ? counts.offline : counts.stalled) = open.integer(1);
    Statement raised(reader.db(), "SELECT value FROM totals WHERE name = 'alerts_raised'");
    if (raised.step()) counts.raised = raised.integer(0);
    return counts;
}

long long SqliteStore::pruneAlerts(long long before)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    Statement s(writer_, "DELETE FROM alerts WHERE resolved_at < :before AND raise_sent IS NOT NULL"
                         " AND resolve_sent IS NOT NULL");
    s.bind(":before", before).run();
    return sqlite3_changes(writer_);
}

long long SqliteStore::thinOldestAlerts(int most)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    Statement s(writer_, "DELETE FROM alerts WHERE id IN (SELECT a.id FROM alerts a LEFT JOIN machines m"
                         " ON m.id = a.machine_id WHERE a.resolved_at < coalesce(m.last_seen - 86400, a.resolved_at + 1)"
                         " ORDER BY a.id LIMIT :most)");
    s.bind(":most", static_cast<long long>(most)).run();
    return sqlite3_changes(writer_);
}

// The webhook's queue.

namespace {
// One statement, so one snapshot: a raise and its resolution written
// between two queries could otherwise go out in the wrong order.
std::vector<AlertEvent> pendingEvents(sqlite3* db, int limit)
{
    Statement s(db,
                "SELECT a.id, a.machine_id, coalesce(m.name || '/' || m.cpu, ''), a.kind, a.raised_at,"
                " coalesce(a.resolved_at, 0), a.change, e.resolution, e.number FROM ("
                " SELECT * FROM (SELECT id, 0 AS resolution, raised_change AS number FROM alerts"
                "  WHERE raise_sent IS NULL ORDER BY raised_change LIMIT :limit)"
                " UNION ALL SELECT * FROM (SELECT id, 1, change FROM alerts"
                "  WHERE resolved_at IS NOT NULL AND resolve_sent IS NULL ORDER BY change LIMIT :limit)"
                ") e JOIN alerts a ON a.id = e.id LEFT JOIN machines m ON m.id = a.machine_id"
                " ORDER BY e.number LIMIT :limit");
    s.bind(":limit", limit);
    std::vector<AlertEvent> events;
    while (s.step()) {
        AlertEvent& event = events.emplace_back(AlertEvent{readAlert(s), s.whole(7) != 0, s.integer(8)});
        if (!event.resolution) event.alert.resolvedAt = 0; // as it was raised
    }
    return events;
}
} // namespace

std::vector<AlertEvent> SqliteStore::pendingAlertEvents(int limit)
{
    Reader reader = borrowReader();
    return pendingEvents(reader.db(), limit);
}

std::vector<AlertEvent> SqliteStore::claimAlertEvents(const std::string& holder, int limit, long long claimMs)
{
    const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch()).count();
    std::lock_guard<std::mutex> lock(writeMutex_);
    Transaction t(writer_);
    Statement(writer_, "DELETE FROM webhook_claims WHERE until_ms <= :now").bind(":now", now).run();
    std::vector<AlertEvent> events = pendingEvents(writer_, limit);
    Statement other(writer_, "SELECT 1 FROM webhook_claims WHERE alert_id = :id AND resolution = :resolution"
                             " AND holder != :holder");
    Statement claim(writer_, "INSERT OR REPLACE INTO webhook_claims (alert_id, resolution, holder, until_ms)"
                             " VALUES (:id, :resolution, :holder, :until)");
    for (std::size_t i = 0; i < events.size(); ++i) {
        const int resolution = events[i].resolution ? 1 : 0;
        other.reset().bind(":id", events[i].alert.id).bind(":resolution", resolution).bind(":holder", holder);
        if (other.step()) {
            events.resize(i);
            break;
        }
        claim.reset().bind(":id", events[i].alert.id).bind(":resolution", resolution).bind(":holder", holder)
            .bind(":until", now + claimMs).run();
    }
    t.commit();
    return events;
}

void SqliteStore::markAlertEventsSent(const std::vector<AlertEvent>& events, long long now)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    Transaction t(writer_);
    Statement raise(writer_, "UPDATE alerts SET raise_sent = :now WHERE id = :id");
    Statement resolve(writer_, "UPDATE alerts SET resolve_sent = :now WHERE id = :id");
    for (const AlertEvent& event : events)
        (event.resolution ? resolve : raise).reset().bind(":id", event.alert.id).bind(":now", now).run();
    t.commit();
}

} // namespace pelmora::server
