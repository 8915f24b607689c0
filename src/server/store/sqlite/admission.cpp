// Admission in the SQLite store: the waiting list of new identities, their
// approval into machines, and a pinned machine's address moved or its
// refused sender remembered.
#include <sqlite3.h>

#include "server/store/sqlite/admission_statements.h"
#include "server/store/sqlite/reader.h"
#include "server/store/sqlite/sqlite_store.h"
#include "server/store/sqlite/statement.h"

namespace pelmora::server {
namespace {

WaitingRow waitingRow(const Statement& s)
{
    return {s.integer(0), s.text(1),    s.whole(2),   s.text(3),    s.whole(4), s.text(5),
            s.text(6),    s.integer(7), s.integer(8), s.text(9), s.integer(10)};
}

constexpr const char* kWaitingColumns = "SELECT id, name, cpu, user, team, unit, address, first_seen, last_seen,"
                                        " other_address, other_at FROM waiting ";

} // namespace

void SqliteStore::putWaiting(const MonitorRecord& r, long long now, const ExchangeRules& rules,
                                  ExchangeResult& result)
{
    Admission& a = *admission_;
    Statement& find = a.findWaiting.reset().bind(":name", r.computerName).bind(":cpu", r.cpu);
    if (find.step()) { // known already
        result.waitingId = find.integer(0);
        const std::string first = find.text(1);
        find.reset();
        result.waiting = true, result.refused = refusal::kWaiting;
        if (first.empty() || first == rules.address) {
            a.touchWaiting.reset().bind(":id", result.waitingId).bind(":user", r.user).bind(":team", r.team)
                .bind(":unit", r.unit).bind(":address", rules.address).bind(":now", now).run();
        } else {
            result.oldAddress = first, result.addressChanged = true;
            a.noteOtherSender.reset().bind(":id", result.waitingId).bind(":address", rules.address)
                .bind(":now", now).bind(":due_up_to", notesReplaceableUpTo(now)).run();
        }
        return;
    }
    if (!rules.mayAddMachine) {
        result.refused = refusal::kTooManyNew;
        return;
    }
    // Counted in the transaction: every writer's rows count.
    a.countWaiting.reset().step();
    const long long count = a.countWaiting.integer(0);
    a.countWaiting.reset();
    for (long long over = rules.maxWaiting > 0 ? count - rules.maxWaiting + 1 : 0; over > 0; --over)
        a.dropOneWaiting.reset().run();
    a.insertWaiting.reset().bind(":name", r.computerName).bind(":cpu", r.cpu).bind(":user", r.user)
        .bind(":team", r.team).bind(":unit", r.unit).bind(":address", rules.address).bind(":now", now).run();
    result.waitingId = sqlite3_last_insert_rowid(writer_);
    result.waiting = result.newMachine = true, result.refused = refusal::kWaiting;
}

void SqliteStore::noteRefusedAddress(long long machineId, const std::string& address, long long now)
{
    admission_->noteRefused.reset().bind(":id", machineId).bind(":address", address).bind(":now", now).run();
    markChanged(machineId);
}

std::optional<std::string> SqliteStore::moveAddress(long long machineId, const std::string& address, long long now)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    Transaction t(writer_);
    Statement find(writer_, "SELECT address FROM machines WHERE id = :id");
    if (!find.bind(":id", machineId).step()) return std::nullopt;
    const std::string old = find.text(0);
    find.reset();
    Statement move(writer_, "UPDATE machines SET previous_address = CASE WHEN address IN ('', :address)"
                            " THEN previous_address ELSE address END, address_changed_at = :now, address = :address,"
                            " refused_address = CASE WHEN refused_address = :address THEN '' ELSE refused_address END,"
                            " refused_at = CASE WHEN refused_address = :address THEN 0 ELSE refused_at END"
                            " WHERE id = :id");
    move.bind(":id", machineId).bind(":address", address).bind(":now", now).run();
    markChanged(machineId);
    t.commit();
    return old;
}

std::vector<WaitingRow> SqliteStore::waiting()
{
    Reader reader = borrowReader();
    Statement s(reader.db(), (std::string(kWaitingColumns) + "ORDER BY first_seen, id").c_str());
    std::vector<WaitingRow> rows;
    while (s.step()) rows.push_back(waitingRow(s));
    return rows;
}

Approval SqliteStore::approve(const std::vector<long long>& ids, long long maxMachines, long long now,
                             const std::string& address)
{
    Approval out;
    std::lock_guard<std::mutex> lock(writeMutex_);
    Transaction t(writer_);
    Statement find(writer_, (std::string(kWaitingColumns) + "WHERE id = :id").c_str());
    Statement known(writer_, "SELECT id FROM machines WHERE name = :name AND cpu = :cpu");
    // Served as any machine from its next record on, which fills in the
    // rest: its progress is not known until then, so it has no pace marks
    // (pace_rule.h), and its first report starts them.
    Statement insert(writer_, "INSERT INTO machines (name, cpu, slot, user, team, unit, progress, core, frames, points,"
                              " units_seen, cpu_mhz, cpu_vendor, in_tray, stopped, first_seen, last_seen, unit_since,"
                              " unit_first_progress, changed_at, change, pace_at, pace_progress, pace_next_at,"
                              " pace_next_progress, address, resumed_at) VALUES (:name, :cpu, 0, :user, :team, :unit,"
                              " 0, '', 0, 0, 0, 0, '', 0, 0, :now, :last, :last, 0, :last, :change_number, 0, 0, 0, 0,"
                              " :address, :last)");
    Statement drop(writer_, "DELETE FROM waiting WHERE id = :id");
    long long added = 0;
    long long machines = 0;
    {
        Statement count(writer_, "SELECT count(*) FROM machines"); // in the transaction: every writer's count
        if (count.step()) machines = count.integer(0);
    }
    for (const long long id : ids) {
        if (!find.reset().bind(":id", id).step()) continue;
        const WaitingRow w = waitingRow(find);
        find.reset();
        MachineRow m;
        m.name = w.name, m.cpu = w.cpu, m.user = w.user, m.team = w.team, m.unit = w.unit;
        m.address = address.empty() ? w.address : address, m.lastSeen = w.lastSeen;
        if (known.reset().bind(":name", w.name).bind(":cpu", w.cpu).step()) {
            m.id = known.integer(0); // made a machine meanwhile (while admission was open)
            known.reset();
        } else if (maxMachines > 0 && machines + added >= maxMachines) {
            out.refused.push_back(w);
            continue;
        } else {
            insert.reset().bind(":name", w.name).bind(":cpu", w.cpu).bind(":user", w.user).bind(":team", w.team)
                .bind(":unit", w.unit).bind(":address", m.address).bind(":now", now).bind(":last", w.lastSeen)
                .bind(":change_number", takeNumber("machine_change")).run();
            m.id = sqlite3_last_insert_rowid(writer_);
            ++added;
        }
        drop.reset().bind(":id", id).run();
        out.approved.push_back(m);
    }
    t.commit();
    return out;
}

} // namespace pelmora::server
