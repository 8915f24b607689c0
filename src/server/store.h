// The server's store: SQLite in write-ahead-log mode. One writer connection
// (the monitor listener and the command API take turns on it), a few reader
// connections for the API. Every exchange is one transaction.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "server/record.h"
#include "server/unit_query.h"

struct sqlite3;

namespace pelmora_server {

class Statement;

struct ExchangeResult {
    long long machineId = 0;
    bool newMachine = false;
    int oldSlot = 0;
    int newSlot = 0;
    int command = 0; // the byte to answer with: 0 nothing, 1 exit, 2 tray, 3 restart
    long long commandId = 0;
    const char* refused = nullptr; // why the record was refused, nothing written
    std::string oldAddress;        // the machine's address before this record
    bool addressChanged = false;   // it came from another address than the last
};

// What a record may do, beyond reporting.
struct ExchangeRules {
    std::string address;       // the sender's; empty: unknown, the machine's is kept
    bool pinAddresses = false; // refuse a known machine's record from another address
    bool mayAddMachine = true; // a record of a machine not known may add it
    long long maxMachines = 0; // 0: no cap
};

struct MachineRow {
    long long id = 0;
    std::string name;
    int cpu = 0, slot = 0;
    std::string user;
    int team = 0;
    std::string unit;
    int progress = 0;
    std::string core;
    int frames = 0, points = 0, unitsSeen = 0;
    double cpuMhz = 0;
    std::string cpuVendor;
    bool inTray = false, stopped = false;
    long long lastSeen = 0;
    long long unitSince = 0;  // first report of the current unit
    int unitFirstProgress = 0;
    long long changedAt = 0;  // last change of unit or progress
    long long resumedAt = 0;  // its first report after a silence longer than the offline limit
    long long paceAt = 0;     // the start of the pace window: a report of the current unit
    int paceProgress = 0;     // and its progress
    std::string pendingCommand; // empty: none
    std::string address, previousAddress; // of its last record, and before the last change ('' none)
    long long addressChangedAt = 0;
};

// The pace is measured from a report of the current unit between half of
// this and all of it before the latest step forward (from the unit's first
// report while the unit is younger), so it follows the machine's recent
// speed rather than the whole unit's.
constexpr long long kPaceWindowSeconds = 3600;

struct CommandRow {
    long long id = 0, machineId = 0;
    std::string command, state, requestedBy, cancelledBy;
    std::string deliveredTo; // the address that took it
    long long requestedAt = 0, deliveredAt = 0, cancelledAt = 0; // 0: not (yet)
};

struct ReportRow {
    long long at = 0;
    int progress = 0;
    std::string unit;
    bool inTray = false;
};

struct UnitRow {
    long long at = 0;
    UnitSubmission unit; // its core: the one the machine reported for it, else the one submitted
    int points = 0;
    std::optional<long long> machineId; // the machine it was attributed to
};

struct UnitFilter {
    std::optional<std::string> user;
    std::optional<int> team, machine;
    std::optional<long long> machineId;
    int limit = 100;
};

// The units a user (a user name in a team) submitted, and their points.
struct UserUnits {
    std::string user;
    int team = 0;
    long long units = 0, points = 0;
};

struct DayUserSummary {
    std::string day, user;
    long long units = 0, points = 0;
};

struct Totals {
    long long reports = 0, units = 0, points = 0;
    long long recordsClamped = 0; // records with a number brought into its range
};

struct UnitCounts {
    long long user = 0, team = 0;
};

struct CpuSummary {
    std::string cpuString, cpuVendor;
    long long units = 0;
    double averageFrameMinutes = 0;
};

struct SessionRow {
    std::string id, role, csrf; // role: "admin" or "viewer"
    long long expires = 0;
};

// An alert: a machine offline or stalled from RAISED_AT until RESOLVED_AT.
struct AlertRow {
    long long id = 0, machineId = 0;
    std::string machine; // "NAME/CPU"
    std::string kind;    // offline or stalled
    long long raisedAt = 0, resolvedAt = 0; // resolvedAt 0: still open
    long long change = 0; // the number of its last write (its raise or its resolution)
};

// One event for the webhook: an alert raised, or resolved.
struct AlertEvent {
    AlertRow alert; // as it was at the event: a raise shows it open
    bool resolution = false;
    long long number = 0; // events go out in this order
};

struct AlertFilter {
    bool activeOnly = false;
    long long machineId = 0; // 0: every machine
    int limit = 100;         // -1: no limit
};

struct AlertCounts {
    long long offline = 0, stalled = 0; // open now
    long long raised = 0;               // ever
};

// The alert a machine should have now: KIND offline, stalled, or nullptr for none.
struct AlertWanted {
    long long machineId = 0;
    const char* kind = nullptr;
};

// Command names and their bytes.
int commandByte(const std::string& name); // 0 when unknown
const char* commandName(int byte);        // nullptr when none

class Store {
public:
    // Opens or creates the store and brings its schema up to date.
    static std::unique_ptr<Store> open(const std::string& path, std::string& error);
    ~Store();

    // One record: the machine, its history, its pending command (given and
    // marked delivered for a periodic record; an exit record marks the
    // machine stopped, frees its slot and drops a pending exit).
    // A report after a silence longer than this (the offline limit) marks
    // the machine's return: it made no progress while away, which is not a stall.
    void setOfflineAfter(long long seconds) { offlineAfter_ = seconds; }
    // RULES may refuse it (RESULT.refused says why; nothing is written). The
    // sender's address (RULES.address) is what unit submissions are matched against.
    ExchangeResult recordReport(const MonitorRecord& record, long long now, const ExchangeRules& rules = {});
    // A command whose answer could not be sent goes back to pending.
    void undeliver(long long commandId);

