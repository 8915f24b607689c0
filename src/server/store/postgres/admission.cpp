// Admission in the PostgreSQL store: the waiting list of new identities,
// their approval into machines, and a pinned machine's address moved or its
// refused sender remembered.
#include "server/store/postgres/postgres_store.h"

#include "server/store/exchange_rule.h"

namespace pelmora::server {
namespace {

WaitingRow waitingRow(const PgRows& s, int i)
{
    return {s.integer(i, 0), s.text(i, 1),    s.whole(i, 2),    s.text(i, 3),     s.whole(i, 4),     s.text(i, 5),
            s.text(i, 6),    s.integer(i, 7), s.integer(i, 8), s.text(i, 9), s.integer(i, 10)};
}

constexpr const char* kWaitingColumns = "SELECT id, name, cpu, \"user\", team, unit, address, first_seen,"
                                        " last_seen, other_address, other_at FROM waiting ";

} // namespace

void PostgresStore::lockCount(PgConnection& c, const char* what)
{
    c.query("SELECT pg_advisory_xact_lock(hashtext(:what))").bind(":what", std::string(what)).run();
}

void PostgresStore::putWaiting(PgConnection& c, const MonitorRecord& r, long long now, const ExchangeRules& rules,
                               ExchangeResult& result)
{
    const auto bindRecord = [&](PgConnection::Query& q) -> PgConnection::Query& {
        return q.bind(":name", r.computerName).bind(":cpu", r.cpu).bind(":user", r.user).bind(":team", r.team)
            .bind(":unit", r.unit).bind(":address", rules.address).bind(":now", now);
    };
    // Known already: in one statement, the row locked, then moved by its
    // first sender's record, or another sender noted when due (exchange_rule.h).
    // Its one row: the row's id and its first sender.
    const auto touch = [&] {
        PgConnection::Query q = c.query(
            "WITH found AS (SELECT id, address FROM waiting WHERE name = :name AND cpu = :cpu FOR UPDATE),"
            " own AS (UPDATE waiting w SET \"user\" = :user, team = :team, unit = :unit, address = :address,"
            " last_seen = :now FROM found WHERE w.id = found.id AND found.address IN ('', :address)),"
            " other AS (UPDATE waiting w SET other_address = :address, other_at = :now FROM found"
            " WHERE w.id = found.id AND found.address NOT IN ('', :address) AND w.other_at <= :due_up_to)"
            " SELECT id, address FROM found");
        return bindRecord(q).bind(":due_up_to", notesReplaceableUpTo(now)).run();
    };
    const auto waits = [&](const PgRows& row) {
        result.waitingId = row.integer(0, 0);
        const std::string first = row.text(0, 1);
        if (!first.empty() && first != rules.address) result.oldAddress = first, result.addressChanged = true;
        result.waiting = true, result.refused = refusal::kWaiting;
    };
    if (const PgRows found = touch(); !found.empty()) return waits(found);
    if (!rules.mayAddMachine) {
        result.refused = refusal::kTooManyNew;
        return;
    }
    // Counted under a lock every server takes to add one: the bound holds
    // across servers. At the bound, one row of the address holding the most
    // goes (the least recently seen of its rows; of two addresses holding as
    // many, the one seen least recently): an address inventing names churns
    // its own rows, never those of a machine that keeps reporting.
    lockCount(c, "waiting");
    const long long count = c.query("SELECT count(*) FROM waiting").run().integer(0, 0);
    for (long long over = rules.maxWaiting > 0 ? count - rules.maxWaiting + 1 : 0; over > 0; --over)
        c.query("DELETE FROM waiting WHERE id = (SELECT id FROM waiting WHERE address = (SELECT address FROM waiting"
                " GROUP BY address ORDER BY count(*) DESC, min(last_seen) LIMIT 1) ORDER BY last_seen, id LIMIT 1)")
            .run();
    // Another server's record of the same identity may have come first:
    // then its row is the one, and this record is one more of it.
    PgConnection::Query insert = c.query("INSERT INTO waiting (name, cpu, \"user\", team, unit, address, first_seen,"
                                         " last_seen) VALUES (:name, :cpu, :user, :team, :unit, :address, :now, :now)"
                                         " ON CONFLICT (name, cpu) DO NOTHING RETURNING id");
    const PgRows added = bindRecord(insert).run();
    if (added.empty()) return waits(touch());
    result.waitingId = added.integer(0, 0);
    result.waiting = result.newMachine = true, result.refused = refusal::kWaiting;
}

bool PostgresStore::noteRefusedAddress(PgConnection& c, long long machineId, const std::string& address,
                                       long long now)
{
    // When it is due (exchange_rule.h): the row is locked since it was read.
    return c.query("UPDATE machines SET refused_address = :address, refused_at = :now WHERE id = :id")
               .bind(":id", machineId).bind(":address", address).bind(":now", now).run().changed() > 0;
}

std::optional<std::string> PostgresStore::moveAddress(long long machineId, const std::string& address, long long now)
{
    return writing([&](PgConnection& c) -> std::optional<std::string> {
        const PgRows find = c.query("SELECT address FROM machines WHERE id = :id FOR UPDATE").bind(":id", machineId).run();
        if (find.empty()) return std::nullopt;
        c.query("UPDATE machines SET previous_address = CASE WHEN address IN ('', :address)"
                " THEN previous_address ELSE address END, address_changed_at = :now, address = :address,"
                " refused_address = CASE WHEN refused_address = :address THEN '' ELSE refused_address END,"
                " refused_at = CASE WHEN refused_address = :address THEN 0 ELSE refused_at END"
                " WHERE id = :id")
            .bind(":id", machineId).bind(":address", address).bind(":now", now).run();
        markChanged(c, machineId);
        return find.text(0, 0);
    });
}

std::vector<WaitingRow> PostgresStore::waiting()
{
    return reading([](PgConnection& c) {
        const PgRows s = c.query(std::string(kWaitingColumns) + "ORDER BY first_seen, id").run();
        std::vector<WaitingRow> rows;
        for (int i = 0; i < s.size(); ++i) rows.push_back(waitingRow(s, i));
        return rows;
    });
}

Approval PostgresStore::approve(const std::vector<long long>& ids, long long maxMachines, long long now,
                               const std::string& address)
{
    return writing([&](PgConnection& c) {
        Approval out;
        if (maxMachines > 0) lockCount(c, "machines"); // in the transaction: every server's count
        long long added = 0;
        std::vector<std::string> madeIds;
        const long long machines = c.query("SELECT count(*) FROM machines").run().integer(0, 0);
        for (const long long id : ids) {
            const PgRows find = c.query(std::string(kWaitingColumns) + "WHERE id = :id FOR UPDATE").bind(":id", id).run();
            if (find.empty()) continue;
            const WaitingRow w = waitingRow(find, 0);
            MachineRow m;
            m.name = w.name, m.cpu = w.cpu, m.user = w.user, m.team = w.team, m.unit = w.unit;
            m.address = address.empty() ? w.address : address, m.lastSeen = w.lastSeen;
            const PgRows known = c.query("SELECT id FROM machines WHERE name = :name AND cpu = :cpu")
                                     .bind(":name", w.name).bind(":cpu", w.cpu).run();
            if (!known.empty()) {
                m.id = known.integer(0, 0); // made a machine meanwhile (while admission was open)
            } else if (maxMachines > 0 && machines + added >= maxMachines) {
                out.refused.push_back(w);
                continue;
            } else {
                // Served as any machine from its next record on, which fills in
                // the rest: its progress is not known until then, so it has no
                // pace marks (pace_rule.h), and its first report starts them.
                m.id = c.query("INSERT INTO machines (name, cpu, slot, \"user\", team, unit, progress, core, frames,"
                               " points, units_seen, cpu_mhz, cpu_vendor, in_tray, stopped, first_seen, last_seen,"
                               " unit_since, unit_first_progress, changed_at, change, pace_at, pace_progress,"
                               " pace_next_at, pace_next_progress, address, resumed_at) VALUES (:name, :cpu, 0,"
                               " :user, :team, :unit, 0, '', 0, 0, 0, 0, '', 0, 0, :now, :last, :last, 0, :last,"
                               " 0, 0, 0, 0, 0, :address, :last) RETURNING id")
                           .bind(":name", w.name).bind(":cpu", w.cpu).bind(":user", w.user).bind(":team", w.team)
                           .bind(":unit", w.unit).bind(":address", m.address).bind(":now", now)
                           .bind(":last", w.lastSeen).run().integer(0, 0);
                madeIds.push_back(std::to_string(m.id));
                ++added;
            }
            c.query("DELETE FROM waiting WHERE id = :id").bind(":id", id).run();
            out.approved.push_back(m);
        }
        // Their change number last, as a batch of records takes its own, so
        // that neither holds the counter while it waits for the other's rows.
        if (!madeIds.empty()) {
            std::string ids;
            for (const std::string& id : madeIds) ids += (ids.empty() ? "{" : ",") + id;
            c.query("UPDATE machines SET change = :change_number WHERE id = ANY(CAST(:ids AS bigint[]))")
                .bind(":ids", ids + "}").bind(":change_number", takeNumber(c, "machine_change")).run();
        }
        return out;
    });
}

} // namespace pelmora::server
