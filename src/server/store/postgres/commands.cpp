#include "server/store/postgres/postgres_store.h"

namespace pelmora::server {
namespace {
CommandRow readCommand(const PgRows& s, int i)
{
    CommandRow c;
    c.id = s.integer(i, 0);
    c.machineId = s.integer(i, 1);
    c.command = s.text(i, 2);
    c.state = s.text(i, 3);
    c.requestedAt = s.integer(i, 4);
    c.requestedBy = s.text(i, 5);
    c.deliveredAt = s.integer(i, 6);
    c.cancelledAt = s.integer(i, 7);
    c.cancelledBy = s.text(i, 8);
    c.deliveredTo = s.text(i, 9);
    return c;
}

constexpr const char* kCommandColumns =
    "SELECT id, machine_id, command, state, requested_at, requested_by, delivered_at, cancelled_at, cancelled_by,"
    " delivered_to FROM commands ";
} // namespace

std::optional<CommandRow> PostgresStore::commandById(PgConnection& c, long long id)
{
    const PgRows s = c.query(std::string(kCommandColumns) + "WHERE id = :id").bind(":id", id).run();
    if (s.empty()) return std::nullopt;
    return readCommand(s, 0);
}

void PostgresStore::undeliver(long long commandId)
{
    writing([&](PgConnection& c) {
        const PgRows machine = c.query("SELECT machine_id FROM commands WHERE id = :id").bind(":id", commandId).run();
        if (machine.empty()) return;
        lockMachine(c, machine.integer(0, 0));
        // Unless a newer one was queued meanwhile: that one is the machine's one pending command.
        c.query("UPDATE commands SET state = 'pending', delivered_at = NULL, delivered_to = NULL"
                " WHERE id = :id AND state = 'delivered' AND NOT EXISTS (SELECT 1 FROM commands newer"
                " WHERE newer.machine_id = commands.machine_id AND newer.state = 'pending')")
            .bind(":id", commandId).run();
        markChanged(c, machine.integer(0, 0));
    });
}

std::optional<CommandRow> PostgresStore::queueCommand(long long machineId, const std::string& command,
                                                      const std::string& by, long long now)
{
    return writing([&](PgConnection& c) -> std::optional<CommandRow> {
        // Locked first: an exchange of this machine through another server waits, or comes first.
        if (c.query("SELECT 1 FROM machines WHERE id = :machine FOR UPDATE").bind(":machine", machineId).run().empty())
            return std::nullopt;
        c.query("UPDATE commands SET state = 'cancelled', cancelled_at = :now, cancelled_by = :by"
                " WHERE machine_id = :machine AND state = 'pending'")
            .bind(":machine", machineId).bind(":now", now).bind(":by", "replaced by " + command + " from " + by).run();
        markChanged(c, machineId);
        const long long id = c.query("INSERT INTO commands (machine_id, command, state, requested_at, requested_by)"
                                     " VALUES (:machine, :command, 'pending', :now, :by) RETURNING id")
                                 .bind(":machine", machineId).bind(":command", command).bind(":now", now)
                                 .bind(":by", by).run().integer(0, 0);
        return commandById(c, id);
    });
}

std::optional<CommandRow> PostgresStore::cancelCommand(long long machineId, long long commandId,
                                                       const std::string& by, long long now)
{
    if (machineId == 0 && commandId == 0) return std::nullopt; // neither named
    return writing([&](PgConnection& c) -> std::optional<CommandRow> {
        const PgRows find = c.query("SELECT id, machine_id FROM commands WHERE (:machine = 0 OR machine_id = :machine)"
                                    " AND state = 'pending' AND (:id = 0 OR id = :id)")
                                .bind(":machine", machineId).bind(":id", commandId).run();
        if (find.empty()) return std::nullopt;
        const long long id = find.integer(0, 0), machine = find.integer(0, 1);
        lockMachine(c, machine);
        // Still pending once the machine is ours: an exchange may have delivered it meanwhile.
        if (c.query("UPDATE commands SET state = 'cancelled', cancelled_at = :now, cancelled_by = :by"
                    " WHERE id = :id AND state = 'pending'")
                .bind(":id", id).bind(":now", now).bind(":by", by).run().changed() == 0)
            return std::nullopt;
        markChanged(c, machine);
        return commandById(c, id);
    });
}

std::vector<CommandRow> PostgresStore::commands(long long machineId, int limit)
{
    return reading([&](PgConnection& c) {
        const PgRows s = c.query(std::string(kCommandColumns) + "WHERE machine_id = :machine ORDER BY id DESC"
                                                                " LIMIT :limit")
                             .bind(":machine", machineId).bind(":limit", limit).run();
        std::vector<CommandRow> rows;
        for (int i = 0; i < s.size(); ++i) rows.push_back(readCommand(s, i));
        return rows;
    });
}

} // namespace pelmora::server
