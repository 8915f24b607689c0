// The connections the PostgreSQL store lends to sql::SqlStore: through
// reading() and writing(), so with their retries, bounds and outage handling.
#include "server/store/postgres/sql_connection.h"

#include "server/store/postgres/postgres_store.h"

namespace pelmora::server {

void PostgresStore::readSql(const std::function<void(sql::Connection&)>& body)
{
    reading([&](PgConnection& c) {
        PgSqlConnection sc(c);
        body(sc);
    });
}

void PostgresStore::writeSql(const std::function<void(sql::Connection&)>& body)
{
    writing([&](PgConnection& c) {
        PgSqlConnection sc(c);
        body(sc);
    });
}

void PostgresStore::markMachineChanged(sql::Connection& c, long long machineId)
{
    markChanged(static_cast<PgSqlConnection&>(c).connection(), machineId);
}

// The rows' count in the statistics at this commit: the bound reads the size from them.
void PostgresStore::thinned(sql::Connection& c)
{
    PgConnection& pc = static_cast<PgSqlConnection&>(c).connection();
    if (pc.serverVersion() >= 150000) pc.execute("SELECT pg_stat_force_next_flush()");
}

} // namespace pelmora::server
