#include "server/store/postgres/postgres_store.h"

namespace pelmora::server {

// One statement: the row inserted, or the one there kept and returned (a
// server that lost the race waits for the winner's commit, then reads its token).
std::optional<std::string> PostgresStore::sharedAdminToken(const std::string& made)
{
    return writing([&](PgConnection& c) -> std::optional<std::string> {
        return c.query("INSERT INTO settings (name, value) VALUES ('admin_token', :made)"
                       " ON CONFLICT (name) DO UPDATE SET value = settings.value RETURNING value")
            .bind(":made", made).committing().run().text(0, 0);
    });
}

} // namespace pelmora::server
