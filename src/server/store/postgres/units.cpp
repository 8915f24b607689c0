// Finished units in the PostgreSQL store.
#include "server/store/postgres/postgres_store.h"

#include <ctime>
#include <unordered_map>

#include "server/store/unit_attribution.h"

namespace pelmora::server {
namespace {
// A UTC day (days since the epoch) as YYYY-MM-DD.
std::string dayText(long long day)
{
    const std::time_t at = static_cast<std::time_t>(day * 86400);
    std::tm utc{};
    gmtime_r(&at, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d", &utc);
    return text;
}
} // namespace

std::vector<UnitCandidate> PostgresStore::unitCandidates(PgConnection& c, const std::string& protein)
{
    // The SQL finds the machines that folded a unit of that name; which one
    // is credited is unit_attribution.h's rule.
    std::vector<UnitCandidate> candidates;
    if (protein.empty()) return candidates;
    const PgRows s =
        c.query("SELECT id, is_current, CASE WHEN is_current THEN points ELSE prev_points END,"
                " CASE WHEN is_current THEN core ELSE prev_core END, address, \"user\", team, units_seen,"
                " last_seen FROM (SELECT *, substr(unit, 1, 35) = :protein AS is_current FROM machines"
                " WHERE substr(unit, 1, 35) = :protein OR substr(prev_unit, 1, 35) = :protein) found")
            .bind(":protein", protein).run();
    for (int i = 0; i < s.size(); ++i)
        candidates.push_back({s.integer(i, 0), s.flag(i, 1), s.whole(i, 2), s.text(i, 3), s.text(i, 4),
                              s.text(i, 5), s.whole(i, 6), s.whole(i, 7), s.integer(i, 8)});
    return candidates;
}

void PostgresStore::insertUnit(PgConnection& c, const UnitSubmission& u, long long now, const std::string& peer,
                               const std::vector<UnitCandidate>& candidates, bool queued)
{
    const std::optional<UnitCandidate> credited = creditedMachine(candidates, u, peer);
    const int points = credited ? credited->points : 0;
    // Its core as the machine reported it; empty: known only from before the store kept it.
    const std::string core = credited && !credited->core.empty() ? credited->core : u.core;
    PgConnection::Query insert =
        c.query("INSERT INTO units (at, \"user\", team, machine, wucount, cpu_vendor, cpu_string, cpu_mhz,"
                " frame_minutes, protein, core, memory_mib, points, machine_id, submitted_core)"
                " VALUES (:now, :user, :team, :machine, :wucount, :cpu_vendor, :cpu_string, :cpu_mhz,"
                " :frame_minutes, :protein, :core, :memory_mib, :points, :machine_id, :submitted_core)");
    insert.bind(":now", now).bind(":user", u.user).bind(":team", u.team).bind(":machine", u.machine)
        .bind(":wucount", u.wucount).bind(":cpu_vendor", u.cpuVendor).bind(":cpu_string", u.cpuString)
        .bind(":cpu_mhz", u.cpuMhz).bind(":frame_minutes", u.frameMinutes).bind(":protein", u.protein)
        .bind(":core", core).bind(":memory_mib", u.memoryMib).bind(":points", points)
        .bind(":submitted_core", u.core);
    if (credited) insert.bind(":machine_id", credited->id);
    if (queued)
        insert.queue(false);
    else
        insert.run();
}

UnitCounts PostgresStore::addUnit(const UnitSubmission& u, long long now, const std::string& peer)
{
    return writing([&](PgConnection& c) {
        insertUnit(c, u, now, peer, unitCandidates(c, u.protein), false);
        UnitCounts counts;
        counts.user = c.query("SELECT count(*) FROM units WHERE \"user\" = :user").bind(":user", u.user).run().integer(0, 0);
        counts.team = c.query("SELECT count(*) FROM units WHERE team = :team").bind(":team", u.team).run().integer(0, 0);
        return counts;
    });
}

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
        for (const LateUnit& u : units) {
            const auto f = found.find(u.unit.protein);
            insertUnit(c, u.unit, u.at, u.peer, f == found.end() ? none : f->second, true);
        }
        c.flush(true);
    });
}

