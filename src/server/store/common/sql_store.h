// What the SQLite and the PostgreSQL store share: the Store methods whose
// queries both dialects take (queries.h), written once over a connection
// each store lends in its own way — a reader, or its write transaction with
// its locking, retries and outage handling.
#pragma once

#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

#include "server/store/common/query.h"
#include "server/store/store.h"

namespace pelmora::server::sql {

class SqlStore : public Store {
public:
    std::optional<CommandRow> queueCommand(long long machineId, const std::string& command, const std::string& by,
                                           long long now) override;
    std::optional<CommandRow> cancelCommand(long long machineId, long long commandId, const std::string& by,
                                            long long now) override;
    void undeliver(long long commandId) override;
    std::vector<CommandRow> commands(long long machineId, int limit) override;

    UnitCounts addUnit(const UnitSubmission& unit, long long now, const std::string& peer) override;
    std::vector<UnitRow> units(const UnitFilter& filter) override;
    std::vector<DayUserSummary> summary(long long since) override;
    std::vector<CpuSummary> cpus() override;
    std::vector<UserUnits> unitsByUser(long long since) override;

    void addSession(const SessionRow& session) override;
    std::optional<SessionRow> session(const std::string& id, long long now) override;
    void removeSessions(const std::string& id, long long expiredBy) override;

    std::vector<AlertRow> alerts(const AlertFilter& filter) override;
    std::vector<AlertRow> alertsChangedSince(long long since, long long& latest) override;
    AlertCounts alertCounts() override;
    long long pruneAlerts(long long before) override;
    long long thinOldestAlerts(int most) override;
    std::vector<AlertEvent> pendingAlertEvents(int limit) override;
    void markAlertEventsSent(const std::vector<AlertEvent>& events, long long now) override;

    bool samplePoints(long long hour, const std::vector<PointsSample>& samples) override;
    PointsHistory pointsHistory(const PointsSubject& subject, long long fromDay, long long toDay) override;
    PointsMark pointsMark() override;
    long long prunePoints(long long beforeDay) override;
    long long thinOldestPoints(int most) override;
    void addStatusEvents(const std::vector<StatusEvent>& events, int keep) override;
    std::vector<StatusEvent> statusEvents(long long machineId, int limit) override;
    long long pruneStatusEvents(long long before) override;
    long long thinOldestStatusEvents(int most) override;

protected:
    // BODY(connection) on a reader, outside any transaction.
    virtual void readSql(const std::function<void(Connection&)>& body) = 0;
    // BODY(connection) in one write transaction, committed when it returns;
    // tried again whole where the store tries again (BODY starts from nothing each time).
    virtual void writeSql(const std::function<void(Connection&)>& body) = 0;
    // The machine's next change number, in the writer's transaction.
    virtual void markMachineChanged(Connection& c, long long machineId) = 0;
    // After a thinning's deletes, in their transaction: what the store's size reads from is brought up to date.
    virtual void thinned(Connection&) {}

    template <typename Body>
    auto read(Body&& body) { return through(&SqlStore::readSql, std::forward<Body>(body)); }
    template <typename Body>
    auto write(Body&& body) { return through(&SqlStore::writeSql, std::forward<Body>(body)); }

private:
    // THIN_OUT(connection, MOST) in a write transaction, then thinned().
    long long thin(long long (*thinOut)(Connection&, int), int most);
    template <typename Body>
    auto through(void (SqlStore::*run)(const std::function<void(Connection&)>&), Body&& body)
        -> std::invoke_result_t<Body&, Connection&>
    {
        using Result = std::invoke_result_t<Body&, Connection&>;
        if constexpr (std::is_void_v<Result>) {
            (this->*run)(body);
        } else {
            std::optional<Result> result;
            (this->*run)([&](Connection& c) { result.emplace(body(c)); });
            return std::move(*result);
        }
    }
};

} // namespace pelmora::server::sql
