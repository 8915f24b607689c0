// The machines' last statuses in the PostgreSQL store; the points history
// and the rest of the status changes are common/points.cpp's.
#include "server/store/postgres/postgres_store.h"

namespace pelmora::server {

std::vector<StatusEvent> PostgresStore::lastStatuses()
{
    return reading([](PgConnection& c) {
        const PgRows s = c.query("SELECT DISTINCT ON (machine_id) machine_id, at, status FROM status_events"
                                 " ORDER BY machine_id, id DESC").run();
        std::vector<StatusEvent> out;
        for (int i = 0; i < s.size(); ++i) out.push_back({s.integer(i, 0), s.integer(i, 1), s.text(i, 2)});
        return out;
    });
}

} // namespace pelmora::server
