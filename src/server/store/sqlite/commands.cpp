#include "server/store/sqlite/sqlite_store.h"

#include <sqlite3.h>

#include "server/store/sqlite/reader.h"
#include "server/store/sqlite/statement.h"

namespace pelmora::server {
namespace {
CommandRow readCommand(const Statement& s)
{
    CommandRow c;
    c.id = s.integer(0);
    c.machineId = s.integer(1);
    c.command = s.text(2);
    c.state = s.text(3);
    c.requestedAt = s.integer(4);
    c.requestedBy = s.text(5);
    c.deliveredAt = s.integer(6);
    c.cancelledAt = s.integer(7);
    c.cancelledBy = s.text(8);
    c.deliveredTo = s.text(9);
    return c;
}

constexpr const char* kCommandColumns =
    "SELECT id, machine_id, command, state, requested_at, requested_by, delivered_at, cancelled_at, cancelled_by,"
    " delivered_to FROM commands ";
} // namespace

void SqliteStore::undeliver(long long commandId)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    Transaction t(writer_);
    // Unless a newer one was queued meanwhile: that one is the machine's one pending command.
    Statement s(writer_, "UPDATE commands SET state = 'pending', delivered_at = NULL, delivered_to = NULL"
                         " WHERE id = :id AND state = 'delivered' AND NOT EXISTS (SELECT 1 FROM commands newer"
                         " WHERE newer.machine_id = commands.machine_id AND newer.state = 'pending')");
    s.bind(":id", commandId).run();
    Statement machine(writer_, "SELECT machine_id FROM commands WHERE id = :id");
    if (machine.bind(":id", commandId).step()) markChanged(machine.integer(0));
    t.commit();
}

std::optional<CommandRow> SqliteStore::commandById(sqlite3* db, long long id)
{
    Statement s(db, (std::string(kCommandColumns) + "WHERE id = :id").c_str());
    s.bind(":id", id);
    if (!s.step()) return std::nullopt;
    return readCommand(s);
}

std::optional<CommandRow> SqliteStore::queueCommand(long long machineId, const std::string& command,
                                                    const std::string& by, long long now)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    Transaction t(writer_);
    {
        Statement known(writer_, "SELECT 1 FROM machines WHERE id = :machine");
        if (!known.bind(":machine", machineId).step()) return std::nullopt;
    }
    Statement replace(writer_, "UPDATE commands SET state = 'cancelled', cancelled_at = :now, cancelled_by = :by"
                               " WHERE machine_id = :machine AND state = 'pending'");
    replace.bind(":machine", machineId).bind(":now", now).bind(":by", "replaced by " + command + " from " + by).run();
    markChanged(machineId);
    Statement insert(writer_, "INSERT INTO commands (machine_id, command, state, requested_at, requested_by)"
                              " VALUES (:machine, :command, 'pending', :now, :by)");
    insert.bind(":machine", machineId).bind(":command", command).bind(":now", now).bind(":by", by).run();
    const long long id = sqlite3_last_insert_rowid(writer_);
    t.commit();
    return commandById(writer_, id);
}

std::optional<CommandRow> SqliteStore::cancelCommand(long long machineId, long long commandId, const std::string& by,
                                                     long long now)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    Transaction t(writer_);
    if (machineId == 0 && commandId == 0) return std::nullopt; // neither named
    long long id = 0;
    {
        Statement find(writer_, "SELECT id, machine_id FROM commands WHERE (:machine = 0 OR machine_id = :machine)"
                                " AND state = 'pending' AND (:id = 0 OR id = :id)");
        if (!find.bind(":machine", machineId).bind(":id", commandId).step()) return std::nullopt;
        id = find.integer(0);
        machineId = find.integer(1);
    }
    Statement cancel(writer_, "UPDATE commands SET state = 'cancelled', cancelled_at = :now, cancelled_by = :by"
                              " WHERE id = :id");
    cancel.bind(":id", id).bind(":now", now).bind(":by", by).run();
    markChanged(machineId);
    t.commit();
    return commandById(writer_, id);
}

std::vector<CommandRow> SqliteStore::commands(long long machineId, int limit)
{
    Reader reader = borrowReader();
    Statement s(reader.db(), (std::string(kCommandColumns) + "WHERE machine_id = :machine ORDER BY id DESC LIMIT :limit").c_str());
    s.bind(":machine", machineId).bind(":limit", limit);
    std::vector<CommandRow> rows;
    while (s.step()) rows.push_back(readCommand(s));
    return rows;
}

} // namespace pelmora::server
