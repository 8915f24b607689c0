// Finished units, in either store.
#include "server/store/common/queries.h"

#include <ctime>

namespace pelmora::server::sql {
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

std::vector<UnitCandidate> unitCandidates(Connection& c, const std::string& protein)
{
    std::vector<UnitCandidate> candidates;
    if (protein.empty()) return candidates;
    const auto s = c.query("SELECT id, is_current, CASE WHEN is_current THEN points ELSE prev_points END,"
                           " CASE WHEN is_current THEN core ELSE prev_core END, address, \"user\", team, units_seen,"
                           " last_seen FROM (SELECT *, substr(unit, 1, 35) = :protein AS is_current FROM machines"
                           " WHERE substr(unit, 1, 35) = :protein OR substr(prev_unit, 1, 35) = :protein) found");
    s->bind(":protein", protein);
    while (s->step())
        candidates.push_back({s->integer(0), s->flag(1), s->whole(2), s->text(3), s->text(4), s->text(5), s->whole(6),
                              s->whole(7), s->integer(8)});
    return candidates;
}

void insertUnit(Connection& c, const UnitSubmission& u, long long now, const std::string& peer,
                const std::vector<UnitCandidate>& candidates, bool sent)
{
    const std::optional<UnitCandidate> credited = creditedMachine(candidates, u, peer);
    const int points = credited ? credited->points : 0;
    // Its core as the machine reported it; empty: known only from before the store kept it.
    const std::string core = credited && !credited->core.empty() ? credited->core : u.core;
    const auto insert =
        c.query("INSERT INTO units (at, \"user\", team, machine, wucount, cpu_vendor, cpu_string, cpu_mhz,"
                " frame_minutes, protein, core, memory_mib, points, machine_id, submitted_core)"
                " VALUES (:now, :user, :team, :machine, :wucount, :cpu_vendor, :cpu_string, :cpu_mhz,"
                " :frame_minutes, :protein, :core, :memory_mib, :points, :machine_id, :submitted_core)");
    insert->bind(":now", now).bind(":user", u.user).bind(":team", u.team).bind(":machine", u.machine)
        .bind(":wucount", u.wucount).bind(":cpu_vendor", u.cpuVendor).bind(":cpu_string", u.cpuString)
        .bind(":cpu_mhz", u.cpuMhz).bind(":frame_minutes", u.frameMinutes).bind(":protein", u.protein)
        .bind(":core", core).bind(":memory_mib", u.memoryMib).bind(":points", points)
        .bind(":submitted_core", u.core);
    if (credited) insert->bind(":machine_id", credited->id);
    if (sent)
        insert->send();
    else
        insert->run();
}

UnitCounts addUnit(Connection& c, const UnitSubmission& u, long long now, const std::string& peer)
{
    insertUnit(c, u, now, peer, unitCandidates(c, u.protein), false);
    UnitCounts counts;
    const auto byUser = c.query("SELECT count(*) FROM units WHERE \"user\" = :user");
    if (byUser->bind(":user", u.user).step()) counts.user = byUser->integer(0);
    const auto byTeam = c.query("SELECT count(*) FROM units WHERE team = :team");
    if (byTeam->bind(":team", u.team).step()) counts.team = byTeam->integer(0);
    return counts;
}

std::vector<UnitRow> units(Connection& c, const UnitFilter& f)
{
    // One machine's units by their own index: a machine page must not scan every team's units.
    const auto s = c.query(
        std::string("SELECT at, \"user\", team, machine, wucount, cpu_vendor, cpu_string, cpu_mhz, frame_minutes,"
                    " protein, core, memory_mib, points, machine_id FROM units"
                    " WHERE (CAST(:user AS TEXT) IS NULL OR \"user\" = :user)"
                    " AND (CAST(:team AS BIGINT) IS NULL OR team = :team)"
                    " AND (CAST(:machine AS BIGINT) IS NULL OR machine = :machine)") +
        (f.machineId ? " AND machine_id = :machine_id" : "") + " ORDER BY id DESC LIMIT :limit");
    if (f.user) s->bind(":user", *f.user);
    if (f.team) s->bind(":team", *f.team);
    if (f.machine) s->bind(":machine", *f.machine);
    if (f.machineId) s->bind(":machine_id", *f.machineId);
    s->bind(":limit", f.limit);
    std::vector<UnitRow> rows;
    while (s->step()) {
        UnitRow r;
        r.at = s->integer(0);
        r.unit = {s->text(1), s->whole(2), s->whole(3), s->whole(4), s->text(5), s->text(6),
                  s->whole(7), s->real(8), s->text(9), s->text(10), s->whole(11)};
        r.points = s->whole(12);
        if (!s->isNull(13)) r.machineId = s->integer(13);
        rows.push_back(std::move(r));
    }
    return rows;
}

std::vector<DayUserSummary> summary(Connection& c, long long since)
{
    const Dialect& d = c.dialect();
    const auto s = c.query(std::string("SELECT ") + d.unitDay +
                           " AS day, \"user\", count(*), sum(points) FROM units"
                           " WHERE at >= :since GROUP BY day, \"user\" ORDER BY day DESC, \"user\"");
    s->bind(":since", since);
    std::vector<DayUserSummary> rows;
    while (s->step())
        rows.push_back({d.dayCounted ? dayText(s->integer(0)) : s->text(0), s->text(1), s->integer(2), s->integer(3)});
    return rows;
}

std::vector<CpuSummary> cpus(Connection& c)
{
    const auto s = c.query("SELECT cpu_string, cpu_vendor, count(*), avg(frame_minutes) FROM units"
                           " GROUP BY cpu_string, cpu_vendor ORDER BY count(*) DESC, cpu_string LIMIT 1000");
    std::vector<CpuSummary> rows;
    while (s->step()) rows.push_back({s->text(0), s->text(1), s->integer(2), s->real(3)});
    return rows;
}

std::vector<UserUnits> unitsByUser(Connection& c, long long since)
{
    const auto s = c.query("SELECT \"user\", team, count(*), coalesce(sum(points), 0) FROM units"
                           " WHERE at >= :since GROUP BY \"user\", team ORDER BY \"user\", team");
    s->bind(":since", since);
    std::vector<UserUnits> rows;
    while (s->step()) rows.push_back({s->text(0), s->whole(1), s->integer(2), s->integer(3)});
    return rows;
}

} // namespace pelmora::server::sql
