// The points history and the machines' status changes, in either store.
#include "server/store/common/queries.h"

#include "server/store/common/points_history_rule.h"
#include "server/store/store.h"

namespace pelmora::server::sql {
namespace {

constexpr long long kDay = 86400;

// A user's or a machine's key in points_days.
std::string subjectKey(const PointsSubject& s)
{
    return s.kind == PointsKind::machine ? std::to_string(s.machineId) : s.user;
}
int subjectTeam(const PointsSubject& s) { return s.kind == PointsKind::user ? s.team : 0; }

} // namespace

bool takePointsHour(Connection& c, long long hour, long long ppd)
{
    return c.query("INSERT INTO points_hours (hour, ppd) VALUES (:hour, :ppd) ON CONFLICT DO NOTHING")
               ->bind(":hour", hour).bind(":ppd", ppd).run() > 0;
}

void addPointsSamples(Connection& c, long long hour, const std::vector<PointsSample>& samples, std::size_t first,
                      std::size_t end)
{
    const long long day = hour / kDay;
    // A user's row of the day only while the day has room for one more:
    // a machine that takes a new user name each hour adds no row past it.
    long long room = kPointsUsersADay;
    {
        const auto users = c.query("SELECT count(*) FROM points_days WHERE day = :day AND kind = 1");
        if (users->bind(":day", day).step()) room -= users->integer(0);
    }
    const auto add = c.query("UPDATE points_days SET ppd_sum = ppd_sum + :ppd, last_hour = :hour, last_ppd = :ppd"
                             " WHERE kind = :kind AND team = :team AND subject = :subject AND day = :day");
    const auto insert = c.query("INSERT INTO points_days (kind, team, subject, day, ppd_sum, last_hour, last_ppd)"
                                " VALUES (:kind, :team, :subject, :day, :ppd, :hour, :ppd) ON CONFLICT DO NOTHING");
    for (std::size_t i = first; i < end; ++i) {
        const PointsSample& p = samples[i];
        if (p.subject.kind == PointsKind::fleet || p.ppd <= 0) continue;
        const auto row = [&](Query& q) {
            return q.reset().bind(":kind", static_cast<int>(p.subject.kind)).bind(":team", subjectTeam(p.subject))
                .bind(":subject", subjectKey(p.subject)).bind(":day", day).bind(":ppd", p.ppd).bind(":hour", hour)
                .run();
        };
        if (row(*add) > 0) continue;
        const bool user = p.subject.kind == PointsKind::user;
        if (user && room <= 0) continue;
        row(*insert);
        if (user) --room;
    }
}

PointsHistory pointsHistory(Connection& c, const PointsSubject& subject, long long fromDay, long long toDay)
{
    const bool fleet = subject.kind == PointsKind::fleet;
    const long long from = fromDay * kDay, to = (toDay + 1) * kDay;
    PointsHistoryRows rows;
    // The fleet's samples: its hours, and how many the store took each day.
    const auto hours = c.query("SELECT hour, ppd FROM points_hours WHERE hour >= :from AND hour < :to ORDER BY hour");
    hours->bind(":from", from).bind(":to", to);
    while (hours->step()) rows.hours.push_back({hours->integer(0), hours->integer(1)});
    const auto bindSubject = [&](Query& q) -> Query& {
        return q.bind(":kind", static_cast<int>(subject.kind)).bind(":team", subjectTeam(subject))
            .bind(":subject", subjectKey(subject));
    };
    if (!fleet) {
        const auto s = c.query("SELECT day, ppd_sum FROM points_days WHERE kind = :kind AND team = :team"
                               " AND subject = :subject AND day >= :from_day AND day <= :to_day");
        bindSubject(*s).bind(":from_day", fromDay).bind(":to_day", toDay);
        while (s->step()) rows.sums.emplace_back(s->integer(0), s->integer(1));
    }

    // The units finished each day, by the index that fits the subject.
    const auto u = c.query(
        fleet ? "SELECT at / 86400, count(*), coalesce(sum(points), 0) FROM units WHERE at >= :from AND at < :to"
                " GROUP BY 1"
        : subject.kind == PointsKind::user
            ? "SELECT at / 86400, count(*), coalesce(sum(points), 0) FROM units WHERE \"user\" = :user"
              " AND team = :team AND at >= :from AND at < :to GROUP BY 1"
            : "SELECT at / 86400, count(*), coalesce(sum(points), 0) FROM units WHERE machine_id = :machine"
              " AND at >= :from AND at < :to GROUP BY 1");
    u->bind(":from", from).bind(":to", to);
    if (subject.kind == PointsKind::user) u->bind(":user", subject.user).bind(":team", subject.team);
    if (subject.kind == PointsKind::machine) u->bind(":machine", subject.machineId);
    while (u->step()) rows.units.push_back({u->integer(0), u->integer(1), u->integer(2)});

    // The estimate in the last hour sampled.
    const auto last = c.query("SELECT hour, ppd FROM points_hours ORDER BY hour DESC LIMIT 1");
    if (last->step()) {
        rows.last = PointsHour{last->integer(0), last->integer(1)};
        if (!fleet) {
            const auto own = c.query("SELECT last_ppd FROM points_days WHERE kind = :kind AND team = :team"
                                     " AND subject = :subject AND day = :day AND last_hour = :hour");
            bindSubject(*own).bind(":day", rows.last->at / kDay).bind(":hour", rows.last->at);
            if (own->step()) rows.ownLast = own->integer(0);
        }
    }
    return pointsHistoryOf(subject.kind, fromDay, toDay, rows);
}

PointsMark pointsMark(Connection& c)
{
    PointsMark mark;
    const auto s = c.query("SELECT (SELECT coalesce(max(hour), 0) FROM points_hours),"
                           " (SELECT coalesce(max(id), 0) FROM units)");
    if (s->step()) mark = {s->integer(0), s->integer(1), 0};
    mark.removals = counter(c, "removals");
    return mark;
}

long long prunePoints(Connection& c, long long beforeDay)
{
    const long long hours = c.query("DELETE FROM points_hours WHERE hour < :before")->bind(":before", beforeDay * kDay).run();
    return hours + c.query("DELETE FROM points_days WHERE day < :before")->bind(":before", beforeDay).run();
}

long long thinOldestPoints(Connection& c, int most)
{
    // The fleet's hours before its last day's, then the oldest days' rows
    // before the last two days sampled (yesterday's whole day, and today's).
    const long long removed = c.query("DELETE FROM points_hours WHERE hour IN (SELECT hour FROM points_hours WHERE hour <"
                                      " (SELECT max(hour) FROM points_hours) - 86400 ORDER BY hour LIMIT :most)")
                                  ->bind(":most", static_cast<long long>(most)).run();
    return removed + c.query("DELETE FROM points_days WHERE (kind, team, subject, day) IN (SELECT kind, team, subject,"
                             " day FROM points_days WHERE day < (SELECT max(day) FROM points_days) - 1"
                             " ORDER BY day LIMIT :most)")
                         ->bind(":most", static_cast<long long>(most) - removed).run();
}

void addStatusEvents(Connection& c, const std::vector<StatusEvent>& events, std::size_t first, std::size_t end,
                     int keep)
{
    // Only a change: another server, or this one before a restart, may have written it.
    const auto add = c.query("INSERT INTO status_events (machine_id, at, status)"
                             " SELECT CAST(:machine AS BIGINT), CAST(:at AS BIGINT), CAST(:status AS TEXT)"
                             " WHERE coalesce((SELECT status FROM status_events WHERE machine_id = :machine"
                             " ORDER BY id DESC LIMIT 1), '') <> :status");
    const auto trim = c.query("DELETE FROM status_events WHERE machine_id = :machine AND id <= (SELECT id FROM"
                              " status_events WHERE machine_id = :machine ORDER BY id DESC LIMIT 1 OFFSET :keep)");
    for (std::size_t i = first; i < end; ++i) {
        const StatusEvent& e = events[i];
        // Locked, so two servers writing the same change keep it once.
        lockMachine(c, e.machineId);
        add->reset().bind(":machine", e.machineId).bind(":at", e.at).bind(":status", e.status).run();
        trim->reset().bind(":machine", e.machineId).bind(":keep", keep).run();
    }
}

std::vector<StatusEvent> statusEvents(Connection& c, long long machineId, int limit)
{
    const auto s = c.query("SELECT at, status FROM status_events WHERE machine_id = :machine"
                           " ORDER BY id DESC LIMIT :limit");
    s->bind(":machine", machineId).bind(":limit", limit);
    std::vector<StatusEvent> out;
    while (s->step()) out.push_back({machineId, s->integer(0), s->text(1)});
    return out;
}

long long thinOldestStatusEvents(Connection& c, int most)
{
    // The machine's last day kept, and its last event whatever its age.
    return c.query("DELETE FROM status_events WHERE id IN (SELECT e.id FROM status_events e"
                   " LEFT JOIN machines m ON m.id = e.machine_id WHERE e.at < coalesce(m.last_seen - 86400, e.at + 1)"
                   " AND e.id < (SELECT max(id) FROM status_events l WHERE l.machine_id = e.machine_id)"
                   " ORDER BY e.id LIMIT :most)")
        ->bind(":most", static_cast<long long>(most)).run();
}

long long pruneStatusEvents(Connection& c, long long before)
{
    // A machine's last event stays whatever its age: it is the status the next change is told from.
    return c.query("DELETE FROM status_events WHERE at < :before AND id NOT IN"
                   " (SELECT max(id) FROM status_events GROUP BY machine_id)")
        ->bind(":before", before).run();
}

} // namespace pelmora::server::sql
