#include "server/store/postgres/postgres_store.h"

namespace pelmora::server {

void PostgresStore::addSession(const SessionRow& session)
{
    writing([&](PgConnection& c) {
        c.query("INSERT INTO sessions (id, role, csrf, expires) VALUES (:id, :role, :csrf, :expires)")
            .bind(":id", session.id).bind(":role", session.role).bind(":csrf", session.csrf)
            .bind(":expires", session.expires).run();
    });
}

std::optional<SessionRow> PostgresStore::session(const std::string& id, long long now)
{
    return reading([&](PgConnection& c) -> std::optional<SessionRow> {
        const PgRows s = c.query("SELECT role, csrf, expires FROM sessions WHERE id = :id AND expires > :now")
                             .bind(":id", id).bind(":now", now).run();
        if (s.empty()) return std::nullopt;
        return SessionRow{id, s.text(0, 0), s.text(0, 1), s.integer(0, 2)};
    });
}

void PostgresStore::removeSessions(const std::string& id, long long expiredBy)
{
    writing([&](PgConnection& c) {
        c.query("DELETE FROM sessions WHERE id = :id OR expires <= :expired_by")
            .bind(":id", id).bind(":expired_by", expiredBy).run();
    });
}

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
