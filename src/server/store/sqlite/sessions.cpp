#include "server/store/sqlite/sqlite_store.h"

#include "server/store/sqlite/reader.h"
#include "server/store/sqlite/statement.h"

namespace pelmora::server {

void SqliteStore::addSession(const SessionRow& session)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    Statement s(writer_, "INSERT INTO sessions (id, role, csrf, expires) VALUES (:id, :role, :csrf, :expires)");
    s.bind(":id", session.id).bind(":role", session.role).bind(":csrf", session.csrf)
        .bind(":expires", session.expires).run();
}

std::optional<SessionRow> SqliteStore::session(const std::string& id, long long now)
{
    Reader reader = borrowReader();
    Statement s(reader.db(), "SELECT role, csrf, expires FROM sessions WHERE id = :id AND expires > :now");
    if (!s.bind(":id", id).bind(":now", now).step()) return std::nullopt;
    return SessionRow{id, s.text(0), s.text(1), s.integer(2)};
}

void SqliteStore::removeSessions(const std::string& id, long long expiredBy)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    Statement s(writer_, "DELETE FROM sessions WHERE id = :id OR expires <= :expired_by");
    s.bind(":id", id).bind(":expired_by", expiredBy).run();
}

} // namespace pelmora::server
