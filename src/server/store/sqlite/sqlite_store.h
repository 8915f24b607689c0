// The store in SQLite, in write-ahead-log mode. One writer connection (the
// monitor listener and the command API take turns on it), a few reader
// connections for the API. The records that come together are one
// transaction (recordReports). Its methods are defined a concern a file
// beside this one; those whose SQL both stores take are
// sql::SqlStore's (common/sql_store.h).
#pragma once

#include <atomic>
#include <bitset>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "server/support/defaults.h"
#include "server/store/common/sql_store.h"
#include "server/store/exchange_rule.h"
#include "server/store/store.h"
#include "server/store/sqlite/store_lock.h"

struct sqlite3;

namespace pelmora::server {
class Transaction;
class Statement;
}

namespace pelmora::server {

// Takes the store file's lock at PATH (held until the store is closed: one
// server a store), opens or creates the store there and brings its schema up
// to date; nullptr with ERROR, a whole sentence for the log, when it cannot.
// SHARED: without the lock, beside other store objects on the file (the
// tests of several writers; the store reads everything from the file).
std::unique_ptr<Store> openSqliteStore(const std::string& path, std::string& error, bool shared = false);

class SqliteStore final : public sql::SqlStore {
public:
    ~SqliteStore() override;

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
    long long lastAlertChange() override;
    std::vector<AlertRow> setAlerts(const std::vector<AlertWanted>& wanted, long long now, bool forWebhook) override;
    std::vector<AlertEvent> claimAlertEvents(const std::string& holder, int limit, long long claimMs) override;

    // A store file is one server's (it holds the file's lock): the lease is always its.
    bool holdLease(const std::string&, int) override { return true; }

    std::vector<StatusEvent> lastStatuses() override;

    Totals totals() override;
    bool writable(std::string& error) override;
    // Frequent: a passive checkpoint, copying what it can of the log into the
    // store. Thorough: waits for the writer and empties the log file (which
    // otherwise keeps the size a burst gave it).
    void upkeep(Upkeep kind) override;
    // The pages in use (the free ones aside) times the page size.
    long long sizeBytes() override;

private:
    friend std::unique_ptr<Store> openSqliteStore(const std::string& path, std::string& error, bool shared);
    class Reader;
    struct Prepared;
    struct Admission;
    SqliteStore() = default;
    Reader borrowReader();
    // sql::SqlStore's connections (sql_connection.cpp): a reader; the writer
    // under writeMutex_ in a transaction.
    void readSql(const std::function<void(sql::Connection&)>& body) override;
    void writeSql(const std::function<void(sql::Connection&)>& body) override;
    void markMachineChanged(sql::Connection&, long long machineId) override { markChanged(machineId); }
    // The next number of COUNTER (a row of totals), taken in the writer's
    // transaction: the numbers commit in the order they are taken (see its definition).
    long long takeNumber(const char* counter);
    // COUNTER as DB sees it now.
    static long long counter(sqlite3* db, const char* counter);
    // The machine's next change number, for a write to it or its commands.
    void markChanged(long long machineId);
    // What the records written in one transaction share.
    struct ExchangeGroup {
        bool commandsPending = false; // some machine has a command waiting
        long long reports = 0, clamped = 0;
        long long number = 0; // the machines' change number, taken at the first write
        bool slotsMoved = false;
        long long changeNumber(SqliteStore& store)
        {
            return number != 0 ? number : number = store.takeNumber("machine_change");
        }
    };
    ExchangeResult exchange(const MonitorRecord& record, long long now, const ExchangeRules& rules,
                            ExchangeGroup& group);
    // The exchange's reads and writes, as exchange_rule.h decides them (under writeMutex_).
    std::optional<FoundMachine> findMachine(const MonitorRecord& record);
    long long countMachines();
    bool slotHeld(int slot, long long byOtherThan);
    void updateMachine(const MonitorRecord& record, long long now, const ExchangeDecision& decision,
                       ExchangeGroup& group);
    bool insertMachine(const MonitorRecord& record, long long now, ExchangeDecision& decision, ExchangeGroup& group);
    long long writeHistory(long long machineId, const MonitorRecord& record, long long now,
                           const ExchangeDecision& decision);
    void giveCommands(ExchangeResult& result, const ExchangeDecision& decision, const ExchangeGroup& group,
                      long long now);
    // recordReport's paths for admission (admission.cpp), under writeMutex_ in
    // its transaction: a new identity on the waiting list; a pinned
    // machine's refused sender noted.
    void putWaiting(const MonitorRecord& record, long long now, const ExchangeRules& rules, ExchangeResult& result);
    void noteRefusedAddress(long long machineId, const std::string& address, long long now);

    std::string path_;
    std::mutex writeMutex_;
    std::atomic<long long> offlineAfter_{defaults::kOfflineAfterSeconds};
    std::atomic<long long> historyResolution_{defaults::kHistoryResolutionSeconds};
    sqlite3* writer_ = nullptr;
    std::unique_ptr<Prepared> prepared_;
    std::unique_ptr<Admission> admission_;
    // Slots are offered on the monitors' thread while a group of records is
    // written: read on a connection of their own, never waiting on the writer.
    struct SlotReader;
    std::mutex slotsMutex_;
    std::unique_ptr<SlotReader> slotReader_;
    // Groups and removals this store committed that moved slots, and the
    // slots held, as read at the store's slot change number CHANGE, after
    // MOVED of them (under slotsMutex_).
    std::atomic<long long> slotsMoved_{0};
    bool shared_ = false; // other store objects may write the file
    struct {
        long long change = -1, moved = -1;
        std::bitset<256> held;
    } slotsRead_;
    std::mutex readersMutex_;
    std::vector<sqlite3*> idleReaders_;
    StoreLock lock_; // let go of after the connections above are closed
};

} // namespace pelmora::server
