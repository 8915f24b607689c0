// The lease on the team's duties in the PostgreSQL store.
#include "server/store/postgres/postgres_store.h"

namespace pelmora::server {

bool PostgresStore::holdLease(const std::string& holder, int seconds)
{
    // One statement on a reader's connection, committed by itself: a renewal
    // never waits behind the writer's queue of exchanges. Taken when it is
    // ours or has run out, on the database's clock, so the servers' clocks
    // need not agree.
    return reading([&](PgConnection& c) {
        return !c.query("INSERT INTO duty_lease (id, holder, expires)"
                        " VALUES (1, :holder, now() + make_interval(secs => :seconds))"
                        " ON CONFLICT (id) DO UPDATE SET holder = excluded.holder, expires = excluded.expires"
                        " WHERE duty_lease.holder = excluded.holder OR duty_lease.expires <= now()"
                        " RETURNING holder")
                    .bind(":holder", holder).bind(":seconds", seconds).run().empty();
    });
}

} // namespace pelmora::server
