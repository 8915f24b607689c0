#include "server/store/sqlite/sqlite_store.h"

#include <algorithm>
#include <bitset>
#include <map>
#include <sqlite3.h>
#include <type_traits>
#include <variant>

#include "protocol/monitor_protocol.h"
#include "server/store/exchange_rule.h"
#include "server/store/machine_fields.h"
#include "server/store/slot_order.h"
#include "server/store/write_batches.h"
#include "server/store/sqlite/exchange_statements.h"
#include "server/store/sqlite/reader.h"
#include "server/store/sqlite/statement.h"

namespace pelmora::server {
namespace {

// The machines' columns of machine_fields.h, in its order.
const std::string& machinesSelect()
{
    static const std::string select = [] {
        std::string columns;
        for (const MachineField& f : kMachineFields)
            if (f.column) columns += std::string(columns.empty() ? "" : ", ") + f.key;
        // Not ordered here: with ORDER BY id SQLite reads every row in id
        // order rather than the few changed ones by their index.
        return "SELECT " + columns + " FROM machines WHERE change > :since";
    }();
    return select;
}

template <class Row>
void readColumn(const Statement& s, int column, const RowMember<Row>& member, Row& m)
{
    std::visit(
        [&](auto field) {
            using Field = decltype(field);
            if constexpr (std::is_same_v<Field, long long Row::*>) m.*field = s.integer(column);
            else if constexpr (std::is_same_v<Field, int Row::*>) m.*field = s.whole(column);
            else if constexpr (std::is_same_v<Field, double Row::*>) m.*field = s.real(column);
            else if constexpr (std::is_same_v<Field, bool Row::*>) m.*field = s.whole(column) != 0;
            else if constexpr (std::is_same_v<Field, std::string Row::*>) m.*field = s.text(column);
        },
        member);
}

ReportRow reportRow(const Statement& s)
{
    return {s.integer(0), s.whole(1), s.text(2), s.whole(3) != 0, s.whole(4) != 0, s.integer(5)};
}

} // namespace

// One transaction for the whole group: the commit, the change number and
// the counters are paid once, and a pending command is looked for only
// when some machine has one.
std::vector<ExchangeResult> SqliteStore::recordReports(const std::vector<ReportWrite>& reports)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    Prepared& p = *prepared_;
    Transaction t(writer_);
    ExchangeGroup group;
    group.commandsPending = p.anyPending.reset().step();
    p.anyPending.reset();
    std::vector<ExchangeResult> results;
    results.reserve(reports.size());
    for (const ReportWrite& w : reports) results.push_back(exchange(w.record, w.now, w.rules, group));
    if (group.reports > 0) p.countReport.reset().bind(":count", group.reports).run();
    if (group.clamped > 0) p.countClamped.reset().bind(":count", group.clamped).run();
    t.commit();
    if (group.slotsMoved) ++slotsMoved_;
    return results;
}

// FIND's row as the exchange reads it.
std::optional<FoundMachine> SqliteStore::findMachine(const MonitorRecord& r)
{
    Statement& find = prepared_->findMachine.reset().bind(":name", r.computerName).bind(":cpu", r.cpu);
    if (!find.step()) return std::nullopt;
    FoundMachine m;
    for (int column = 0; column < kFoundColumnCount; ++column)
        readColumn(find, column, kFoundColumns[column].member, m);
    find.reset();
    return m;
}

// Counted in the transaction: every writer's machines count.
long long SqliteStore::countMachines()
{
    Statement& count = prepared_->countMachines.reset();
    const long long machines = count.step() ? count.integer(0) : 0;
    count.reset();
    return machines;
}

bool SqliteStore::slotHeld(int slot, long long byOtherThan)
{
    Statement& held = prepared_->slotHeld.reset().bind(":slot", slot).bind(":id", byOtherThan);
    const bool found = held.step();
    held.reset();
    return found;
}

// The history row of the record (added, or the last one updated), as
// history_rule.h decides: its rowid, or 0 when it writes none. The
// machine's row is pointed at it by the caller.
long long SqliteStore::writeHistory(long long machineId, const MonitorRecord& r, long long now,
                                    const ExchangeDecision& d)
{
    Prepared& p = *prepared_;
    if (d.history.write == HistoryWrite::none) return 0;
    if (d.history.write == HistoryWrite::update) {
        p.updateReport.reset().bind(":rowid", d.latest.rowId).bind(":machine", machineId).bind(":at", d.latest.at)
            .bind(":now", now).bind(":progress", r.progress).bind(":unit", r.unit).bind(":in_tray", r.inTray)
            .bind(":stopped", r.exiting).bind(":silent_from", d.silentFrom).run();
        if (sqlite3_changes(writer_) > 0) return d.latest.rowId;
    }
    // Added, or the row to update was thinned away meanwhile.
    p.insertReport.reset().bind(":machine", machineId).bind(":now", now).bind(":progress", r.progress)
        .bind(":unit", r.unit).bind(":in_tray", r.inTray).bind(":stopped", r.exiting)
        .bind(":silent_from", d.silentFrom).run();
    return sqlite3_last_insert_rowid(writer_);
}

