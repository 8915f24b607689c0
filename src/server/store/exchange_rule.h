// A monitor's exchange decided here, from the machine's row as the store
// read it, so that every store refuses, skips and writes the same: the
// stores read the row (kFoundColumns), ask decideExchange, and write what
// it says.
#pragma once

#include <optional>
#include <string>

#include "server/store/history_rule.h"
#include "server/store/machine_fields.h"
#include "server/store/pace_rule.h"
#include "server/store/rows.h"

namespace pelmora::server {

// Why a record is refused (ExchangeResult::refused).
namespace refusal {
inline constexpr const char* kPinned = "it comes from another address than the machine's (pinned)";
inline constexpr const char* kWaiting = "waiting for the admin's approval";
inline constexpr const char* kTooManyNew = "too many new machines from its address";
inline constexpr const char* kFull = "the store holds the most machines allowed";
} // namespace refusal

// A refused sender of a machine, or another sender of a waiting identity,
// is noted at most this often: a flood, from however many addresses,
// rewrites the row (and so changes the fleet's views) no more often.
constexpr long long kNoteEverySeconds = 60;

// Notes made before this may be replaced at NOW.
constexpr long long notesReplaceableUpTo(long long now) { return now - kNoteEverySeconds; }

// The machine's row as an exchange reads it.
struct FoundMachine {
    long long id = 0;
    int slot = 0;
    std::string unit;
    int progress = 0;
    bool stopped = false; // its last record was its exit record
    bool inTray = false;
    long long paceAt = 0, paceNextAt = 0;
    int paceProgress = 0, paceNextProgress = 0;
    long long lastSeen = 0;
    std::string address;
    long long refusedAt = 0; // when a refused sender was last noted
    long long historyRowId = 0, historyAt = 0;
    bool historySecond = false;
    // What a new unit, a change, a return or a new address keeps of it.
    long long points = 0;
    std::string core;
    long long unitSince = 0;
    int unitFirstProgress = 0;
    std::string prevUnit, prevCore;
    long long prevPoints = 0;
    long long changedAt = 0, resumedAt = 0;
    std::string previousAddress;
    long long addressChangedAt = 0;
};

struct FoundColumn {
    const char* name;
    RowMember<FoundMachine> member;
};

// The machines table's columns a store reads into a FoundMachine, in this order.
inline const FoundColumn kFoundColumns[] = {
    {"id", &FoundMachine::id},
    {"slot", &FoundMachine::slot},
    {"unit", &FoundMachine::unit},
    {"progress", &FoundMachine::progress},
    {"stopped", &FoundMachine::stopped},
    {"in_tray", &FoundMachine::inTray},
    {"pace_at", &FoundMachine::paceAt},
    {"pace_progress", &FoundMachine::paceProgress},
    {"pace_next_at", &FoundMachine::paceNextAt},
    {"pace_next_progress", &FoundMachine::paceNextProgress},
    {"last_seen", &FoundMachine::lastSeen},
    {"address", &FoundMachine::address},
    {"refused_at", &FoundMachine::refusedAt},
    {"history_rowid", &FoundMachine::historyRowId},
    {"history_at", &FoundMachine::historyAt},
    {"history_second", &FoundMachine::historySecond},
    {"points", &FoundMachine::points},
    {"core", &FoundMachine::core},
    {"unit_since", &FoundMachine::unitSince},
    {"unit_first_progress", &FoundMachine::unitFirstProgress},
    {"prev_unit", &FoundMachine::prevUnit},
    {"prev_points", &FoundMachine::prevPoints},
    {"prev_core", &FoundMachine::prevCore},
    {"changed_at", &FoundMachine::changedAt},
    {"resumed_at", &FoundMachine::resumedAt},
    {"previous_address", &FoundMachine::previousAddress},
    {"address_changed_at", &FoundMachine::addressChangedAt},
};
inline constexpr int kFoundColumnCount = static_cast<int>(sizeof(kFoundColumns) / sizeof(kFoundColumns[0]));

// "a.x, a.y, ..." for PREFIX "a.", the columns quoted when QUOTED.
inline std::string foundColumnList(const std::string& prefix, bool quoted)
{
    std::string out;
    for (const FoundColumn& c : kFoundColumns)
        out += (out.empty() ? "" : ", ") + prefix + (quoted ? "\"" : "") + c.name + (quoted ? "\"" : "");
    return out;
}

// The store's settings an exchange reads.
struct ExchangeSettings {
    long long offlineAfter = 0;      // silent longer than this: it returns with this record
    long long historyResolution = 1; // history_rule.h
};

// The machine's columns an exchange decides, besides the record's own
// (machine_fields.h), the slot and whether it stopped.
struct DecidedValues {
    long long unitSince = 0; // the current unit's first report
    int unitFirstProgress = 0;
    std::string prevUnit, prevCore; // the unit before, for a unit submitted late (unit_attribution.h)
    long long prevPoints = 0;
    long long changedAt = 0; // the last change of unit or progress, or its coming back: the stall clock
    long long resumedAt = 0; // its first report after a silence
    std::string address, previousAddress;
    long long addressChangedAt = 0;
    long long paceAt = 0, paceNextAt = 0; // pace_rule.h
    int paceProgress = 0, paceNextProgress = 0;
};

inline const WrittenColumns<DecidedValues>& decidedColumns()
{
    static const WrittenColumns<DecidedValues> columns = [] {
        WrittenColumns<DecidedValues> out;
        addWritten<DecidedValues>(out, "unit_since", &DecidedValues::unitSince);
        addWritten<DecidedValues>(out, "unit_first_progress", &DecidedValues::unitFirstProgress);
        addWritten<DecidedValues>(out, "prev_unit", &DecidedValues::prevUnit);
        addWritten<DecidedValues>(out, "prev_points", &DecidedValues::prevPoints);
        addWritten<DecidedValues>(out, "prev_core", &DecidedValues::prevCore);
        addWritten<DecidedValues>(out, "changed_at", &DecidedValues::changedAt);
        addWritten<DecidedValues>(out, "resumed_at", &DecidedValues::resumedAt);
        addWritten<DecidedValues>(out, "address", &DecidedValues::address);
        addWritten<DecidedValues>(out, "previous_address", &DecidedValues::previousAddress);
        addWritten<DecidedValues>(out, "address_changed_at", &DecidedValues::addressChangedAt);
        addWritten<DecidedValues>(out, "pace_at", &DecidedValues::paceAt);
        addWritten<DecidedValues>(out, "pace_progress", &DecidedValues::paceProgress);
        addWritten<DecidedValues>(out, "pace_next_at", &DecidedValues::paceNextAt);
        addWritten<DecidedValues>(out, "pace_next_progress", &DecidedValues::paceNextProgress);
        return out;
    }();
    return columns;
}

enum class ExchangeOutcome {
    write,    // the record is written: the machine's row (added when not found) and its history
    refused,  // nothing written; noteRefused says whether its sender is noted on the machine's row
    waits,    // a new identity under approval: the store puts it on the waiting list
    skipped,  // written back after an outage, older than the row: nothing written, not refused
    countCap, // a new machine under a cap: decide again with the store's count of machines
};

struct ExchangeDecision {
    ExchangeOutcome outcome = ExchangeOutcome::write;
    // The answer as far as the row tells: a known machine's id, the slots,
    // the address change, why it was refused. The store adds a new
    // machine's id, slotShared and the command.
    ExchangeResult result;
    bool noteRefused = false; // refused as pinned, and its sender's note is due
    std::string address;      // the address the row keeps
    // The row's new values, besides the record's own.
    bool unitChanged = false; // the unit's start (unit_since, unit_first_progress) and prev_* taken now
    bool changedNow = false;  // changed_at: the stall clock starts again
    bool returns = false;     // back from a silence: resumed_at
    PaceMarks pace;
    bool slotColumns = true;  // slot and stopped change (a write may leave them, and their index, alone)
    bool slotMoved = false;   // who holds which slot changed: the offers read them again
    bool checkShared = false; // it claims a slot it did not hold: is another machine holding it?
    DecidedValues row;        // the columns above as the row takes them
    // Its history row (history_rule.h): the latest one as the row points at it.
    HistoryDecision history;
    LatestHistory latest;
    long long silentFrom = 0; // back from a silence: when it fell silent
    // Its commands: the exit record cancels a pending exit; any other
    // record that gives commands takes the pending one.
    bool cancelExit = false;
    std::string cancelledBy;
    bool deliver = false;
};

// FOUND: the machine's row, none when the store has no machine of the
// record's identity. MACHINES: the store's count of machines, asked for
// (countCap) only when a cap applies to a new one.
inline ExchangeDecision decideExchange(const std::optional<FoundMachine>& found, const MonitorRecord& r,
                                       const ExchangeRules& rules, long long now, const ExchangeSettings& settings,
                                       std::optional<long long> machines = std::nullopt)
{
    ExchangeDecision d;
    ExchangeResult& result = d.result;
    result.newSlot = r.exiting ? 0 : r.slot;
    d.address = rules.address;
    d.pace = {{now, r.progress}, {now, r.progress}};
    d.history = {HistoryWrite::add, false}; // a new machine's first row
    int heldBefore = 0;                     // the slot it held, if it had not stopped
    if (found) {
        result.machineId = found->id;
        result.oldSlot = found->slot;
        result.oldAddress = found->address;
        if (d.address.empty()) d.address = found->address;
        result.addressChanged = !found->address.empty() && d.address != found->address;
        if (result.addressChanged && rules.pinAddresses) {
            d.outcome = ExchangeOutcome::refused;
            result.refused = refusal::kPinned;
            // Only who asked is kept, for the admin to move the pin to.
            d.noteRefused = found->refusedAt <= notesReplaceableUpTo(now);
            return d;
        }
        // Kept during an outage, while another server wrote a newer one: left.
        if (!rules.givesCommand && found->lastSeen > now) {
            d.outcome = ExchangeOutcome::skipped;
            return d;
        }
        // Coming back after an exit starts the stall clock again.
        const bool comesBack = found->stopped;
        d.unitChanged = found->unit != r.unit;
        d.changedNow = d.unitChanged || found->progress != r.progress || comesBack;
        d.returns = now - found->lastSeen > settings.offlineAfter;
        heldBefore = comesBack ? 0 : found->slot;
        d.pace = decidePace({{found->paceAt, found->paceProgress}, {found->paceNextAt, found->paceNextProgress}},
                            found->progress, d.unitChanged, comesBack, r.progress, now);
        d.slotColumns = found->slot != result.newSlot || comesBack != r.exiting;
        const bool changed = d.unitChanged || found->progress != r.progress || found->inTray != r.inTray ||
                             found->stopped != r.exiting || d.returns;
        d.silentFrom = d.returns ? found->lastSeen : 0;
        d.latest = {found->historyRowId, found->historyAt, found->historySecond};
        d.history = decideHistory(d.latest, changed, d.unitChanged, now, settings.historyResolution);
    } else if (rules.byApproval) {
        d.outcome = ExchangeOutcome::waits;
        return d;
    } else if (!rules.mayAddMachine) {
        d.outcome = ExchangeOutcome::refused;
        result.refused = refusal::kTooManyNew;
        return d;
    } else if (rules.maxMachines > 0 && !machines) {
        d.outcome = ExchangeOutcome::countCap;
        return d;
    } else if (rules.maxMachines > 0 && *machines >= rules.maxMachines) {
        d.outcome = ExchangeOutcome::refused;
        result.refused = refusal::kFull;
        return d;
    } else {
        result.newMachine = true;
    }
    // Offers from two servers at once, or a monitor that claims a slot it was not offered.
    d.checkShared = result.newSlot != 0 && result.newSlot != result.oldSlot;
    d.slotMoved = heldBefore != result.newSlot;
    d.cancelExit = r.exiting;
    d.cancelledBy = "machine stopped (exit record from " + (d.address.empty() ? "?" : d.address) + ")";
    d.deliver = !r.exiting && rules.givesCommand;
    DecidedValues& v = d.row;
    v.unitSince = now, v.unitFirstProgress = r.progress, v.changedAt = now, v.resumedAt = now;
    if (found) {
        if (!d.unitChanged) v.unitSince = found->unitSince, v.unitFirstProgress = found->unitFirstProgress;
        v.prevUnit = d.unitChanged ? found->unit : found->prevUnit;
        v.prevPoints = d.unitChanged ? found->points : found->prevPoints;
        v.prevCore = d.unitChanged ? found->core : found->prevCore;
        if (!d.changedNow) v.changedAt = found->changedAt;
        if (!d.returns) v.resumedAt = found->resumedAt;
        v.previousAddress = result.addressChanged ? found->address : found->previousAddress;
        v.addressChangedAt = result.addressChanged ? now : found->addressChangedAt;
    }
    v.address = d.address;
    v.paceAt = d.pace.start.at, v.paceProgress = d.pace.start.progress;
    v.paceNextAt = d.pace.next.at, v.paceNextProgress = d.pace.next.progress;
    return d;
}

} // namespace pelmora::server
