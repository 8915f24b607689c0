// The store in PostgreSQL, for several servers on one database. One writer
// connection (the monitor listener and the command API take turns on it, as
// on SQLite's) and a few reader connections, each used by one thread at a
// time. Every write is one transaction, tried again whole after a
// serialization failure or a deadlock, or when the connection was lost
// before its commit; a lost connection is made again at the next use. Its
// methods are defined a concern a file beside this one; those whose SQL
// both stores take are sql::SqlStore's (common/sql_store.h).
#pragma once

#include <atomic>
#include <bitset>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "server/store/exchange_rule.h"
#include "server/store/postgres/connection.h"
#include "server/store/common/sql_store.h"
#include "server/store/store.h"
#include "server/support/defaults.h"

namespace pelmora::server {

// Whether DB names a PostgreSQL database (a libpq URI) rather than a SQLite file.
bool isPostgresUri(const std::string& db);

// Connects to the database at URI and brings its schema up to date (once,
// whichever of several servers starting together gets there first);
// nullptr with ERROR, a whole sentence for the log, when it cannot.
std::unique_ptr<Store> openPostgresStore(const std::string& uri, std::string& error,
                                         const PgSettings& settings = {});

class PostgresStore final : public sql::SqlStore {
public:
    void setOfflineAfter(long long seconds) override { offlineAfter_ = seconds; }
    void setHistoryResolution(long long seconds) override { historyResolution_ = seconds; }
    std::vector<ExchangeResult> recordReports(const std::vector<ReportWrite>& reports) override;
    bool machineExists(long long id) override;
    std::vector<MachineRow> machines() override;
    std::vector<MachineRow> machinesChangedSince(long long since, long long& latest) override;
    std::vector<int> heldSlots() override;
    int freeSlot(const std::vector<int>& offered) override;
    std::vector<ReportRow> history(long long machineId, long long since, long long until, int most) override;
    std::optional<ReportRow> reportBefore(long long machineId, long long at) override;
    long long pruneReports(long long before) override;
    long long thinOldestReports(int most) override;
    std::vector<MachineRow> removeMachines(const std::vector<long long>& ids) override;
    std::vector<long long> silentMachines(long long before, int limit) override;
    long long removals() override;
    long long machineCount() override;
    std::optional<std::string> clearAddress(long long machineId, long long now) override;
    std::optional<std::string> moveAddress(long long machineId, const std::string& address, long long now) override;
    bool muteMachine(long long machineId, long long until) override;

    std::vector<WaitingRow> waiting() override;
    long long waitingCount() override;
    Approval approve(const std::vector<long long>& ids, long long maxMachines, long long now,
                     const std::string& address) override;

    // Commands, units, sessions, alerts and the points history: sql::SqlStore's but these.
    void addUnits(const std::vector<LateUnit>& units) override; // in one transaction
    long long lastAlertChange() override;
    std::vector<AlertRow> setAlerts(const std::vector<AlertWanted>& wanted, long long now, bool forWebhook) override;
    std::vector<AlertEvent> claimAlertEvents(const std::string& holder, int limit, long long claimMs) override;

    bool holdLease(const std::string& holder, int seconds) override;

    std::vector<StatusEvent> lastStatuses() override;

    Totals totals() override;
    bool writable(std::string& error) override;
    // PostgreSQL vacuums by itself: nothing to do here.
    void upkeep(Upkeep) override {}
    long long sizeBytes() override;
    // Whether the database answers now: a reader's short query on the
    // machines, within a bound well under a health check's.
    bool ready() override;
    std::optional<std::string> sharedAdminToken(const std::string& made) override;
    std::unique_ptr<ChangeSignal> changeSignal() override;

private:
    friend std::unique_ptr<Store> openPostgresStore(const std::string& uri, std::string& error,
                                                    const PgSettings& settings);
    PostgresStore(std::string uri, PgSettings settings)
        : uri_(std::move(uri)), settings_(settings), slotHolder_(newSlotHolder())
    {
    }
    static std::string newSlotHolder(); // a random name, one a store object

    // BODY(connection) in one write transaction on the writer, under
    // writeMutex_, committed when it returns; tried again whole (so BODY
    // starts from nothing each time) when trying again may succeed.
    template <typename Body>
    auto writing(Body&& body) -> std::invoke_result_t<Body&, PgConnection&>;
    // BODY(connection) on a reader connection, outside a transaction unless BODY begins one.
    template <typename Body>
    auto reading(Body&& body) -> std::invoke_result_t<Body&, PgConnection&>;
    // A reader, made within CONNECT_MILLISECONDS when none is idle (0: the store's bound).
    std::unique_ptr<PgConnection> borrowReader(int connectMilliseconds = 0);
    void giveBack(std::unique_ptr<PgConnection> connection);
    // sql::SqlStore's connections (sql_connection.cpp), through reading() and writing().
    void readSql(const std::function<void(sql::Connection&)>& body) override;
    void writeSql(const std::function<void(sql::Connection&)>& body) override;
    void markMachineChanged(sql::Connection& c, long long machineId) override;
    void thinned(sql::Connection& c) override;
    // True when the failure was on a connection lost and one more try is allowed.
    bool lost(const PgError& e, int attempt);