namespace {

// The record's columns, as both the insert and the updates write them.
void bindRecord(Statement& write, const MonitorRecord& r, long long now, const ExchangeDecision& d,
                long long changeNumber)
{
    if (d.slotColumns) write.bind(":slot", d.result.newSlot).bind(":stopped", r.exiting);
    bindColumns(write, recordColumns(), r);
    bindColumns(write, decidedColumns(), d.row);
    write.bind(":now", now).bind(":change_number", changeNumber);
}

} // namespace

void SqliteStore::updateMachine(const MonitorRecord& r, long long now, const ExchangeDecision& d,
                                ExchangeGroup& group)
{
    Prepared& p = *prepared_;
    // Its history row first, so its row points at it in the one update.
    const long long historyRow = writeHistory(d.result.machineId, r, now, d);
    // Most exchanges leave the slot index's entry as it is.
    Statement& write = (d.slotColumns ? p.updateMachine : p.updateMachineKeepingSlot).reset();
    write.bind(":id", d.result.machineId).bind(":history_write", historyRow != 0).bind(":history_rowid", historyRow)
        .bind(":history_second", d.history.second);
    bindRecord(write, r, now, d, group.changeNumber(*this));
    write.run();
}

// False when a first report of this machine through another writer
// committed between the look and the insert: nothing written.
bool SqliteStore::insertMachine(const MonitorRecord& r, long long now, ExchangeDecision& d, ExchangeGroup& group)
{
    Prepared& p = *prepared_;
    Statement& write = p.insertMachine.reset().bind(":name", r.computerName).bind(":cpu", r.cpu);
    bindRecord(write, r, now, d, group.changeNumber(*this));
    write.run();
    if (sqlite3_changes(writer_) == 0) return false;
    const long long id = d.result.machineId = sqlite3_last_insert_rowid(writer_);
    p.markHistory.reset().bind(":rowid", writeHistory(id, r, now, d)).bind(":now", now)
        .bind(":second", d.history.second).bind(":id", id).run();
    return true;
}

void SqliteStore::giveCommands(ExchangeResult& result, const ExchangeDecision& d, const ExchangeGroup& group,
                               long long now)
{
    Prepared& p = *prepared_;
    if (d.cancelExit) {
        p.dropExit.reset().bind(":machine", result.machineId).bind(":now", now).bind(":by", d.cancelledBy).run();
    } else if (d.deliver && group.commandsPending && p.pendingCommand.reset().bind(":machine", result.machineId).step()) {
        result.commandId = p.pendingCommand.integer(0);
        result.command = protocol::commandByte(p.pendingCommand.text(1));
        p.pendingCommand.reset();
        p.deliver.reset().bind(":id", result.commandId).bind(":now", now);
        if (!d.address.empty()) p.deliver.bind(":address", d.address);
        p.deliver.run();
    }
}

// One record, in the group's transaction: what it refuses it has not written.
ExchangeResult SqliteStore::exchange(const MonitorRecord& r, long long now, const ExchangeRules& rules,
                                     ExchangeGroup& group)
{
    const ExchangeSettings settings{offlineAfter_, historyResolution_};
    // Twice at most: a first report of this machine through another writer
    // may commit between the look and the insert, which then finds it there.
    for (int attempt = 0;; ++attempt) {
        const std::optional<FoundMachine> found = findMachine(r);
        ExchangeDecision d = decideExchange(found, r, rules, now, settings);
        if (d.outcome == ExchangeOutcome::countCap) d = decideExchange(found, r, rules, now, settings, countMachines());
        ExchangeResult& result = d.result;
        if (d.outcome == ExchangeOutcome::waits) putWaiting(r, now, rules, result);
        if (d.noteRefused) noteRefusedAddress(result.machineId, d.address, now);
        if (d.outcome != ExchangeOutcome::write) return result;
        if (d.checkShared) result.slotShared = slotHeld(result.newSlot, result.machineId);
        if (found) {
            updateMachine(r, now, d, group);
        } else if (!insertMachine(r, now, d, group)) {
            if (attempt > 0) throw StoreError("the machine " + r.computerName + " is neither new nor known");
            continue;
        }
        if (d.slotMoved) { // whoever offers slots reads them again
            takeNumber("slot_change");
            group.slotsMoved = true;
        }
        giveCommands(result, d, group, now);
        ++group.reports;
        if (r.clamped) ++group.clamped;
        return result;
    }
}

