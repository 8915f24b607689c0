// What the team server keeps: the rows its store reads and writes, and what
// the monitors send it (their status record, their finished units). Plain values, whatever keeps them.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pelmora::server {

// A monitor's status record, as the record reader (record.h) gives it.
struct MonitorRecord {
    int slot = 0;
    std::string computerName;
    int cpu = 0;
    int unitsSeen = 0;
    int progress = 0;
    std::string unit;
    bool exiting = false; // the exit record: the monitor reads no command
    double cpuMhz = 0;
    std::string cpuVendor; // the only field that may hold spaces
    std::string core;
    int frames = 0;
    int points = 0;
    std::string user;
    int team = 0;
    bool inTray = false;
    int clamped = 0; // how many numbers were brought into their range
};

// One finished unit as a monitor submits it to the stats site.
struct UnitSubmission {
    std::string user;
    int team = 0;
    int machine = 0; // the client's machine id
    int wucount = 0;
    std::string cpuVendor;
    std::string cpuString;
    int cpuMhz = 0;
    double frameMinutes = 0;
    std::string protein; // the finished unit's name
    std::string core;
    int memoryMib = 0;
};

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
    bool waiting = false;          // a new identity put on the waiting list (refused, not stored as a machine)
    bool slotShared = false;       // its new slot is held by another machine that has not stopped
    long long waitingId = 0;       // its waiting row
};

// What a record may do, beyond reporting.
struct ExchangeRules {
    std::string address;       // the sender's; empty: unknown, the machine's is kept
    bool pinAddresses = false; // refuse a known machine's record from another address
    bool mayAddMachine = true; // a record of a machine not known may add it
    long long maxMachines = 0; // 0: no cap
    // A new identity waits for the admin's approval: one waiting row, its
    // first sender's, at most MAX_WAITING of them (past that the least
    // recently seen of the address holding the most is dropped).
    bool byApproval = false;
    long long maxWaiting = 0;
    // False for a report written after its monitor had its answer (kept
    // while the store could not be reached): its pending command stays
    // pending, and in a store several servers share it is not written over
    // a newer report of its machine.
    bool givesCommand = true;
};

// One record of a group written in one transaction (MachineStore::recordReports).
struct ReportWrite {
    MonitorRecord record;
    long long now = 0;
    ExchangeRules rules;
};

// A new identity waiting for the admin's approval (--admission approve).
struct WaitingRow {
    long long id = 0;
    std::string name;
    int cpu = 0;
    std::string user;
    int team = 0;
    std::string unit, address; // of its first sender's last record: the row is its first sender's
    long long firstSeen = 0, lastSeen = 0;
    // Another sender of its name (noted at most once a minute, its records
    // change nothing else), for the admin to choose: otherAt 0 none.
    std::string otherAddress;
    long long otherAt = 0;
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
    // An address whose record was refused (pinned), noted at most once a minute: '' none.
    std::string refusedAddress;
    long long refusedAt = 0;
    long long mutedUntil = 0; // its alerts are muted until then (maintenance); 0 never muted
};

// What approving waiting identities did: the machines made (name, cpu,
// user, team, address and id), and the waiting rows left because the store
// holds the most machines allowed.
struct Approval {
    std::vector<MachineRow> approved;
    std::vector<WaitingRow> refused;
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

// A row of a machine's history (history_rule.h): the values it reported
// from AT until the next row.
struct ReportRow {
    long long at = 0;
    int progress = 0;
    std::string unit;
    bool inTray = false;
    bool stopped = false;     // an exit record
    long long silentFrom = 0; // the machine was silent from then until AT (0: it was not)
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

// What a points history is about: the whole fleet, a user (a name in a
// team) or one machine.
enum class PointsKind { fleet = 0, user = 1, machine = 2 };
struct PointsSubject {
    PointsKind kind = PointsKind::fleet;
    std::string user;
    int team = 0;
    long long machineId = 0;
};

// One subject's estimated points per day at an hour's sample.
struct PointsSample {
    PointsSubject subject;
    long long ppd = 0;
};

// A UTC day (days since the epoch) of a subject: the units finished and
// their points, and the average of its hourly estimates (none when the
// store took no sample that day).
struct PointsDay {
    long long day = 0;
    long long units = 0, points = 0;
    std::optional<long long> estimated;
};

struct PointsHour {
    long long at = 0, ppd = 0;
};

// The days asked for, each present; the fleet's hourly samples over them;
// the subject's estimate in the last hour sampled (0 when it had none).
struct PointsHistory {
    std::vector<PointsDay> days;
    std::vector<PointsHour> hours; // the fleet's only
    long long lastPpd = 0;
};

// The last hour sampled, the last unit's number and the removals' (0: none).
struct PointsMark {
    long long hour = 0, unit = 0, removals = 0;
    bool operator==(const PointsMark& o) const { return hour == o.hour && unit == o.unit && removals == o.removals; }
};

// A machine's status from AT on (folding, stalled, offline, stopped).
struct StatusEvent {
    long long machineId = 0;
    long long at = 0;
    std::string status;
};

} // namespace pelmora::server