    // The next number of COUNTER (a row of totals), taken in the writer's
    // transaction: the numbers commit in the order they are taken (see its definition).
    static long long takeNumber(PgConnection& c, const char* counter);
    static long long counter(PgConnection& c, const char* counter);
    // The machine's row locked until the commit. Every write locks its
    // machine's row before the counter rows, and those before its commands,
    // so that two servers' writes wait for each other rather than deadlock.
    static void lockMachine(PgConnection& c, long long machineId);
    // The machine's next change number, for a write to it or its commands.
    static void markChanged(PgConnection& c, long long machineId);
    struct Batch; // what one batch's records share (machines.cpp)
    ExchangeResult exchange(PgConnection& c, const ReportWrite& write, Batch& batch);
    // The exchange's reads and writes, as exchange_rule.h decides them.
    static std::optional<FoundMachine> lookUp(PgConnection& c, const MonitorRecord& record, int attempt, Batch& batch,
                                              bool& pending);
    static long long countMachines(PgConnection& c, Batch& batch);
    static void holdKnownWrite(PgConnection& c, const MonitorRecord& record, long long now,
                               const ExchangeDecision& decision, bool pending, Batch& batch);
    static bool addMachine(PgConnection& c, const MonitorRecord& record, long long now, ExchangeDecision& decision,
                           Batch& batch);
    // recordReport's paths for admission (admission.cpp): a new identity on
    // the waiting list; a pinned machine's refused sender remembered (true
    // when its row changed: the caller gives it its change number).
    static void putWaiting(PgConnection& c, const MonitorRecord& record, long long now, const ExchangeRules& rules,
                           ExchangeResult& result);
    // A lock every server takes, until the commit, to count WHAT and add to it, so a bound holds across servers.
    static void lockCount(PgConnection& c, const char* what);
    static bool noteRefusedAddress(PgConnection& c, long long machineId, const std::string& address, long long now);

    // After a commit, under writeMutex_: NOTIFY the servers listening (change_signal.cpp).
    void announce();
    friend class PgChangeSignal;

    static constexpr int kAttempts = 5;
    const std::string uri_;
    const PgSettings settings_;
    std::mutex writeMutex_;
    std::unique_ptr<PgConnection> writer_; // made again when lost
    std::atomic<long long> offlineAfter_{defaults::kOfflineAfterSeconds};
    std::atomic<long long> historyResolution_{defaults::kHistoryResolutionSeconds};
    // The slots held, as read at the store's slot change number CHANGE, and
    // this server's lease of slots to offer (slots.cpp), all under slotsMutex_.
    std::mutex slotsMutex_;
    struct {
        long long change = -1;
        std::bitset<256> held;
    } slotsRead_;
    struct SlotLease {
        std::bitset<256> slots, freed; // leased; given up by machines since the last lease
        std::chrono::steady_clock::time_point until{}, retryAt{}, relookAt{};
        long long dryAt = -1; // the slot change number a lease found none free at
    } slotLease_;
    const std::string slotHolder_; // this store object's name in slot_leases
    void leaseSlots(const std::bitset<256>& offered);
    // The last NOTIFY (steady clock, milliseconds), and whether a commit
    // since has gone untold (the listener tells it).
    std::atomic<long long> announcedAt_{0};
    std::atomic<bool> untold_{false};
    std::mutex readersMutex_;
    std::vector<std::unique_ptr<PgConnection>> idleReaders_;
};

// Once: the connection was lost while idle (the database restarted, say)
// and a new one may do; a database that cannot be reached, or did not
// answer in time, fails at once.
inline bool PostgresStore::lost(const PgError& e, int attempt)
{
    return e.connectionLost() && !e.unanswered() && attempt == 1;
}

template <typename Body>
auto PostgresStore::writing(Body&& body) -> std::invoke_result_t<Body&, PgConnection&>
{
    std::lock_guard<std::mutex> lock(writeMutex_);
    for (int attempt = 1;; ++attempt) {
        bool committing = false, began = false;
        try {
            if (!writer_ || writer_->broken()) writer_ = std::make_unique<PgConnection>(uri_, settings_);
            PgConnection& c = *writer_;
            c.begin(); // sent with the first statement
            began = true;
            if constexpr (std::is_void_v<std::invoke_result_t<Body&, PgConnection&>>) {
                body(c);
                committing = true;
                c.commit();
                announce();
                return;
            } else {
                auto result = body(c);
                committing = true;
                c.commit(); // unless its last statement sent it
                announce();
                return result;
            }
        } catch (const PgError& e) {
            if (writer_) writer_->settle();
            // A commit whose answer was lost may have happened: not tried again.
            // Tried again after a pause that grows, so the transaction that
            // won takes the rows first instead of meeting this one again.
            if (e.retryable() && attempt < kAttempts) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10 << attempt));
                continue;
            }
            const bool mayHaveCommitted = committing || (began && writer_ && writer_->commitSent());
            if (!mayHaveCommitted && lost(e, attempt)) continue;
            // A lock or statement time-out, answered, rolled the transaction back.
            if ((!mayHaveCommitted || !e.timedOut()) && (e.connectionLost() || e.unanswered()))
                throw StoreUnreachable(e.what());
            throw;
        } catch (...) {
            if (writer_) writer_->settle();
            throw;
        }
    }
}

template <typename Body>
auto PostgresStore::reading(Body&& body) -> std::invoke_result_t<Body&, PgConnection&>
{
    for (int attempt = 1;; ++attempt) {
        std::unique_ptr<PgConnection> c;
        try {
            c = borrowReader();
            if constexpr (std::is_void_v<std::invoke_result_t<Body&, PgConnection&>>) {
                body(*c);
                giveBack(std::move(c));
                return;
            } else {
                auto result = body(*c);
                giveBack(std::move(c));
                return result;
            }
        } catch (const PgError& e) {
            if (c) giveBack(std::move(c));
            if (e.retryable() ? attempt < kAttempts : lost(e, attempt)) continue;
            if (e.connectionLost() || e.unanswered()) throw StoreUnreachable(e.what());
            throw;
        } catch (...) {
            if (c) giveBack(std::move(c));
            throw;
        }
    }
}

} // namespace pelmora::server
