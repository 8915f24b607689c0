// The statements of admission on a monitor's exchange (a waiting identity's
// record, a pinned machine's refused sender), prepared once on the writer.
#pragma once

#include "server/store/sqlite/sqlite_store.h"
#include "server/store/sqlite/statement.h"

namespace pelmora::server {

struct SqliteStore::Admission {
    explicit Admission(sqlite3* db)
        : touchWaiting(db, "UPDATE waiting SET user = :user, team = :team, unit = :unit, address = :address,"
                           " last_seen = :now WHERE name = :name AND cpu = :cpu RETURNING id"),
          insertWaiting(db, "INSERT INTO waiting (name, cpu, user, team, unit, address, first_seen, last_seen)"
                            " VALUES (:name, :cpu, :user, :team, :unit, :address, :now, :now)"),
          dropOldestWaiting(db, "DELETE FROM waiting WHERE id IN"
                                " (SELECT id FROM waiting ORDER BY last_seen, id LIMIT :count)"),
          // A flood, from however many addresses, changes the machine (and so
          // the fleet's views) at most once a minute.
          noteRefused(db, "UPDATE machines SET refused_address = :address, refused_at = :now"
                          " WHERE id = :id AND refused_at <= :now - 60"),
          countWaiting(db, "SELECT count(*) FROM waiting")
    {
    }
    Statement touchWaiting, insertWaiting, dropOldestWaiting, noteRefused, countWaiting;
};

} // namespace pelmora::server
