// Machines in the PostgreSQL store: a monitor's exchange, the fleet's
// reads, history, slots and removals. The exchange locks its machine's row
// first, so two servers taking records of one machine at once take turns.
#include "server/store/postgres/postgres_store.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <variant>

#include "protocol/monitor_protocol.h"
#include "server/store/exchange_rule.h"
#include "server/store/machine_fields.h"
#include "server/store/write_batches.h"

namespace pelmora::server {
namespace {

// In one statement, so in one snapshot and one round trip: the number of
// the last change, the pending command (one at most a machine), then the
// machines' columns of machine_fields.h, in its order; one row of the
// number alone (the machine's columns NULL) when no machine changed.
const std::string& machinesSelect()
{
    static const std::string select = [] {
        std::string columns;
        for (const MachineField& f : kMachineFields)
            if (f.column) columns += std::string(", m.\"") + f.key + "\"";
        return "SELECT t.value, p.command" + columns + " FROM totals t LEFT JOIN machines m ON m.change > :since"
               " LEFT JOIN commands p ON p.machine_id = m.id AND p.state = 'pending'"
               " WHERE t.name = 'machine_change' ORDER BY m.id";
    }();
    return select;
}

template <class Row>
void readColumn(const PgRows& rows, int row, int column, const RowMember<Row>& member, Row& m)
{
    std::visit(
        [&](auto field) {
            using Field = decltype(field);
            if constexpr (std::is_same_v<Field, long long Row::*>) m.*field = rows.integer(row, column);
            else if constexpr (std::is_same_v<Field, int Row::*>) m.*field = rows.whole(row, column);
            else if constexpr (std::is_same_v<Field, double Row::*>) m.*field = rows.real(row, column);
            else if constexpr (std::is_same_v<Field, bool Row::*>) m.*field = rows.flag(row, column);
            else if constexpr (std::is_same_v<Field, std::string Row::*>) m.*field = rows.text(row, column);
        },
        member);
}

constexpr const char* kReportColumns = "SELECT at, progress, unit, in_tray, stopped, silent_from FROM reports";

ReportRow reportRow(const PgRows& rows, int i)
{
    return {rows.integer(i, 0), rows.whole(i, 1), rows.text(i, 2), rows.flag(i, 3), rows.flag(i, 4),
            rows.integer(i, 5)};
}

// A known machine's record after its row was locked, in one statement: the
// history row (updated, or added when the one to update was thinned away
// meanwhile), the machine's row pointing at it, and, when it may have one
// (:pending), its pending command delivered, or its exit commands cancelled
// when it stops. Its one row: the command delivered, if any. The change
// number and the counters are the batch's, taken at its end (kCountBatch):
// the change number read from its counter when :numbered.
const std::string kKnownExchange =
    "WITH kept AS (UPDATE reports SET at = :now, progress = :progress, unit = :unit, in_tray = :in_tray,"
    " stopped = :stopped, silent_from = greatest(silent_from, :silent_from)"
    " WHERE :history_update AND id = :rowid AND machine_id = :id AND at = :at RETURNING id),"
    " added AS (INSERT INTO reports (machine_id, at, progress, unit, in_tray, stopped, silent_from)"
    " SELECT :id, :now, :progress, :unit, :in_tray, :stopped, :silent_from"
    " WHERE :history_write AND NOT EXISTS (SELECT 1 FROM kept) RETURNING id),"
    " cancelled AS (UPDATE commands SET state = 'cancelled', cancelled_at = :now, cancelled_by = :cancelled_by"
    " WHERE :pending = 1 AND :cancel_exit = 1 AND machine_id = :id AND state = 'pending' AND command = 'exit'),"
    " delivered AS (UPDATE commands SET state = 'delivered', delivered_at = :now,"
    " delivered_to = nullif(:address, '') WHERE :pending = 1 AND :deliver = 1 AND machine_id = :id"
    " AND state = 'pending'"
    " RETURNING id, command),"
    " machine AS (UPDATE machines SET slot = :slot, stopped = :stopped, " + assignments(recordColumns()) + ", " +
    assignments(decidedColumns()) + ", last_seen = :now,"
    " change = CASE WHEN :numbered = 1 THEN (SELECT value FROM totals WHERE name = 'machine_change') ELSE change END,"
    " history_rowid = CASE WHEN :history_write THEN coalesce((SELECT id FROM kept), (SELECT id FROM added))"
    " ELSE history_rowid END, history_at = CASE WHEN :history_write THEN :now ELSE history_at END,"
    " history_second = CASE WHEN :history_write THEN :second ELSE history_second END WHERE id = :id)"
    " SELECT id, command FROM delivered";

// A new machine's record: its row (the report's id taken first, for the
// row to point at) and its first history row. Its one row: the new
// machine's id; none when another server's record of it came first.
const std::string kNewExchange =
    "WITH report AS (SELECT nextval(pg_get_serial_sequence('reports', 'id')) AS id),"
    " machine AS (INSERT INTO machines (name, cpu, slot, stopped, " + columnNames(recordColumns()) + ", " +
    columnNames(decidedColumns()) + ", first_seen, last_seen, change, history_rowid, history_at) SELECT :name, :cpu,"
    " :slot, :stopped, " + columnNames(recordColumns(), true) + ", " + columnNames(decidedColumns(), true) +
    ", :now, :now, 0, report.id, :now FROM report"
    " ON CONFLICT (name, cpu) DO NOTHING RETURNING id, history_rowid),"
    " added AS (INSERT INTO reports (id, machine_id, at, progress, unit, in_tray, stopped, silent_from)"
    " SELECT history_rowid, id, :now, :progress, :unit, :in_tray, :stopped, 0 FROM machine)"
    " SELECT id FROM machine";

// The record's columns, as both the exchange's statements write them.
void bindRecord(PgConnection::Query& q, const MonitorRecord& r, long long now, const ExchangeDecision& d)
{
    bindColumns(q, recordColumns(), r);
    bindColumns(q, decidedColumns(), d.row);
    q.bind(":slot", d.result.newSlot).bind(":stopped", r.exiting).bind(":now", now);
}

// ROWS' row AT, read with the columns of kFoundColumns first.
FoundMachine foundMachine(const PgRows& rows, int at)
{
    FoundMachine m;
    for (int column = 0; column < kFoundColumnCount; ++column)
        readColumn(rows, at, column, kFoundColumns[column].member, m);
    return m;
}

// One machine's row, locked: a batch's one identity, a machine the batch
// wrote already (locked then), or one another server added since it began.
const std::string kFindOne =
    "SELECT " + foundColumnList("m.", true) + " FROM machines m WHERE name = :name AND cpu = :cpu FOR UPDATE";

// The batch's known machines locked in one statement, in the order of the
// identities (names, then CPUs, sorted): every server's batches take the
// machines they share in the same order. Each one found on the unique
// index, whatever the plan kept thinks of the table's size. Its last
// column (kFoundColumnCount): the identity's place in the arrays, from 1.
const std::string kLockBatch =
    "SELECT f.*, k.place FROM unnest(CAST(:names AS text[]), CAST(:cpus AS bigint[])) WITH ORDINALITY AS"
    " k(name, cpu, place) CROSS JOIN LATERAL (SELECT " + foundColumnList("m.", true) +
    " FROM machines m WHERE m.name = k.name COLLATE \"C\" AND m.cpu = k.cpu FOR UPDATE) f ORDER BY k.place";

// Which locked machines have a command pending. Read after the lock, in a
// snapshot of its own: a command is queued under its machine's lock, so
// none comes to them before the commit.
constexpr const char* kPendingOf =
    "SELECT machine_id FROM commands WHERE state = 'pending' AND machine_id = ANY(CAST(:ids AS bigint[]))";

// The batch's end, sent with COMMIT: its counts and its change number
// taken, then the known machines' writes held back until then (their rows
// are locked: they wait for no writer that takes a counter), each stamped
// with the number, and
// the number stamped on the machines written before (stampBatch). The
// counter rows are the last rows it takes, as every writer takes them, so
// they are held only for the end. The stamp is plain SQL with the ids
// written in: planned with the table's size now, so always on the primary key.
constexpr const char* kCountBatch =
    "UPDATE totals SET value = value + CASE name WHEN 'reports' THEN CAST(:reports AS bigint)"
    " WHEN 'records_clamped' THEN CAST(:clamped AS bigint) ELSE 1 END WHERE name = 'machine_change'"
    " OR (name = 'reports' AND CAST(:reports AS bigint) > 0) OR (name = 'slot_change' AND CAST(:slot_moved AS boolean))"
    " OR (name = 'records_clamped' AND CAST(:clamped AS bigint) > 0)";

std::string stampBatch(const std::vector<long long>& written)
{
    std::string ids;
    for (const long long id : written) ids += (ids.empty() ? "" : ",") + std::to_string(id);
    return "UPDATE machines SET change = (SELECT value FROM totals WHERE name = 'machine_change') WHERE id IN (" +
           ids + ")";
}

// A PostgreSQL array literal of ITEMS, each quoted (text) or as it is (numbers).
std::string arrayOf(const std::vector<std::string>& items, bool quoted)
{
    std::string out = "{";
    for (const std::string& item : items) {
        if (out.size() > 1) out += ',';
        if (!quoted) {
            out += item;
            continue;
        }
        out += '"';
        for (const char ch : item) {
            if (ch == '"' || ch == '\\') out += '\\';
            out += ch;
        }
        out += '"';
    }
    return out + "}";
}

std::string idArray(const std::vector<long long>& ids)
{
    std::vector<std::string> items;
    items.reserve(ids.size());
    for (const long long id : ids) items.push_back(std::to_string(id));
    return arrayOf(items, false);
}

using Identity = std::pair<std::string, int>; // name, CPU

} // namespace

// What one batch's records share in its transaction.
struct PostgresStore::Batch {
    std::map<Identity, FoundMachine> locked; // its known machines' rows, locked at its start
    std::set<Identity> taken;        // identities a record of the batch has come to
    std::set<long long> takenIds;
    std::set<long long> pending;     // locked machines with a command pending
    std::vector<long long> stampLater; // machines written but not by a write sent numbered
    long long reports = 0, clamped = 0;
    bool lookedForPending = false, slotMoved = false, countLocked = false, wrote = false;
    std::vector<ExchangeResult> results; // in the caller's order
    // The known machines' writes held back (the batch's end sends them,
    // numbered), and each one's result.
    std::vector<PgConnection::Query> held;
    std::vector<std::size_t> heldFor;
    std::vector<long long> heldIds;
    std::vector<std::size_t> queuedFor; // the results whose writes are sent, in their order