    // At most one pending command a machine: a new one replaces it.
    std::optional<CommandRow> queueCommand(long long machineId, const std::string& command,
                                           const std::string& by, long long now);
    // Cancels the machine's pending command (COMMAND_ID 0: whichever it is;
    // MACHINE_ID 0: whichever machine's command COMMAND_ID is).
    std::optional<CommandRow> cancelCommand(long long machineId, long long commandId, const std::string& by,
                                            long long now);
    std::vector<CommandRow> commands(long long machineId, int limit);

    // The unit is attributed to the machine whose current or previous unit
    // has its name (one at PEER first, then one of its user and team, then
    // one whose WU# agrees, then the one seen last), and stored with that
    // machine's points and core for it; with no such machine, to none.
    UnitCounts addUnit(const UnitSubmission& unit, long long now, const std::string& peer = "");

    bool machineExists(long long id);
    std::vector<MachineRow> machines();
    // The machines written after change number SINCE (0: all), and in
    // LATEST the number of the last change they include. Every write to a
    // machine, or to its commands, takes the next number.
    std::vector<MachineRow> machinesChangedSince(long long since, long long& latest);
    std::vector<UnitRow> units(const UnitFilter& filter);
    std::vector<DayUserSummary> summary(long long since);
    std::vector<CpuSummary> cpus(); // the submitted units by CPU, most units first
    std::vector<UserUnits> unitsByUser(long long since); // submitted at or after SINCE
    Totals totals();

    // The dashboard's sign-in sessions. removeSessions drops session ID
    // (may be empty) and every one expired by EXPIRED_BY.
    void addSession(const SessionRow& session);
    std::optional<SessionRow> session(const std::string& id, long long now);
    void removeSessions(const std::string& id, long long expiredBy);
    // Slots held by machines that have not stopped, once per holder.
    std::vector<int> heldSlots();

    long long pruneReports(long long before);

    // Alerts. At most one open alert of a kind a machine (the store holds to
    // it, across restarts). Each raise and each resolution takes the next
    // alert change number, a sequence of its own.
    std::vector<AlertRow> alerts(const AlertFilter& filter); // newest first
    // For the live event stream: the alerts raised or resolved after change
    // number SINCE, oldest change first, and in LATEST the number of the last
    // one included (SINCE when none). Start from lastAlertChange() to get only
    // what happens from then on. Cheap when nothing changed: no query at all.
    std::vector<AlertRow> alertsChangedSince(long long since, long long& latest);
    long long lastAlertChange() const { return lastAlertChange_; }
    // Brings each machine's open alert to the wanted kind: resolves an open
    // one of another kind, raises the wanted one unless it is open. With
    // FOR_WEBHOOK false the events are marked as never to be sent (no webhook
    // is set). Returns the alerts raised or resolved, in change order.
    std::vector<AlertRow> setAlerts(const std::vector<AlertWanted>& wanted, long long now, bool forWebhook);
    // The webhook's queue: the first LIMIT undelivered events, lowest number first.
    std::vector<AlertEvent> pendingAlertEvents(int limit);
    // In one transaction: a summary of many is marked sent whole or not at all.
    void markAlertEventsSent(const std::vector<AlertEvent>& events, long long now);
    AlertCounts alertCounts();
    // Removes alerts resolved before BEFORE whose events are all dealt with.
    long long pruneAlerts(long long before);
    // A write that is kept, so a store that cannot be written (a read-only
    // file or folder, a full disk) is found at start. False with ERROR.
    bool writable(std::string& error);
    // Copies the log into the store; TRUNCATE also empties the log file
    // (which otherwise keeps the size a burst gave it).
    void checkpoint(bool truncate = false);

    // Removing machines, with their reports, commands and alerts. Each
    // removal takes the next removal number, so the fleet's views can tell
    // they must read every machine again.
    std::vector<MachineRow> removeMachines(const std::vector<long long>& ids);
    // The machines that sent nothing since BEFORE, at most LIMIT of them.
    std::vector<long long> silentMachines(long long before, int limit);
    long long removals() const { return removals_; }
    long long machineCount() const { return machineCount_; }
    // Forgets a machine's address, so its next record's is taken (pinned).
    // The address it had, or nothing when there is no such machine.
    std::optional<std::string> clearAddress(long long machineId, long long now);
    // The reports of a machine since SINCE, MOST at most: the last of each
    // equal span of time when there are more.
    std::vector<ReportRow> history(long long machineId, long long since, long long until, int most);

private:
    class Reader;
    Store() = default;
    Reader borrowReader();
    std::optional<CommandRow> commandById(sqlite3* db, long long id);

    std::string path_;
    std::mutex writeMutex_;
    std::atomic<long long> lastChange_{0}; // taken under writeMutex_
    std::atomic<long long> lastAlertChange_{0}; // likewise
    std::atomic<long long> machineCount_{0}, removals_{0}; // likewise
    std::atomic<long long> offlineAfter_{900};
    sqlite3* writer_ = nullptr;
    struct Prepared;
    std::unique_ptr<Prepared> prepared_;
    std::mutex readersMutex_;
    std::vector<sqlite3*> idleReaders_;
};

} // namespace pelmora_server