std::vector<UnitRow> PostgresStore::units(const UnitFilter& f)
{
    // One machine's units by their own index: a machine page must not scan every team's units.
    const std::string sql =
        std::string("SELECT at, \"user\", team, machine, wucount, cpu_vendor, cpu_string, cpu_mhz, frame_minutes,"
                    " protein, core, memory_mib, points, machine_id FROM units"
                    " WHERE (CAST(:user AS TEXT) IS NULL OR \"user\" = :user)"
                    " AND (CAST(:team AS BIGINT) IS NULL OR team = :team)"
                    " AND (CAST(:machine AS BIGINT) IS NULL OR machine = :machine)") +
        (f.machineId ? " AND machine_id = :machine_id" : "") + " ORDER BY id DESC LIMIT :limit";
    return reading([&](PgConnection& c) {
        PgConnection::Query q = c.query(sql);
        if (f.user) q.bind(":user", *f.user);
        if (f.team) q.bind(":team", *f.team);
        if (f.machine) q.bind(":machine", *f.machine);
        if (f.machineId) q.bind(":machine_id", *f.machineId);
        q.bind(":limit", f.limit);
        const PgRows s = q.run();
        std::vector<UnitRow> rows;
        for (int i = 0; i < s.size(); ++i) {
            UnitRow r;
            r.at = s.integer(i, 0);
            r.unit = {s.text(i, 1), s.whole(i, 2), s.whole(i, 3), s.whole(i, 4), s.text(i, 5), s.text(i, 6),
                      s.whole(i, 7), s.real(i, 8), s.text(i, 9), s.text(i, 10), s.whole(i, 11)};
            r.points = s.whole(i, 12);
            if (!s.isNull(i, 13)) r.machineId = s.integer(i, 13);
            rows.push_back(std::move(r));
        }
        return rows;
    });
}

std::vector<DayUserSummary> PostgresStore::summary(long long since)
{
    return reading([&](PgConnection& c) {
        // Days counted here, named in C++: no time zone of the database's in between.
        const PgRows s = c.query("SELECT floor(at / 86400.0)::bigint AS day, \"user\", count(*), sum(points) FROM units"
                                 " WHERE at >= :since GROUP BY day, \"user\" ORDER BY day DESC, \"user\"")
                             .bind(":since", since).run();
        std::vector<DayUserSummary> rows;
        for (int i = 0; i < s.size(); ++i)
            rows.push_back({dayText(s.integer(i, 0)), s.text(i, 1), s.integer(i, 2), s.integer(i, 3)});
        return rows;
    });
}

std::vector<CpuSummary> PostgresStore::cpus()
{
    return reading([](PgConnection& c) {
        const PgRows s = c.query("SELECT cpu_string, cpu_vendor, count(*), avg(frame_minutes) FROM units"
                                 " GROUP BY cpu_string, cpu_vendor ORDER BY count(*) DESC, cpu_string LIMIT 1000").run();
        std::vector<CpuSummary> rows;
        for (int i = 0; i < s.size(); ++i) rows.push_back({s.text(i, 0), s.text(i, 1), s.integer(i, 2), s.real(i, 3)});
        return rows;
    });
}

std::vector<UserUnits> PostgresStore::unitsByUser(long long since)
{
    return reading([&](PgConnection& c) {
        const PgRows s = c.query("SELECT \"user\", team, count(*), coalesce(sum(points), 0) FROM units"
                                 " WHERE at >= :since GROUP BY \"user\", team ORDER BY \"user\", team")
                             .bind(":since", since).run();
        std::vector<UserUnits> rows;
        for (int i = 0; i < s.size(); ++i) rows.push_back({s.text(i, 0), s.whole(i, 1), s.integer(i, 2), s.integer(i, 3)});
        return rows;
    });
}

} // namespace pelmora::server
