// Raising and resolving alerts, and claiming the webhook's events, in the
// SQLite store; the rest is common/alerts.cpp's.
#include "server/store/sqlite/sqlite_store.h"

#include <chrono>
#include <sqlite3.h>

#include "server/store/common/queries.h"
#include "server/store/sqlite/sql_connection.h"
#include "server/store/write_batches.h"

namespace pelmora::server {

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
    return read([&](sql::Connection& c) { return sql::alertsByIds(c, changed); });
}

std::vector<AlertEvent> SqliteStore::claimAlertEvents(const std::string& holder, int limit, long long claimMs)
{
    const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch()).count();
    std::lock_guard<std::mutex> lock(writeMutex_);
    Transaction t(writer_);
    Statement(writer_, "DELETE FROM webhook_claims WHERE until_ms <= :now").bind(":now", now).run();
    SqliteConnection c(writer_);
    std::vector<AlertEvent> events = sql::pendingAlertEvents(c, limit);
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

} // namespace pelmora::server
