// The points history and the machines' status changes.
#include "server/store/sqlite/sqlite_store.h"

#include <cmath>
#include <map>
#include <sqlite3.h>

#include "server/store/sqlite/reader.h"
#include "server/store/sqlite/statement.h"
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

bool SqliteStore::samplePoints(long long hour, const std::vector<PointsSample>& samples)
{
    if (samples.empty()) return false;
    {
        // The hour's row first, alone: whoever writes it takes the hour.
        std::lock_guard<std::mutex> lock(writeMutex_);
        Transaction t(writer_);
        Statement s(writer_, "INSERT INTO points_hours (hour, ppd) VALUES (:hour, :ppd) ON CONFLICT DO NOTHING");
        s.bind(":hour", hour).bind(":ppd", samples[0].ppd).run();
        if (sqlite3_changes(writer_) == 0) return false;
        t.commit();
    }
    const long long day = hour / kDay;
    inBatches(samples.size() - 1, [&](std::size_t first, std::size_t end) {
        std::lock_guard<std::mutex> lock(writeMutex_);
        Transaction t(writer_);
        // A user's row of the day only while the day has room for one more:
        // a machine that takes a new user name each hour adds no row past it.
        Statement users(writer_, "SELECT count(*) FROM points_days WHERE day = :day AND kind = 1");
        long long room = kPointsUsersADay - (users.bind(":day", day).step() ? users.integer(0) : 0);
        Statement add(writer_, "UPDATE points_days SET ppd_sum = ppd_sum + :ppd, last_hour = :hour, last_ppd = :ppd"
                               " WHERE kind = :kind AND team = :team AND subject = :subject AND day = :day");
        Statement insert(writer_, "INSERT INTO points_days (kind, team, subject, day, ppd_sum, last_hour, last_ppd)"
                                  " VALUES (:kind, :team, :subject, :day, :ppd, :hour, :ppd)");
        for (std::size_t i = first + 1; i < end + 1; ++i) {
            const PointsSample& p = samples[i];
            if (p.subject.kind == PointsKind::fleet || p.ppd <= 0) continue;
            const auto bindRow = [&](Statement& st) -> Statement& {
                return st.reset().bind(":kind", static_cast<int>(p.subject.kind)).bind(":team", subjectTeam(p.subject))
                    .bind(":subject", subjectKey(p.subject)).bind(":day", day).bind(":ppd", p.ppd).bind(":hour", hour);
            };
            bindRow(add).run();
            if (sqlite3_changes(writer_) > 0) continue;
            const bool user = p.subject.kind == PointsKind::user;
            if (user && room <= 0) continue;
            bindRow(insert).run();
            if (user) --room;
        }
        t.commit();
    });
    return true;
}

PointsHistory SqliteStore::pointsHistory(const PointsSubject& subject, long long fromDay, long long toDay)
{
    Reader reader = borrowReader();
    PointsHistory out;
    std::map<long long, PointsDay> days;
    for (long long d = fromDay; d <= toDay; ++d) days[d].day = d;
    const long long from = fromDay * kDay, to = (toDay + 1) * kDay;

    // The fleet's samples: its hours, and how many the store took each day.
    std::map<long long, std::pair<long long, long long>> sampled; // day -> (samples, sum)
    Statement hours(reader.db(), "SELECT hour, ppd FROM points_hours WHERE hour >= :from AND hour < :to ORDER BY hour");
    hours.bind(":from", from).bind(":to", to);
    while (hours.step()) {
        const PointsHour h{hours.integer(0), hours.integer(1)};
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
        Statement s(reader.db(), "SELECT day, ppd_sum FROM points_days WHERE kind = :kind AND team = :team"
                                 " AND subject = :subject AND day >= :from_day AND day <= :to_day");
        s.bind(":kind", static_cast<int>(subject.kind)).bind(":team", subjectTeam(subject))
            .bind(":subject", subjectKey(subject)).bind(":from_day", fromDay).bind(":to_day", toDay);
        while (s.step()) sums[s.integer(0)] = s.integer(1);
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
            ? "SELECT at / 86400, count(*), coalesce(sum(points), 0) FROM units WHERE user = :user AND team = :team"
              " AND at >= :from AND at < :to GROUP BY 1"
            : "SELECT at / 86400, count(*), coalesce(sum(points), 0) FROM units WHERE machine_id = :machine"
              " AND at >= :from AND at < :to GROUP BY 1";
    Statement u(reader.db(), units);
    u.bind(":from", from).bind(":to", to);
    if (subject.kind == PointsKind::user) u.bind(":user", subject.user).bind(":team", subject.team);
    if (subject.kind == PointsKind::machine) u.bind(":machine", subject.machineId);
    while (u.step()) {
        const auto found = days.find(u.integer(0));
        if (found == days.end()) continue;
        found->second.units = u.integer(1);
        found->second.points = u.integer(2);
    }
    for (auto& [day, figures] : days) out.days.push_back(figures);

    // The estimate in the last hour sampled.
    Statement last(reader.db(), "SELECT hour, ppd FROM points_hours ORDER BY hour DESC LIMIT 1");
    if (last.step()) {
        const long long hour = last.integer(0);
        out.lastPpd = last.integer(1);
        if (subject.kind != PointsKind::fleet) {
            Statement own(reader.db(), "SELECT last_ppd FROM points_days WHERE kind = :kind AND team = :team"
                                       " AND subject = :subject AND day = :day AND last_hour = :hour");
            own.bind(":kind", static_cast<int>(subject.kind)).bind(":team", subjectTeam(subject))
                .bind(":subject", subjectKey(subject)).bind(":day", hour / kDay).bind(":hour", hour);
            out.lastPpd = own.step() ? own.integer(0) : 0;
        }
    }
    return out;
}

PointsMark SqliteStore::pointsMark()
{
    Reader reader = borrowReader();
    PointsMark mark;
    Statement hour(reader.db(), "SELECT coalesce(max(hour), 0) FROM points_hours");
    if (hour.step()) mark.hour = hour.integer(0);
    Statement unit(reader.db(), "SELECT coalesce(max(id), 0) FROM units");
    if (unit.step()) mark.unit = unit.integer(0);
    mark.removals = counter(reader.db(), "removals");
    return mark;
}

long long SqliteStore::prunePoints(long long beforeDay)
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    Transaction t(writer_);
    Statement(writer_, "DELETE FROM points_hours WHERE hour < :before").bind(":before", beforeDay * kDay).run();
    long long removed = sqlite3_changes(writer_);
    Statement(writer_, "DELETE FROM points_days WHERE day < :before").bind(":before", beforeDay).run();
    removed += sqlite3_changes(writer_);
    t.commit();
    return removed;
}