bool SqliteStore::machineExists(long long id)
{
    Reader reader = borrowReader();
    Statement s(reader.db(), "SELECT 1 FROM machines WHERE id = :id");
    return s.bind(":id", id).step();
}

std::vector<MachineRow> SqliteStore::machines()
{
    long long latest = 0;
    return machinesChangedSince(0, latest);
}

std::vector<MachineRow> SqliteStore::machinesChangedSince(long long since, long long& latest)
{
    latest = since;
    Reader reader = borrowReader();
    // One snapshot for the rows and the number of the last change in them.
    execute(reader.db(), "BEGIN");
    struct End {
        sqlite3* db;
        ~End() { sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); }
    } end{reader.db()};
    // Numbers commit in order (takeNumber), so the snapshot holds every change up to its last number.
    latest = counter(reader.db(), "machine_change");
    if (since != 0 && latest == since) return {}; // nothing written since, by any writer
    // Pending commands are few: read them apart rather than probe for each machine.
    std::map<long long, std::string> pending;
    Statement commands(reader.db(), "SELECT machine_id, command FROM commands WHERE state = 'pending'");
    while (commands.step()) pending[commands.integer(0)] = commands.text(1);
    // From nothing: every row, those of a store older than change numbers
    // (change 0) too.
    const long long from = since == 0 ? -1 : since;
    // Counted first, so the rows are read into their place: under a busy
    // fleet they are most of it, every second (no growing copies).
    Statement count(reader.db(), "SELECT count(*) FROM machines WHERE change > :since");
    count.bind(":since", from);
    std::vector<MachineRow> read;
    read.reserve(count.step() ? static_cast<std::size_t>(count.integer(0)) : 0);
    Statement s(reader.db(), machinesSelect().c_str());
    s.bind(":since", from);
    std::vector<std::pair<long long, std::size_t>> order; // id, place read
    while (s.step()) {
        MachineRow& m = read.emplace_back();
        int column = 0;
        for (const MachineField& f : kMachineFields)
            if (f.column) readColumn(s, column++, f.member, m);
        if (const auto it = pending.find(m.id); it != pending.end()) m.pendingCommand = it->second;
        order.emplace_back(m.id, read.size() - 1);
    }
    // In id order: the ids sorted, then each row moved once.
    std::sort(order.begin(), order.end());
    std::vector<MachineRow> rows;
    rows.reserve(read.size());
    for (const auto& [id, at] : order) rows.push_back(std::move(read[at]));
    return rows;
}

std::vector<int> SqliteStore::heldSlots()
{
    Reader reader = borrowReader();
    Statement s(reader.db(), "SELECT slot FROM machines WHERE slot != 0 AND stopped = 0");
    std::vector<int> slots;
    while (s.step()) slots.push_back(s.whole(0));
    return slots;
}

int SqliteStore::freeSlot(const std::vector<int>& offered)
{
    std::lock_guard<std::mutex> lock(slotsMutex_);
    // Read again only when some writer changed who holds a slot. What the
    // writer has not committed yet is of connections still open, in OFFERED.
    // The only writer (the store's lock is held) tells without a read.
    const long long moved = slotsMoved_;
    if (!shared_ && moved == slotsRead_.moved) return firstFreeSlot(slotsRead_.held, offered);
    slotsRead_.moved = moved;
    Statement& read = slotReader_->change.reset();
    const long long change = read.step() ? read.integer(0) : 0;
    read.reset();
    if (change != slotsRead_.change) {
        slotsRead_.held.reset();
        for (Statement& s = slotReader_->held.reset(); s.step();) slotsRead_.held.set(s.whole(0) & 0xFF);
        slotsRead_.change = change;
    }
    return firstFreeSlot(slotsRead_.held, offered);
}

long long SqliteStore::pruneReports(long long before)
{
    std::vector<long long> ids;
    {
        Reader reader = borrowReader();
        Statement s(reader.db(), "SELECT id FROM machines");
        while (s.step()) ids.push_back(s.integer(0));
    }
    // Machine by machine on the index, in short transactions, so exchanges
    // wait at most for a few hundred small deletes.
    long long removed = 0;
    inBatches(ids.size(), [&](std::size_t start, std::size_t end) {
        std::lock_guard<std::mutex> lock(writeMutex_);
        Transaction t(writer_);
        Statement s(writer_, "DELETE FROM reports WHERE machine_id = :machine AND at < :before");
        for (std::size_t i = start; i < end; ++i) {
            s.reset().bind(":machine", ids[i]).bind(":before", before).run();
            removed += sqlite3_changes(writer_);
        }
        t.commit();
    });
    return removed;
}

