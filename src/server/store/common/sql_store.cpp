#include "server/store/common/sql_store.h"

#include "server/store/common/queries.h"
#include "server/store/write_batches.h"

namespace pelmora::server::sql {

long long SqlStore::thin(long long (*thinOut)(Connection&, int), int most)
{
    return write([&](Connection& c) {
        const long long removed = thinOut(c, most);
        thinned(c);
        return removed;
    });
}

std::optional<CommandRow> SqlStore::queueCommand(long long machineId, const std::string& command,
                                                 const std::string& by, long long now)
{
    return write([&](Connection& c) {
        return sql::queueCommand(c, [&](long long id) { markMachineChanged(c, id); }, machineId, command, by, now);
    });
}

std::optional<CommandRow> SqlStore::cancelCommand(long long machineId, long long commandId, const std::string& by,
                                                  long long now)
{
    if (machineId == 0 && commandId == 0) return std::nullopt; // neither named
    return write([&](Connection& c) {
        return sql::cancelCommand(c, [&](long long id) { markMachineChanged(c, id); }, machineId, commandId, by, now);
    });
}

void SqlStore::undeliver(long long commandId)
{
    write([&](Connection& c) { sql::undeliver(c, [&](long long id) { markMachineChanged(c, id); }, commandId); });
}

std::vector<CommandRow> SqlStore::commands(long long machineId, int limit)
{
    return read([&](Connection& c) { return sql::commands(c, machineId, limit); });
}

UnitCounts SqlStore::addUnit(const UnitSubmission& unit, long long now, const std::string& peer)
{
    return write([&](Connection& c) { return sql::addUnit(c, unit, now, peer); });
}

std::vector<UnitRow> SqlStore::units(const UnitFilter& filter)
{
    return read([&](Connection& c) { return sql::units(c, filter); });
}

std::vector<DayUserSummary> SqlStore::summary(long long since)
{
    return read([&](Connection& c) { return sql::summary(c, since); });
}

std::vector<CpuSummary> SqlStore::cpus()
{
    return read([&](Connection& c) { return sql::cpus(c); });
}

std::vector<UserUnits> SqlStore::unitsByUser(long long since)
{
    return read([&](Connection& c) { return sql::unitsByUser(c, since); });
}

void SqlStore::addSession(const SessionRow& session)
{
    write([&](Connection& c) { sql::addSession(c, session); });
}

std::optional<SessionRow> SqlStore::session(const std::string& id, long long now)
{
    return read([&](Connection& c) { return sql::session(c, id, now); });
}

void SqlStore::removeSessions(const std::string& id, long long expiredBy)
{
    write([&](Connection& c) { sql::removeSessions(c, id, expiredBy); });
}

std::vector<AlertRow> SqlStore::alerts(const AlertFilter& filter)
{
    return read([&](Connection& c) { return sql::alerts(c, filter); });
}

std::vector<AlertRow> SqlStore::alertsChangedSince(long long since, long long& latest)
{
    return read([&](Connection& c) { return sql::alertsChangedSince(c, since, latest); });
}

AlertCounts SqlStore::alertCounts()
{
    return read([](Connection& c) { return sql::alertCounts(c); });
}

long long SqlStore::pruneAlerts(long long before)
{
    return write([&](Connection& c) { return sql::pruneAlerts(c, before); });
}

long long SqlStore::thinOldestAlerts(int most)
{
    return thin(sql::thinOldestAlerts, most);
}

std::vector<AlertEvent> SqlStore::pendingAlertEvents(int limit)
{
    return read([&](Connection& c) { return sql::pendingAlertEvents(c, limit); });
}

void SqlStore::markAlertEventsSent(const std::vector<AlertEvent>& events, long long now)
{
    write([&](Connection& c) { sql::markAlertEventsSent(c, events, now); });
}

bool SqlStore::samplePoints(long long hour, const std::vector<PointsSample>& samples)
{
    if (samples.empty()) return false;
    // The hour's row first, alone: whoever writes it takes the hour.
    if (!write([&](Connection& c) { return takePointsHour(c, hour, samples[0].ppd); })) return false;
    inBatches(samples.size() - 1, [&](std::size_t first, std::size_t end) {
        write([&](Connection& c) { addPointsSamples(c, hour, samples, first + 1, end + 1); });
    });
    return true;
}

PointsHistory SqlStore::pointsHistory(const PointsSubject& subject, long long fromDay, long long toDay)
{
    return read([&](Connection& c) { return sql::pointsHistory(c, subject, fromDay, toDay); });
}

PointsMark SqlStore::pointsMark()
{
    return read([](Connection& c) { return sql::pointsMark(c); });
}

long long SqlStore::prunePoints(long long beforeDay)
{
    return write([&](Connection& c) { return sql::prunePoints(c, beforeDay); });
}

long long SqlStore::thinOldestPoints(int most)
{
    return thin(sql::thinOldestPoints, most);
}

void SqlStore::addStatusEvents(const std::vector<StatusEvent>& events, int keep)
{
    inBatches(events.size(), [&](std::size_t first, std::size_t end) {
        write([&](Connection& c) { sql::addStatusEvents(c, events, first, end, keep); });
    });
}

std::vector<StatusEvent> SqlStore::statusEvents(long long machineId, int limit)
{
    return read([&](Connection& c) { return sql::statusEvents(c, machineId, limit); });
}

long long SqlStore::pruneStatusEvents(long long before)
{
    return write([&](Connection& c) { return sql::pruneStatusEvents(c, before); });
}

long long SqlStore::thinOldestStatusEvents(int most)
{
    return thin(sql::thinOldestStatusEvents, most);
}

} // namespace pelmora::server::sql