long long SqliteStore::thinOldestPoints(int most)
{
    // The fleet's hours before its last day's, then the oldest days' rows
    // before the last two days sampled (yesterday's whole day, and today's).
    std::lock_guard<std::mutex> lock(writeMutex_);
    Transaction t(writer_);
    Statement(writer_, "DELETE FROM points_hours WHERE hour IN (SELECT hour FROM points_hours WHERE hour <"
                       " (SELECT max(hour) FROM points_hours) - 86400 ORDER BY hour LIMIT :most)")
        .bind(":most", static_cast<long long>(most)).run();
    long long removed = sqlite3_changes(writer_);
    Statement(writer_, "DELETE FROM points_days WHERE (kind, team, subject, day) IN (SELECT kind, team, subject, day"
                       " FROM points_days WHERE day < (SELECT max(day) FROM points_days) - 1 ORDER BY day LIMIT :most)")
        .bind(":most", static_cast<long long>(most - removed)).run();
    removed += sqlite3_changes(writer_);
    t.commit();
    return removed;
}

void SqliteStore::addStatusEvents(const std::vector<StatusEvent>& events, int keep)
{
    inBatches(events.size(), [&](std::size_t first, std::size_t end) {
        std::lock_guard<std::mutex> lock(writeMutex_);
        Transaction t(writer_);
        // Only a change: another server, or this one before a restart, may have written it.
        Statement add(writer_, "INSERT INTO status_events (machine_id, at, status) SELECT :machine, :at, :status"
                               " WHERE coalesce((SELECT status FROM status_events WHERE machine_id = :machine"
                               " ORDER BY id DESC LIMIT 1), '') != :status");
        Statement trim(writer_, "DELETE FROM status_events WHERE machine_id = :machine AND id <= (SELECT id FROM"
                                " status_events WHERE machine_id = :machine ORDER BY id DESC LIMIT 1 OFFSET :keep)");
        for (std::size_t i = first; i < end; ++i) {
            const StatusEvent& e = events[i];
            add.reset().bind(":machine", e.machineId).bind(":at", e.at).bind(":status", e.status).run();
            trim.reset().bind(":machine", e.machineId).bind(":keep", keep).run();
        }
        t.commit();
    });
}

std::vector<StatusEvent> SqliteStore::statusEvents(long long machineId, int limit)
{
    Reader reader = borrowReader();
    Statement s(reader.db(), "SELECT at, status FROM status_events WHERE machine_id = :machine"
                             " ORDER BY id DESC LIMIT :limit");
    s.bind(":machine", machineId).bind(":limit", limit);
    std::vector<StatusEvent> out;
    while (s.step()) out.push_back({machineId, s.integer(0), s.text(1)});
    return out;
}

std::vector<StatusEvent> SqliteStore::lastStatuses()
{
    Reader reader = borrowReader();
    Statement s(reader.db(), "SELECT machine_id, at, status FROM status_events WHERE id IN"
                             " (SELECT max(id) FROM status_events GROUP BY machine_id)");
    std::vector<StatusEvent> out;
    while (s.step()) out.push_back({s.integer(0), s.integer(1), s.text(2)});
    return out;
}

long long SqliteStore::thinOldestStatusEvents(int most)
{
    // The machine's last day kept, and its last event whatever its age.
    std::lock_guard<std::mutex> lock(writeMutex_);
    Statement s(writer_, "DELETE FROM status_events WHERE id IN (SELECT e.id FROM status_events e"
                         " LEFT JOIN machines m ON m.id = e.machine_id WHERE e.at < coalesce(m.last_seen - 86400, e.at + 1)"
                         " AND e.id < (SELECT max(id) FROM status_events l WHERE l.machine_id = e.machine_id)"
                         " ORDER BY e.id LIMIT :most)");
    s.bind(":most", static_cast<long long>(most)).run();
    return sqlite3_changes(writer_);
}

long long SqliteStore::pruneStatusEvents(long long before)
{
    // A machine's last event stays whatever its age: it is the status the next change is told from.
    std::lock_guard<std::mutex> lock(writeMutex_);
    Transaction t(writer_);
    Statement(writer_, "DELETE FROM status_events WHERE at < :before AND id NOT IN"
                       " (SELECT max(id) FROM status_events GROUP BY machine_id)")
        .bind(":before", before)
        .run();
    const long long removed = sqlite3_changes(writer_);
    t.commit();
    return removed;
}

} // namespace pelmora::server
