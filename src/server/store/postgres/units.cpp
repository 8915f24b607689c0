// Late units in the PostgreSQL store, in one round trip; the rest of the
// units' queries are common/units.cpp's.
#include "server/store/postgres/postgres_store.h"

#include <unordered_map>

#include "server/store/common/queries.h"
#include "server/store/postgres/sql_connection.h"
#include "server/store/unit_attribution.h"

namespace pelmora::server {

// The machines that folded any of the units' names in one read (a scan of
// the machines, once rather than once a unit), then the inserts queued,
// sent with the COMMIT in one round trip.
void PostgresStore::addUnits(const std::vector<LateUnit>& units)
{
    writing([&](PgConnection& c) {
        std::vector<std::optional<std::string>> proteins;
        std::unordered_map<std::string, std::vector<UnitCandidate>> found;
        std::string list;
        for (const LateUnit& u : units) {
            if (u.unit.protein.empty() || !found.emplace(u.unit.protein, std::vector<UnitCandidate>{}).second) continue;
            proteins.emplace_back(u.unit.protein);
            list += (list.empty() ? "$" : ", $") + std::to_string(proteins.size());
        }
        if (!proteins.empty()) {
            const PgRows s = c.run("SELECT id, substr(unit, 1, 35), substr(prev_unit, 1, 35), points, prev_points,"
                                   " core, prev_core, address, \"user\", team, units_seen, last_seen FROM machines"
                                   " WHERE substr(unit, 1, 35) IN (" + list + ") OR substr(prev_unit, 1, 35) IN (" +
                                       list + ")", proteins);
            for (int i = 0; i < s.size(); ++i) {
                const std::string current = s.text(i, 1), previous = s.text(i, 2);
                const auto candidate = [&](bool isCurrent) {
                    return UnitCandidate{s.integer(i, 0), isCurrent, s.whole(i, isCurrent ? 3 : 4),
                                         s.text(i, isCurrent ? 5 : 6), s.text(i, 7), s.text(i, 8), s.whole(i, 9),
                                         s.whole(i, 10), s.integer(i, 11)};
                };
                if (const auto f = found.find(current); f != found.end()) f->second.push_back(candidate(true));
                if (const auto f = found.find(previous); previous != current && f != found.end())
                    f->second.push_back(candidate(false));
            }
        }
        const std::vector<UnitCandidate> none;
        PgSqlConnection sc(c);
        for (const LateUnit& u : units) {
            const auto f = found.find(u.unit.protein);
            sql::insertUnit(sc, u.unit, u.at, u.peer, f == found.end() ? none : f->second, true);
        }
        c.flush(true);
    });
}

} // namespace pelmora::server
