// The admin's sessions, in either store.
#include "server/store/common/queries.h"

namespace pelmora::server::sql {

void addSession(Connection& c, const SessionRow& session)
{
    c.query("INSERT INTO sessions (id, role, csrf, expires) VALUES (:id, :role, :csrf, :expires)")
        ->bind(":id", session.id).bind(":role", session.role).bind(":csrf", session.csrf)
        .bind(":expires", session.expires).run();
}

std::optional<SessionRow> session(Connection& c, const std::string& id, long long now)
{
    const auto s = c.query("SELECT role, csrf, expires FROM sessions WHERE id = :id AND expires > :now");
    if (!s->bind(":id", id).bind(":now", now).step()) return std::nullopt;
    return SessionRow{id, s->text(0), s->text(1), s->integer(2)};
}

void removeSessions(Connection& c, const std::string& id, long long expiredBy)
{
    c.query("DELETE FROM sessions WHERE id = :id OR expires <= :expired_by")
        ->bind(":id", id).bind(":expired_by", expiredBy).run();
}

} // namespace pelmora::server::sql