    void sendHeld(bool numbered)
    {
        for (std::size_t k = 0; k < held.size(); ++k) {
            held[k].bind(":numbered", numbered).queue();
            queuedFor.push_back(heldFor[k]);
            if (!numbered) stampLater.push_back(heldIds[k]);
        }
        held.clear(), heldFor.clear(), heldIds.clear();
    }
    // Every write sent (unnumbered: a statement that reads what they
    // write follows) and its answer read: the commands they delivered.
    void flush(PgConnection& c, bool committing = false)
    {
        if (!committing) sendHeld(false);
        const std::vector<PgRows> answers = c.flush(committing);
        for (std::size_t k = 0; k < queuedFor.size() && k < answers.size(); ++k) {
            if (answers[k].empty()) continue;
            ExchangeResult& result = results[queuedFor[k]];
            result.commandId = answers[k].integer(0, 0);
            result.command = protocol::commandByte(answers[k].text(0, 1));
        }
        queuedFor.clear();
    }
};

// One transaction: the known machines locked first in one statement (in
// the identities' order), then each record in the caller's order, then the
// counters with the commit. A retry (writing) starts again from nothing.
std::vector<ExchangeResult> PostgresStore::recordReports(const std::vector<ReportWrite>& reports)
{
    if (reports.empty()) return {};
    std::vector<Identity> identities;
    for (const ReportWrite& w : reports) identities.emplace_back(w.record.computerName, w.record.cpu);
    std::sort(identities.begin(), identities.end());
    identities.erase(std::unique(identities.begin(), identities.end()), identities.end());
    std::vector<std::string> names, cpus;
    for (const Identity& i : identities) names.push_back(i.first), cpus.push_back(std::to_string(i.second));
    const std::string nameArray = arrayOf(names, true), cpuArray = arrayOf(cpus, false);
    return writing([&](PgConnection& c) {
        // One identity: the plain lookup, the cheaper statement.
        const bool one = identities.size() == 1;
        const PgRows locked = one ? c.query(kFindOne).bind(":name", identities[0].first)
                                        .bind(":cpu", identities[0].second).run()
                                  : c.query(kLockBatch).bind(":names", nameArray).bind(":cpus", cpuArray).run();
        Batch batch;
        std::vector<long long> lockedIds;
        for (int i = 0; i < locked.size(); ++i) {
            const long long place = one ? 1 : locked.integer(i, kFoundColumnCount);
            const FoundMachine& m = batch.locked[identities.at(static_cast<std::size_t>(place - 1))] =
                foundMachine(locked, i);
            lockedIds.push_back(m.id);
        }
        // One look for the batch's pending commands rather than one in each
        // record's write; a batch of one looks in its write (no round trip more).
        batch.lookedForPending = lockedIds.size() > 1;
        if (batch.lookedForPending) {
            const PgRows pending = c.query(kPendingOf).bind(":ids", idArray(lockedIds)).run();
            for (int i = 0; i < pending.size(); ++i) batch.pending.insert(pending.integer(i, 0));
        }
        batch.results.reserve(reports.size());
        for (const ReportWrite& w : reports) batch.results.push_back(exchange(c, w, batch));
        if (batch.wrote) { // in one round trip with the commit
            c.query(kCountBatch).bind(":reports", batch.reports).bind(":clamped", batch.clamped)
                .bind(":slot_moved", batch.slotMoved).queue(false);
            batch.sendHeld(true);
            if (!batch.stampLater.empty()) c.queuePlain(stampBatch(batch.stampLater));
            batch.flush(c, true);
        }
        return std::move(batch.results);
    });
}

// The record's machine, locked: its row as the batch's start locked it, the
// first time a record of the batch comes to it; read again when the batch
// has written it since (locked already), or when another server added it
// meanwhile. PENDING: whether a command may be pending (looked for in the write).
std::optional<FoundMachine> PostgresStore::lookUp(PgConnection& c, const MonitorRecord& r, int attempt, Batch& batch,
                                                  bool& pending)
{
    const Identity identity{r.computerName, r.cpu};
    std::optional<FoundMachine> found;
    pending = true;
    const auto locked = batch.locked.find(identity);
    if (attempt == 0 && locked != batch.locked.end() && !batch.takenIds.count(locked->second.id)) {
        found = locked->second;
        pending = !batch.lookedForPending || batch.pending.count(found->id) > 0;
    } else if (attempt > 0 || batch.taken.count(identity)) {
        batch.flush(c);
        const PgRows own = c.query(kFindOne).bind(":name", r.computerName).bind(":cpu", r.cpu).run();
        if (!own.empty()) found = foundMachine(own, 0);
    }
    batch.taken.insert(identity);
    if (found) batch.takenIds.insert(found->id);
    return found;
}

// Counted under the lock of adding one: every server's machines count, and this batch's earlier ones.
long long PostgresStore::countMachines(PgConnection& c, Batch& batch)
{
    if (!batch.countLocked) lockCount(c, "machines"), batch.countLocked = true;
    return c.query("SELECT count(*) FROM machines").run().integer(0, 0);
}

// Held back, sent at the batch's end or before the next statement that
// reads what it writes; its answer, the command delivered, read then.
void PostgresStore::holdKnownWrite(PgConnection& c, const MonitorRecord& r, long long now, const ExchangeDecision& d,
                                   bool pending, Batch& batch)
{
    PgConnection::Query write = c.query(kKnownExchange);
    write.bind(":id", d.result.machineId).bind(":history_write", d.history.write != HistoryWrite::none)
        .bind(":history_update", d.history.write == HistoryWrite::update).bind(":rowid", d.latest.rowId)
        .bind(":at", d.latest.at).bind(":silent_from", d.silentFrom).bind(":second", d.history.second)
        .bind(":pending", pending).bind(":cancel_exit", d.cancelExit).bind(":deliver", d.deliver)
        .bind(":cancelled_by", d.cancelledBy);
    bindRecord(write, r, now, d);
    batch.held.push_back(std::move(write));
    batch.heldFor.push_back(batch.results.size());
    batch.heldIds.push_back(d.result.machineId);
    batch.slotMoved = batch.slotMoved || d.slotMoved;
}

// A first report of the same machine through another server may have won:
// then nothing was written (false), and the record starts again, in the
// same transaction, as a known machine's.
bool PostgresStore::addMachine(PgConnection& c, const MonitorRecord& r, long long now, ExchangeDecision& d,
                               Batch& batch)
{
    PgConnection::Query write = c.query(kNewExchange);
    write.bind(":name", r.computerName).bind(":cpu", r.cpu);
    bindRecord(write, r, now, d);
    const PgRows added = write.run();
    if (added.empty()) return false;
    d.result.machineId = added.integer(0, 0);
    batch.takenIds.insert(d.result.machineId);
    batch.stampLater.push_back(d.result.machineId);
    batch.slotMoved = batch.slotMoved || d.slotMoved;
    return true;
}

ExchangeResult PostgresStore::exchange(PgConnection& c, const ReportWrite& w, Batch& batch)
{
    const MonitorRecord& r = w.record;
    const ExchangeSettings settings{offlineAfter_, historyResolution_};
    // Twice at most: a first report of this machine through another server
    // may commit between the batch's lock and the insert, which then finds it there.
    for (int attempt = 0;; ++attempt) {
        bool pending = true;
        const std::optional<FoundMachine> found = lookUp(c, r, attempt, batch, pending);
        if (!found) batch.flush(c); // what follows needs its answers at once
        ExchangeDecision d = decideExchange(found, r, w.rules, w.now, settings);
        if (d.outcome == ExchangeOutcome::countCap)
            d = decideExchange(found, r, w.rules, w.now, settings, countMachines(c, batch));
        ExchangeResult& result = d.result;
        if (d.outcome == ExchangeOutcome::waits) putWaiting(c, r, w.now, w.rules, result);
        if (d.noteRefused) {
            batch.flush(c);
            if (noteRefusedAddress(c, result.machineId, d.address, w.now))
                batch.stampLater.push_back(result.machineId), batch.wrote = true;
        }
        if (d.outcome != ExchangeOutcome::write) return result;
        if (d.checkShared) {
            batch.flush(c);
            result.slotShared = !c.query("SELECT 1 FROM machines WHERE slot = :slot AND slot <> 0 AND stopped = 0"
                                         " AND id <> :id LIMIT 1")
                                     .bind(":slot", result.newSlot).bind(":id", result.machineId).run().empty();
        }
        if (found) {
            holdKnownWrite(c, r, w.now, d, pending, batch);
        } else if (!addMachine(c, r, w.now, d, batch)) {
            if (attempt > 0) throw StoreError("the machine " + r.computerName + " is neither new nor known");
            continue;
        }
        batch.wrote = true;
        ++batch.reports;
        if (r.clamped != 0) ++batch.clamped;
        return result;
    }
}

bool PostgresStore::machineExists(long long id)
{
    return reading([&](PgConnection& c) {
        return !c.query("SELECT 1 FROM machines WHERE id = :id").bind(":id", id).run().empty();
    });
}

std::vector<MachineRow> PostgresStore::machines()
{
    long long latest = 0;
    return machinesChangedSince(0, latest);
}

std::vector<MachineRow> PostgresStore::machinesChangedSince(long long since, long long& latest)
{
    latest = since;
    return reading([&](PgConnection& c) {
        // Numbers commit in order (takeNumber), so the snapshot holds every change up to its last number.
        const PgRows s = c.query(machinesSelect()).bind(":since", since == 0 ? -1LL : since).run();
        std::vector<MachineRow> rows;
        if (s.empty()) return rows; // no counter row: nothing was ever written
        latest = s.integer(0, 0);
        if (s.isNull(0, 2)) return rows; // nothing written since, by any server
        rows.reserve(static_cast<std::size_t>(s.size()));
        for (int i = 0; i < s.size(); ++i) {
            MachineRow& m = rows.emplace_back();
            int column = 2;
            for (const MachineField& f : kMachineFields)
                if (f.column) readColumn(s, i, column++, f.member, m);
            if (!s.isNull(i, 1)) m.pendingCommand = s.text(i, 1);
        }
        return rows;
    });
}
std::vector<int> PostgresStore::heldSlots()
{
    return reading([](PgConnection& c) {
        const PgRows s = c.query("SELECT slot FROM machines WHERE slot <> 0 AND stopped = 0").run();
        std::vector<int> slots;
        for (int i = 0; i < s.size(); ++i) slots.push_back(s.whole(i, 0));
        return slots;
    });
}

long long PostgresStore::pruneReports(long long before)
{
    const std::vector<long long> ids = reading([](PgConnection& c) {
        const PgRows s = c.query("SELECT id FROM machines").run();
        std::vector<long long> out;
        for (int i = 0; i < s.size(); ++i) out.push_back(s.integer(i, 0));
        return out;
    });
    // Machine by machine on the index, in short transactions, so exchanges
    // wait at most for a few hundred small deletes.
    long long removed = 0;
    inBatches(ids.size(), [&](std::size_t start, std::size_t end) {
        removed += writing([&](PgConnection& c) {
            long long batch = 0;
            for (std::size_t i = start; i < end; ++i)
                batch += c.query("DELETE FROM reports WHERE machine_id = :machine AND at < :before")
                             .bind(":machine", ids[i]).bind(":before", before).run().changed();
            return batch;
        });
    });
    return removed;
}

std::vector<long long> PostgresStore::silentMachines(long long before, int limit)
{
    return reading([&](PgConnection& c) {
        const PgRows s = c.query("SELECT id FROM machines WHERE last_seen < :before ORDER BY last_seen LIMIT :limit")
                             .bind(":before", before).bind(":limit", limit).run();
        std::vector<long long> ids;
        for (int i = 0; i < s.size(); ++i) ids.push_back(s.integer(i, 0));
        return ids;
    });
}

std::vector<MachineRow> PostgresStore::removeMachines(const std::vector<long long>& ids)
{
    return writing([&](PgConnection& c) {
        // Locked first in the order batches of records lock them (recordReports).
        c.query("SELECT 1 FROM machines WHERE id = ANY(CAST(:ids AS bigint[])) ORDER BY name, cpu FOR UPDATE")
            .bind(":ids", idArray(ids)).run();
        std::vector<MachineRow> removed;
        const char* const kDeletes[] = {
            "DELETE FROM reports WHERE machine_id = :id", "DELETE FROM commands WHERE machine_id = :id",
            "DELETE FROM alerts WHERE machine_id = :id", "DELETE FROM status_events WHERE machine_id = :id",
            "DELETE FROM points_days WHERE kind = 2 AND team = 0 AND subject = CAST(:id AS TEXT)"};
        for (const long long id : ids) {
            const PgRows gone = c.query("DELETE FROM machines WHERE id = :id RETURNING name, cpu, slot, stopped,"
                                        " address").bind(":id", id).run();
            if (gone.empty()) continue;
            MachineRow& m = removed.emplace_back();
            m.id = id;
            m.name = gone.text(0, 0);
            m.cpu = gone.whole(0, 1);
            m.slot = gone.whole(0, 2);
            m.stopped = gone.flag(0, 3);
            m.address = gone.text(0, 4);
            for (const char* sql : kDeletes) c.query(sql).bind(":id", id).run();
        }
        if (!removed.empty()) takeNumber(c, "removals"), takeNumber(c, "slot_change");
        return removed;
    });
}

// Clearing is a move to no address: the next record's address is taken.
std::optional<std::string> PostgresStore::clearAddress(long long machineId, long long now)
{
    return moveAddress(machineId, "", now);
}

bool PostgresStore::muteMachine(long long machineId, long long until)
{
    return writing([&](PgConnection& c) {
        const bool found = c.query("UPDATE machines SET muted_until = :until WHERE id = :id")
                               .bind(":id", machineId).bind(":until", until).run().changed() > 0;
        if (found) markChanged(c, machineId); // the fleet's views and the alert engine read it from there
        return found;
    });
}

std::vector<ReportRow> PostgresStore::history(long long machineId, long long since, long long until, int most)
{
    return reading([&](PgConnection& c) {
        const long long count =
            c.query("SELECT count(*) FROM reports WHERE machine_id = :machine AND at >= :since AND at <= :until")
                .bind(":machine", machineId).bind(":since", since).bind(":until", until).run().integer(0, 0);
        // More than MOST: the last report of each of MOST equal spans, so the
        // answer is bounded whatever a sender reported.
        const std::string sql =
            count <= most
                ? std::string(kReportColumns) + " WHERE machine_id = :machine AND at >= :since AND at <= :until"
                                                " ORDER BY at, id LIMIT :most"
                : "SELECT at, progress, unit, in_tray, stopped, silent_from FROM (SELECT DISTINCT ON"
                  " ((at - :since) * :most / (:until - :since + 1)) * FROM reports"
                  " WHERE machine_id = :machine AND at >= :since AND at <= :until"
                  " ORDER BY (at - :since) * :most / (:until - :since + 1), id DESC) spans ORDER BY at, id";
        const PgRows s = c.query(sql).bind(":machine", machineId).bind(":since", since).bind(":until", until)
                             .bind(":most", static_cast<long long>(most)).run();
        std::vector<ReportRow> rows;
        for (int i = 0; i < s.size(); ++i) rows.push_back(reportRow(s, i));
        return rows;
    });
}

std::optional<ReportRow> PostgresStore::reportBefore(long long machineId, long long at)
{
    return reading([&](PgConnection& c) -> std::optional<ReportRow> {
        const PgRows s = c.query(std::string(kReportColumns) + " WHERE machine_id = :machine AND at < :at"
                                                               " ORDER BY at DESC, id DESC LIMIT 1")
                             .bind(":machine", machineId).bind(":at", at).run();
        if (s.empty()) return std::nullopt;
        return reportRow(s, 0);
    });
}

long long PostgresStore::thinOldestReports(int most)
{
    return writing([&](PgConnection& c) {
        const long long removed =
            c.query("DELETE FROM reports WHERE id IN (SELECT r.id FROM reports r LEFT JOIN machines m"
                    " ON m.id = r.machine_id WHERE r.at < coalesce(m.last_seen - 86400, r.at + 1)"
                    " ORDER BY r.id LIMIT :most)")
                .bind(":most", static_cast<long long>(most)).run().changed();
        // The rows' count in the statistics at this commit, not a second
        // later: the store's bound reads its size from them (sizeBytes).
        if (c.serverVersion() >= 150000) c.execute("SELECT pg_stat_force_next_flush()");
        return removed;
    });
}

} // namespace pelmora::server
