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

} // namespace pelmora::server
