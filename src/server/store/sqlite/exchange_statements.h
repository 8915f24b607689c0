// The statements of a monitor's exchange, prepared once on the writer.
#pragma once

#include <string>

#include "server/store/exchange_rule.h"
#include "server/store/sqlite/sqlite_store.h"
#include "server/store/sqlite/statement.h"

namespace pelmora::server {

struct SqliteStore::Prepared {
    // The update of a known machine's row; slotColumns sets its slot and
    // whether it stopped, which its slot index's entry hangs on.
    static std::string updateSql(const std::string& slotColumns)
    {
        return "UPDATE machines SET " + slotColumns + " " + assignments(recordColumns()) + ", " +
               assignments(decidedColumns()) + ", last_seen = :now, change = :change_number,"
               " history_rowid = CASE WHEN :history_write THEN :history_rowid ELSE history_rowid END,"
               " history_at = CASE WHEN :history_write THEN :now ELSE history_at END,"
               " history_second = CASE WHEN :history_write THEN :history_second ELSE history_second END"
               " WHERE id = :id";
    }

    explicit Prepared(sqlite3* db)
        : findMachine(db, ("SELECT " + foundColumnList("", false) + " FROM machines WHERE name = :name AND cpu = :cpu")
                              .c_str()),
          insertMachine(db, ("INSERT INTO machines (name, cpu, slot, stopped, " + columnNames(recordColumns()) + ", " +
                             columnNames(decidedColumns()) + ", first_seen, last_seen, change) VALUES (:name, :cpu,"
                             " :slot, :stopped, " + columnNames(recordColumns(), true) + ", " +
                             columnNames(decidedColumns(), true) + ", :now, :now, :change_number)"
                             // A first report of the same machine through another writer won: this one updates it.
                             " ON CONFLICT (name, cpu) DO NOTHING").c_str()),
          updateMachine(db, updateSql("slot = :slot, stopped = :stopped,").c_str()),
          // Most exchanges: the slot index's entry is left as it is, not taken out and put back.
          updateMachineKeepingSlot(db, updateSql("").c_str()),
          insertReport(db, "INSERT INTO reports (machine_id, at, progress, unit, in_tray, stopped, silent_from)"
                           " VALUES (:machine, :now, :progress, :unit, :in_tray, :stopped, :silent_from)"),
          pendingCommand(db, "SELECT id, command FROM commands WHERE machine_id = :machine AND state = 'pending'"),
          deliver(db, "UPDATE commands SET state = 'delivered', delivered_at = :now, delivered_to = :address"
                      " WHERE id = :id"),
          dropExit(db, "UPDATE commands SET state = 'cancelled', cancelled_at = :now, cancelled_by = :by"
                       " WHERE machine_id = :machine AND state = 'pending' AND command = 'exit'"),
          countReport(db, "UPDATE totals SET value = value + :count WHERE name = 'reports'"),
          countClamped(db, "UPDATE totals SET value = value + :count WHERE name = 'records_clamped'"),
          // One look for a whole group, on the index of the pending commands
          // alone (the planner would rather scan every command ever given).
          anyPending(db, "SELECT 1 FROM commands INDEXED BY commands_one_pending WHERE state = 'pending' LIMIT 1"),
          // The machine and the time too: a row thinned away may have given its rowid to another's.
          updateReport(db, "UPDATE reports SET at = :now, progress = :progress, unit = :unit, in_tray = :in_tray,"
                           " stopped = :stopped, silent_from = max(silent_from, :silent_from)"
                           " WHERE rowid = :rowid AND machine_id = :machine AND at = :at"),
          markHistory(db, "UPDATE machines SET history_rowid = :rowid, history_at = :now, history_second = :second"
                          " WHERE id = :id"),
          // Not RETURNING: that costs a statement journal at every exchange.
          bumpCounter(db, "UPDATE totals SET value = value + 1 WHERE name = :name"),
          readCounter(db, "SELECT value FROM totals WHERE name = :name"),
          countMachines(db, "SELECT count(*) FROM machines"),
          slotHeld(db, "SELECT 1 FROM machines WHERE slot = :slot AND slot != 0 AND stopped = 0 AND id != :id LIMIT 1")
    {
    }
    Statement findMachine, insertMachine, updateMachine, updateMachineKeepingSlot, insertReport, pendingCommand, deliver, dropExit,
        countReport, countClamped, anyPending, updateReport, markHistory, bumpCounter, readCounter, countMachines, slotHeld;
};

struct SqliteStore::SlotReader {
    explicit SlotReader(sqlite3* connection)
        : db(connection), change(db, "SELECT value FROM totals WHERE name = 'slot_change'"),
          // Each slot held once, on the slots' index.
          held(db, "SELECT DISTINCT slot FROM machines WHERE stopped = 0 AND slot != 0")
    {
    }
    ~SlotReader() { sqlite3_close_v2(db); } // closed once the statements below are finalized
    sqlite3* db;
    Statement change, held;
};

} // namespace pelmora::server
