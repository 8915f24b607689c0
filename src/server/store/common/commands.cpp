// The machines' commands, in either store.
#include "server/store/common/queries.h"

namespace pelmora::server::sql {
namespace {
CommandRow readCommand(const Query& s)
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

long long counter(Connection& c, const char* name)
{
    const auto s = c.query("SELECT value FROM totals WHERE name = :name");
    return s->bind(":name", std::string(name)).step() ? s->integer(0) : 0;
}

void lockMachine(Connection& c, long long machineId)
{
    if (*c.dialect().forUpdate)
        c.query(std::string("SELECT 1 FROM machines WHERE id = :id") + c.dialect().forUpdate)->bind(":id", machineId).run();
}

std::optional<CommandRow> commandById(Connection& c, long long id)
{
    const auto s = c.query(std::string(kCommandColumns) + "WHERE id = :id");
    if (!s->bind(":id", id).step()) return std::nullopt;
    return readCommand(*s);
}

std::vector<CommandRow> commands(Connection& c, long long machineId, int limit)
{
    const auto s = c.query(std::string(kCommandColumns) + "WHERE machine_id = :machine ORDER BY id DESC LIMIT :limit");
    s->bind(":machine", machineId).bind(":limit", limit);
    std::vector<CommandRow> rows;
    while (s->step()) rows.push_back(readCommand(*s));
    return rows;
}

std::optional<CommandRow> queueCommand(Connection& c, const MarkChanged& markChanged, long long machineId,
                                       const std::string& command, const std::string& by, long long now)
{
    // Locked first: an exchange of this machine through another server waits, or comes first.
    if (!c.query(std::string("SELECT 1 FROM machines WHERE id = :machine") + c.dialect().forUpdate)
             ->bind(":machine", machineId).step())
        return std::nullopt;
    c.query("UPDATE commands SET state = 'cancelled', cancelled_at = :now, cancelled_by = :by"
            " WHERE machine_id = :machine AND state = 'pending'")
        ->bind(":machine", machineId).bind(":now", now).bind(":by", "replaced by " + command + " from " + by).run();
    markChanged(machineId);
    const long long id = c.query(std::string("INSERT INTO commands (machine_id, command, state, requested_at,"
                                             " requested_by) VALUES (:machine, :command, 'pending', :now, :by)") +
                                 c.dialect().returningId)
                             ->bind(":machine", machineId).bind(":command", command).bind(":now", now)
                             .bind(":by", by).insert();
    return commandById(c, id);
}

std::optional<CommandRow> cancelCommand(Connection& c, const MarkChanged& markChanged, long long machineId,
                                        long long commandId, const std::string& by, long long now)
{
    long long id = 0;
    {
        const auto find = c.query("SELECT id, machine_id FROM commands WHERE (:machine = 0 OR machine_id = :machine)"
                                  " AND state = 'pending' AND (:id = 0 OR id = :id)");
        if (!find->bind(":machine", machineId).bind(":id", commandId).step()) return std::nullopt;
        id = find->integer(0);
        machineId = find->integer(1);
    }
    lockMachine(c, machineId);
    // Still pending once the machine is ours: an exchange may have delivered it meanwhile.
    if (c.query("UPDATE commands SET state = 'cancelled', cancelled_at = :now, cancelled_by = :by"
                " WHERE id = :id AND state = 'pending'")
            ->bind(":id", id).bind(":now", now).bind(":by", by).run() == 0)
        return std::nullopt;
    markChanged(machineId);
    return commandById(c, id);
}

void undeliver(Connection& c, const MarkChanged& markChanged, long long commandId)
{
    long long machineId = 0;
    {
        const auto machine = c.query("SELECT machine_id FROM commands WHERE id = :id");
        if (!machine->bind(":id", commandId).step()) return;
        machineId = machine->integer(0);
    }
    lockMachine(c, machineId);
    // Unless a newer one was queued meanwhile: that one is the machine's one pending command.
    c.query("UPDATE commands SET state = 'pending', delivered_at = NULL, delivered_to = NULL"
            " WHERE id = :id AND state = 'delivered' AND NOT EXISTS (SELECT 1 FROM commands newer"
            " WHERE newer.machine_id = commands.machine_id AND newer.state = 'pending')")
        ->bind(":id", commandId).run();
    markChanged(machineId);
}

} // namespace pelmora::server::sql
