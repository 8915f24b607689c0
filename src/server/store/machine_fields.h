// A machine's fields, in one list: the columns the store reads into a
// MachineRow, and the keys the API sends, in this order (README.md lists
// them; a test compares the two). A field a monitor's record carries, shown
// in the fleet, is one row here (its record member written at every
// exchange) besides its column (migrations.cpp).
#pragma once

#include <string>
#include <type_traits>
#include <variant>
#include <vector>

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

// The record's member an exchange writes a column from.
using RecordMember = RowMember<MonitorRecord>;

struct MachineField {
    const char* key; // the column's name and the JSON key
    MachineMember member;
    Shown shown;
    bool column = true; // a column of the machines table (not: derived, or read from elsewhere)
    // Written as the record has it at every exchange (none: the store, or the rule, decides it).
    RecordMember record = {};
};

inline const MachineField kMachineFields[] = {
    {"id", &MachineRow::id, Shown::asIs},
    {"name", &MachineRow::name, Shown::asIs},
    {"cpu", &MachineRow::cpu, Shown::asIs},
    {"slot", &MachineRow::slot, Shown::asIs},
    {"user", &MachineRow::user, Shown::asIs, true, &MonitorRecord::user},
    {"team", &MachineRow::team, Shown::asIs, true, &MonitorRecord::team},
    {"unit", &MachineRow::unit, Shown::asIs, true, &MonitorRecord::unit},
    {"progress", &MachineRow::progress, Shown::asIs, true, &MonitorRecord::progress},
    {"core", &MachineRow::core, Shown::asIs, true, &MonitorRecord::core},
    {"frames", &MachineRow::frames, Shown::asIs, true, &MonitorRecord::frames},
    {"points", &MachineRow::points, Shown::asIs, true, &MonitorRecord::points},
    {"units_seen", &MachineRow::unitsSeen, Shown::asIs, true, &MonitorRecord::unitsSeen},
    {"cpu_mhz", &MachineRow::cpuMhz, Shown::asIs, true, &MonitorRecord::cpuMhz},
    {"cpu_vendor", &MachineRow::cpuVendor, Shown::asIs, true, &MonitorRecord::cpuVendor},
    {"in_tray", &MachineRow::inTray, Shown::asIs, true, &MonitorRecord::inTray},
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

// A column an exchange writes from a member of ROW (the record, or the
// values the exchange decides), with its parameter's name.
template <class Row>
struct WrittenColumn {
    std::string column;    // quoted: "user" is a keyword in PostgreSQL
    std::string parameter; // :key
    RowMember<Row> member;
};
template <class Row>
using WrittenColumns = std::vector<WrittenColumn<Row>>;

template <class Row>
void addWritten(WrittenColumns<Row>& to, const char* key, RowMember<Row> member)
{
    to.push_back({std::string("\"") + key + "\"", std::string(":") + key, member});
}

// The columns written from the record, in kMachineFields' order.
inline const WrittenColumns<MonitorRecord>& recordColumns()
{
    static const WrittenColumns<MonitorRecord> columns = [] {
        WrittenColumns<MonitorRecord> out;
        for (const MachineField& f : kMachineFields)
            if (!std::holds_alternative<std::monostate>(f.record)) addWritten(out, f.key, f.record);
        return out;
    }();
    return columns;
}

// "c1 = :c1, c2 = :c2, ..." for an UPDATE's SET.
template <class Row>
std::string assignments(const WrittenColumns<Row>& columns)
{
    std::string out;
    for (const WrittenColumn<Row>& c : columns) out += (out.empty() ? "" : ", ") + c.column + " = " + c.parameter;
    return out;
}

// The columns, or their parameters, "a, b, ...", for an INSERT.
template <class Row>
std::string columnNames(const WrittenColumns<Row>& columns, bool parameters = false)
{
    std::string out;
    for (const WrittenColumn<Row>& c : columns) out += (out.empty() ? "" : ", ") + (parameters ? c.parameter : c.column);
    return out;
}

// Binds ROW's values of COLUMNS on a statement Q (SQLite's or PostgreSQL's).
template <class Query, class Row>
void bindColumns(Query& q, const WrittenColumns<Row>& columns, const Row& row)
{
    for (const WrittenColumn<Row>& c : columns)
        std::visit(
            [&](auto member) {
                if constexpr (!std::is_same_v<decltype(member), std::monostate>) q.bind(c.parameter.c_str(), row.*member);
            },
            c.member);
}

} // namespace pelmora::server