std::vector<long long> SqliteStore::silentMachines(long long before, int limit)
{
    Reader reader = borrowReader();
    Statement s(reader.db(), "SELECT id FROM machines WHERE last_seen < :before ORDER BY last_seen LIMIT :limit");
    s.bind(":before", before).bind(":limit", limit);
    std::vector<long long> ids;
    while (s.step()) ids.push_back(s.integer(0));
    return ids;
}

std::vector<MachineRow> SqliteStore::removeMachines(const std::vector<long long>& ids)
{
    std::vector<MachineRow> removed;
    std::lock_guard<std::mutex> lock(writeMutex_);
    Transaction t(writer_);
    Statement find(writer_, "SELECT name, cpu, slot, stopped, address FROM machines WHERE id = :id");
    const char* const kDeletes[] = {
        "DELETE FROM reports WHERE machine_id = :id", "DELETE FROM commands WHERE machine_id = :id",
        "DELETE FROM alerts WHERE machine_id = :id", "DELETE FROM status_events WHERE machine_id = :id",
        "DELETE FROM points_days WHERE kind = 2 AND team = 0 AND subject = CAST(:id AS TEXT)",
        "DELETE FROM machines WHERE id = :id"};
    for (const long long id : ids) {
        if (!find.reset().bind(":id", id).step()) continue;
        MachineRow& m = removed.emplace_back();
        m.id = id;
        m.name = find.text(0);
        m.cpu = find.whole(1);
        m.slot = find.whole(2);
        m.stopped = find.whole(3) != 0;
        m.address = find.text(4);
        find.reset();
        for (const char* sql : kDeletes) Statement(writer_, sql).bind(":id", id).run();
    }
    if (!removed.empty()) takeNumber("removals"), takeNumber("slot_change");
    t.commit();
    if (!removed.empty()) ++slotsMoved_;
    return removed;
}

// Clearing is a move to no address: the next record's address is taken.
std::optional<std::string> SqliteStore::clearAddress(long long machineId, long long now)
{
    return moveAddress(machineId, "", now);
}

bool SqliteStore::muteMachine(long long machineId, long long until)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    Transaction t(writer_);
    Statement mute(writer_, "UPDATE machines SET muted_until = :until WHERE id = :id");
    mute.bind(":id", machineId).bind(":until", until).run();
    if (sqlite3_changes(writer_) == 0) return false;
    markChanged(machineId); // the fleet's views and the alert engine read it from there
    t.commit();
    return true;
}

std::vector<ReportRow> SqliteStore::history(long long machineId, long long since, long long until, int most)
{
    Reader reader = borrowReader();
    long long count = 0;
    {
        Statement s(reader.db(), "SELECT count(*) FROM reports WHERE machine_id = :machine AND at >= :since AND at <= :until");
        if (s.bind(":machine", machineId).bind(":since", since).bind(":until", until).step()) count = s.integer(0);
    }
    // More than MOST: the last report of each of MOST equal spans, so the
    // answer is bounded whatever a sender reported.
    Statement s(reader.db(), count <= most
                                 ? "SELECT at, progress, unit, in_tray, stopped, silent_from FROM reports"
                                   " WHERE machine_id = :machine AND at >= :since AND at <= :until"
                                   " ORDER BY at, rowid LIMIT :most"
                                 : "SELECT at, progress, unit, in_tray, stopped, silent_from, max(rowid) FROM reports"
                                   " WHERE machine_id = :machine AND at >= :since AND at <= :until"
                                   " GROUP BY (at - :since) * :most / (:until - :since + 1) ORDER BY at");
    s.bind(":machine", machineId).bind(":since", since).bind(":until", until).bind(":most", static_cast<long long>(most));
    std::vector<ReportRow> rows;
    while (s.step()) rows.push_back(reportRow(s));
    return rows;
}

std::optional<ReportRow> SqliteStore::reportBefore(long long machineId, long long at)
{
    Reader reader = borrowReader();
    Statement s(reader.db(), "SELECT at, progress, unit, in_tray, stopped, silent_from FROM reports"
                             " WHERE machine_id = :machine AND at < :at ORDER BY at DESC, rowid DESC LIMIT 1");
    if (!s.bind(":machine", machineId).bind(":at", at).step()) return std::nullopt;
    return reportRow(s);
}

long long SqliteStore::thinOldestReports(int most)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    // A removed machine's leftovers go too.
    Statement s(writer_, "DELETE FROM reports WHERE rowid IN (SELECT r.rowid FROM reports r LEFT JOIN machines m"
                         " ON m.id = r.machine_id WHERE r.at < coalesce(m.last_seen - 86400, r.at + 1)"
                         " ORDER BY r.rowid LIMIT :most)");
    s.bind(":most", static_cast<long long>(most)).run();
    return sqlite3_changes(writer_);
}

} // namespace pelmora::server
