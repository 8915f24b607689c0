// A machine's fields, in one list: the columns the store reads into a
// MachineRow, and the keys the API sends, in this order (README.md lists
// them; a test compares the two). A field a monitor's record carries, shown
// in the fleet, is one row here besides its column (migrations.cpp) and its
// write in the exchange.
#pragma once

#include <string>
#include <variant>

#include "server/store/rows.h"

namespace pelmora::server {

// How the API shows a field.
enum class Shown {
    no,         // kept for the status and the pace, never sent
    asIs,       // the value
    time,       // UTC ISO 8601
    timeOrNull, // UTC ISO 8601, null for 0
    textOrNull, // null for ''
    derived,    // not in the row: worked out when asked, from the row and the clock (fleet/machine_status.h)
};

// The member of a ROW that holds a column; none for a derived field.
template <class Row>
using RowMember = std::variant<std::monostate, long long Row::*, int Row::*, double Row::*, bool Row::*,
                               std::string Row::*>;
using MachineMember = RowMember<MachineRow>;

struct MachineField {
    const char* key; // the column's name and the JSON key
    MachineMember member;
    Shown shown;
    bool column = true; // a column of the machines table (not: derived, or read from elsewhere)
};

inline const MachineField kMachineFields[] = {
    {"id", &MachineRow::id, Shown::asIs},
    {"name", &MachineRow::name, Shown::asIs},
    {"cpu", &MachineRow::cpu, Shown::asIs},
    {"slot", &MachineRow::slot, Shown::asIs},
    {"user", &MachineRow::user, Shown::asIs},
    {"team", &MachineRow::team, Shown::asIs},
    {"unit", &MachineRow::unit, Shown::asIs},
    {"progress", &MachineRow::progress, Shown::asIs},
    {"core", &MachineRow::core, Shown::asIs},
    {"frames", &MachineRow::frames, Shown::asIs},
    {"points", &MachineRow::points, Shown::asIs},
    {"units_seen", &MachineRow::unitsSeen, Shown::asIs},
    {"cpu_mhz", &MachineRow::cpuMhz, Shown::asIs},
    {"cpu_vendor", &MachineRow::cpuVendor, Shown::asIs},
    {"in_tray", &MachineRow::inTray, Shown::asIs},
    {"status", {}, Shown::derived, false},
    {"last_seen", &MachineRow::lastSeen, Shown::time},
    {"progress_per_hour", {}, Shown::derived, false},
    {"eta", {}, Shown::derived, false},
    {"ppd", {}, Shown::derived, false},
    {"pending_command", &MachineRow::pendingCommand, Shown::textOrNull, false}, // the commands table's
    {"address", &MachineRow::address, Shown::asIs},
    {"previous_address", &MachineRow::previousAddress, Shown::asIs},
    {"address_changed_at", &MachineRow::addressChangedAt, Shown::timeOrNull},
    {"refused_address", &MachineRow::refusedAddress, Shown::textOrNull},
    {"refused_at", &MachineRow::refusedAt, Shown::timeOrNull},
    {"changed_at", &MachineRow::changedAt, Shown::timeOrNull},
    // A column, shown only while the mute lasts (null once it ended).
    {"muted_until", &MachineRow::mutedUntil, Shown::derived},
    {"stopped", &MachineRow::stopped, Shown::no},
    {"unit_since", &MachineRow::unitSince, Shown::no},
    {"unit_first_progress", &MachineRow::unitFirstProgress, Shown::no},
    {"pace_at", &MachineRow::paceAt, Shown::no},
    {"pace_progress", &MachineRow::paceProgress, Shown::no},
    {"resumed_at", &MachineRow::resumedAt, Shown::no},
};

} // namespace pelmora::server
