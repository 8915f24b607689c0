// The machines' last statuses in the SQLite store; the points history and
// the rest of the status changes are common/points.cpp's.
#include "server/store/sqlite/sqlite_store.h"

#include "server/store/sqlite/reader.h"
#include "server/store/sqlite/statement.h"

namespace pelmora::server {

std::vector<StatusEvent> SqliteStore::lastStatuses()
{
    Reader reader = borrowReader();
    Statement s(reader.db(), "SELECT machine_id, at, status FROM status_events WHERE id IN"
                             " (SELECT max(id) FROM status_events GROUP BY machine_id)");
    std::vector<StatusEvent> out;
    while (s.step()) out.push_back({s.integer(0), s.integer(1), s.text(2)});
    return out;
}

} // namespace pelmora::server
