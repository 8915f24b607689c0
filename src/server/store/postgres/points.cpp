// The points history and the machines' status changes in the PostgreSQL store.
#include "server/store/postgres/postgres_store.h"

#include <cmath>
#include <map>

#include "server/store/write_batches.h"

namespace pelmora::server {
namespace {

constexpr long long kDay = 86400;

// A user's or a machine's key in points_days.
std::string subjectKey(const PointsSubject& s)
{
    return s.kind == PointsKind::machine ? std::to_string(s.machineId) : s.user;
}
int subjectTeam(const PointsSubject& s) { return s.kind == PointsKind::user ? s.team : 0; }

} // namespace

bool PostgresStore::samplePoints(long long hour, const std::vector<PointsSample>& samples)
{
    if (samples.empty()) return false;
    // The hour's row first, alone: whoever writes it takes the hour.
    const bool taken = writing([&](PgConnection& c) {
        return c.query("INSERT INTO points_hours (hour, ppd) VALUES (:hour, :ppd) ON CONFLICT DO NOTHING")
                   .bind(":hour", hour).bind(":ppd", samples[0].ppd).run().changed() > 0;
    });
    if (!taken) return false;
    const long long day = hour / kDay;
    inBatches(samples.size() - 1, [&](std::size_t first, std::size_t end) {
        writing([&](PgConnection& c) {
            // A user's row of the day only while the day has room for one
            // more: a machine that takes a new user name each hour adds no row past it.
            long long room = kPointsUsersADay - c.query("SELECT count(*) FROM points_days WHERE day = :day AND kind = 1")
                                                    .bind(":day", day).run().integer(0, 0);
            for (std::size_t i = first + 1; i < end + 1; ++i) {
                const PointsSample& p = samples[i];
                if (p.subject.kind == PointsKind::fleet || p.ppd <= 0) continue;
                const auto row = [&](const char* sql) {
                    return c.query(sql).bind(":kind", static_cast<int>(p.subject.kind))
                        .bind(":team", subjectTeam(p.subject)).bind(":subject", subjectKey(p.subject))
                        .bind(":day", day).bind(":ppd", p.ppd).bind(":hour", hour).run().changed();
                };
                if (row("UPDATE points_days SET ppd_sum = ppd_sum + :ppd, last_hour = :hour, last_ppd = :ppd"
                        " WHERE kind = :kind AND team = :team AND subject = :subject AND day = :day") > 0)
                    continue;
                const bool user = p.subject.kind == PointsKind::user;
                if (user && room <= 0) continue;
                row("INSERT INTO points_days (kind, team, subject, day, ppd_sum, last_hour, last_ppd)"
                    " VALUES (:kind, :team, :subject, :day, :ppd, :hour, :ppd) ON CONFLICT DO NOTHING");
                if (user) --room;
            }
        });
    });
    return true;
}

PointsHistory PostgresStore::pointsHistory(const PointsSubject& subject, long long fromDay, long long toDay)
{
    return reading([&](PgConnection& c) {
        PointsHistory out;
        std::map<long long, PointsDay> days;
        for (long long d = fromDay; d <= toDay; ++d) days[d].day = d;
        const long long from = fromDay * kDay, to = (toDay + 1) * kDay;

        // The fleet's samples: its hours, and how many the store took each day.
        std::map<long long, std::pair<long long, long long>> sampled; // day -> (samples, sum)
        const PgRows hours = c.query("SELECT hour, ppd FROM points_hours WHERE hour >= :from AND hour < :to"
                                     " ORDER BY hour").bind(":from", from).bind(":to", to).run();
        for (int i = 0; i < hours.size(); ++i) {
            const PointsHour h{hours.integer(i, 0), hours.integer(i, 1)};
            auto& [count, sum] = sampled[h.at / kDay];
            ++count;
            sum += h.ppd;
            if (subject.kind == PointsKind::fleet) out.hours.push_back(h);
        }
        // A user's or a machine's sums; a day sampled without its row: it made nothing.
        std::map<long long, long long> sums;
        if (subject.kind == PointsKind::fleet) {
            for (const auto& [day, figures] : sampled) sums[day] = figures.second;
        } else {
            const PgRows s = c.query("SELECT day, ppd_sum FROM points_days WHERE kind = :kind AND team = :team"
                                     " AND subject = :subject AND day >= :from_day AND day <= :to_day")
                                 .bind(":kind", static_cast<int>(subject.kind)).bind(":team", subjectTeam(subject))
                                 .bind(":subject", subjectKey(subject)).bind(":from_day", fromDay)
                                 .bind(":to_day", toDay).run();
            for (int i = 0; i < s.size(); ++i) sums[s.integer(i, 0)] = s.integer(i, 1);
        }
        for (const auto& [day, figures] : sampled) {
            if (!days.count(day)) continue;
            days[day].estimated = std::llround(static_cast<double>(sums[day]) / static_cast<double>(figures.first));
        }

        // The units finished each day, by the index that fits the subject.
        const char* units =
            subject.kind == PointsKind::fleet
                ? "SELECT at / 86400, count(*), coalesce(sum(points), 0) FROM units WHERE at >= :from AND at < :to"
                  " GROUP BY 1"
            : subject.kind == PointsKind::user
                ? "SELECT at / 86400, count(*), coalesce(sum(points), 0) FROM units WHERE \"user\" = :user"
                  " AND team = :team AND at >= :from AND at < :to GROUP BY 1"
                : "SELECT at / 86400, count(*), coalesce(sum(points), 0) FROM units WHERE machine_id = :machine"
                  " AND at >= :from AND at < :to GROUP BY 1";
        PgConnection::Query q = c.query(units);
        q.bind(":from", from).bind(":to", to);
        if (subject.kind == PointsKind::user) q.bind(":user", subject.user).bind(":team", subject.team);
        if (subject.kind == PointsKind::machine) q.bind(":machine", subject.machineId);
        const PgRows u = q.run();
        for (int i = 0; i < u.size(); ++i) {
            const auto found = days.find(u.integer(i, 0));
            if (found == days.end()) continue;
            found->second.units = u.integer(i, 1);
            found->second.points = u.integer(i, 2);
        }
        for (auto& [day, figures] : days) out.days.push_back(figures);

        // The estimate in the last hour sampled.
        const PgRows last = c.query("SELECT hour, ppd FROM points_hours ORDER BY hour DESC LIMIT 1").run();
        if (!last.empty()) {
            const long long hour = last.integer(0, 0);
            out.lastPpd = last.integer(0, 1);
            if (subject.kind != PointsKind::fleet) {
                const PgRows own = c.query("SELECT last_ppd FROM points_days WHERE kind = :kind AND team = :team"
                                           " AND subject = :subject AND day = :day AND last_hour = :hour")
                                       .bind(":kind", static_cast<int>(subject.kind)).bind(":team", subjectTeam(subject))
                                       .bind(":subject", subjectKey(subject)).bind(":day", hour / kDay)
                                       .bind(":hour", hour).run();
                out.lastPpd = own.empty() ? 0 : own.integer(0, 0);
            }
        }
        return out;
    });
}

PointsMark PostgresStore::pointsMark()
{
    return reading([](PgConnection& c) {
        const PgRows r = c.query("SELECT (SELECT coalesce(max(hour), 0) FROM points_hours),"
                                 " (SELECT coalesce(max(id), 0) FROM units)").run();
        return PointsMark{r.integer(0, 0), r.integer(0, 1), counter(c, "removals")};
    });
}

long long PostgresStore::prunePoints(long long beforeDay)
{
    return writing([&](PgConnection& c) {
        return c.query("DELETE FROM points_hours WHERE hour < :before").bind(":before", beforeDay * kDay).run().changed() +
               c.query("DELETE FROM points_days WHERE day < :before").bind(":before", beforeDay).run().changed();
    });
}

long long PostgresStore::thinOldestPoints(int most)
{
    // The fleet's hours before its last day's, then the oldest days' rows
    // before the last two days sampled (yesterday's whole day, and today's).
    return writing([&](PgConnection& c) {
        long long removed =
            c.query("DELETE FROM points_hours WHERE hour IN (SELECT hour FROM points_hours WHERE hour <"
                    " (SELECT max(hour) FROM points_hours) - 86400 ORDER BY hour LIMIT :most)")
                .bind(":most", static_cast<long long>(most)).run().changed();
        removed += c.query("DELETE FROM points_days WHERE (kind, team, subject, day) IN (SELECT kind, team, subject,"
                           " day FROM points_days WHERE day < (SELECT max(day) FROM points_days) - 1"
                           " ORDER BY day LIMIT :most)")
                       .bind(":most", static_cast<long long>(most) - removed).run().changed();
        // The rows' count in the statistics at this commit: the bound reads the size from them.
        if (c.serverVersion() >= 150000) c.execute("SELECT pg_stat_force_next_flush()");
        return removed;
    });
}

void PostgresStore::addStatusEvents(const std::vector<StatusEvent>& events, int keep)
{
    inBatches(events.size(), [&](std::size_t first, std::size_t end) {
        writing([&](PgConnection& c) {
            for (std::size_t i = first; i < end; ++i) {
                const StatusEvent& e = events[i];
                // Locked, so two servers writing the same change keep it once.
                lockMachine(c, e.machineId);
                // Only a change: another server, or this one before a restart, may have written it.
                c.query("INSERT INTO status_events (machine_id, at, status)"
                        " SELECT CAST(:machine AS BIGINT), CAST(:at AS BIGINT), CAST(:status AS TEXT)"
                        " WHERE coalesce((SELECT status FROM status_events WHERE machine_id = :machine"
                        " ORDER BY id DESC LIMIT 1), '') <> :status")
                    .bind(":machine", e.machineId).bind(":at", e.at).bind(":status", e.status).run();
                c.query("DELETE FROM status_events WHERE machine_id = :machine AND id <= (SELECT id FROM"
                        " status_events WHERE machine_id = :machine ORDER BY id DESC LIMIT 1 OFFSET :keep)")
                    .bind(":machine", e.machineId).bind(":keep", keep).run();
            }
        });
    });
}

std::vector<StatusEvent> PostgresStore::statusEvents(long long machineId, int limit)
{
    return reading([&](PgConnection& c) {
        const PgRows s = c.query("SELECT at, status FROM status_events WHERE machine_id = :machine"
                                 " ORDER BY id DESC LIMIT :limit").bind(":machine", machineId).bind(":limit", limit).run();
        std::vector<StatusEvent> out;
        for (int i = 0; i < s.size(); ++i) out.push_back({machineId, s.integer(i, 0), s.text(i, 1)});
        return out;
    });
}

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

long long PostgresStore::thinOldestStatusEvents(int most)
{
    // The machine's last day kept, and its last event whatever its age.
    return writing([&](PgConnection& c) {
        const long long removed =
            c.query("DELETE FROM status_events WHERE id IN (SELECT e.id FROM status_events e"
                    " LEFT JOIN machines m ON m.id = e.machine_id WHERE e.at < coalesce(m.last_seen - 86400, e.at + 1)"
                    " AND e.id < (SELECT max(id) FROM status_events l WHERE l.machine_id = e.machine_id)"
                    " ORDER BY e.id LIMIT :most)")
                .bind(":most", static_cast<long long>(most)).run().changed();
        if (c.serverVersion() >= 150000) c.execute("SELECT pg_stat_force_next_flush()");
        return removed;
    });
}

long long PostgresStore::pruneStatusEvents(long long before)
{
    // A machine's last event stays whatever its age: it is the status the next change is told from.
    return writing([&](PgConnection& c) {
        return c.query("DELETE FROM status_events WHERE at < :before AND id NOT IN"
                       " (SELECT max(id) FROM status_events GROUP BY machine_id)")
            .bind(":before", before).run().changed();
    });
}

} // namespace pelmora::server
