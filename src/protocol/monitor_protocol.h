#pragma once
// The exchange between a monitor and its team monitor server, which the
// monitor, pelmora-server and every peer that plays one of them share:
//   1. the monitor connects to the server's port (kPort unless told);
//   2. the server sends one byte: the monitor's slot, signed;
//   3. the monitor sends kRecordBytes: the record's text (kRecordFields), a
//      NUL, then whatever its buffer held;
//   4. the server answers with one command byte (none after the exit record).
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace pelmora::protocol {

constexpr int kPort = 25876;
constexpr std::size_t kRecordBytes = 768;

// The server's answer. A byte the monitor does not know is no command.
enum Command { kNoCommand = 0, kExitCommand = 1, kToggleTrayCommand = 2, kRestartServiceCommand = 3 };

// The names the team server gives the commands (its API and its store).
struct CommandName {
    Command command;
    const char* name;
};
constexpr CommandName kCommandNames[] = {
    {kExitCommand, "exit"}, {kToggleTrayCommand, "tray"}, {kRestartServiceCommand, "restart"}};

// nullptr for a byte that is no command.
constexpr const char* commandName(int byte)
{
    for (const CommandName& c : kCommandNames)
        if (c.command == byte) return c.name;
    return nullptr;
}
// kNoCommand for a name that is none.
constexpr Command commandByte(std::string_view name)
{
    for (const CommandName& c : kCommandNames)
        if (name == c.name) return c.command;
    return kNoCommand;
}

// The record's fields in the order they stand in its text.
enum Field {
    kSlot,         // the slot the server gave
    kComputerName,
    kCpu,          // the CPU number: one monitor a CPU
    kUnitsSeen,
    kProgress,     // percent
    kUnit,         // the unit's name
    kExiting,      // 1 in the exit record, else 0
    kCpuMhz,
    kCpuVendor,    // the only field that may hold spaces
    kCore,
    kFrames,
    kPoints,
    kUser,
    kTeam,
    kInTray,       // 1 while the window is in the tray
    kFieldCount
};

// What a record says, as whoever writes one hands it over. Texts are
// NUL-terminated and not owned.
struct RecordValues {
    int slot = 0;
    const char* computerName = "";
    int cpu = 0;
    int unitsSeen = 0;
    int progress = 0;
    const char* unit = "";
    int exiting = 0;
    double cpuMhz = 0;
    const char* cpuVendor = "";
    const char* core = "";
    int frames = 0;
    int points = 0;
    const char* user = "";
    int team = 0;
    int inTray = 0;
};

// How a field is written: %d, %f or %s.
enum class FieldKind { kWhole, kReal, kText };

struct RecordField {
    Field field;
    const char* name; // in the server's refusals: "the <name> is not ..."
    int gap;          // spaces before it
    FieldKind kind;
    int RecordValues::*whole;
    double RecordValues::*real;
    const char* RecordValues::*text;
};
constexpr RecordField recordField(Field f, const char* name, int RecordValues::*m, int gap = 1)
{
    return {f, name, gap, FieldKind::kWhole, m, nullptr, nullptr};
}
constexpr RecordField recordField(Field f, const char* name, double RecordValues::*m, int gap = 1)
{
    return {f, name, gap, FieldKind::kReal, nullptr, m, nullptr};
}
constexpr RecordField recordField(Field f, const char* name, const char* RecordValues::*m, int gap = 1)
{
    return {f, name, gap, FieldKind::kText, nullptr, nullptr, m};
}

// The record's text, field by field: every writer of a record goes through
// this table, the server's reader finds the words by it. One space between
// two fields, two before the tray flag (kRecordFormat below).
constexpr RecordField kRecordFields[] = {
    recordField(kSlot, "slot", &RecordValues::slot, 0),
    recordField(kComputerName, "computer name", &RecordValues::computerName),
    recordField(kCpu, "CPU number", &RecordValues::cpu),
    recordField(kUnitsSeen, "unit count", &RecordValues::unitsSeen),
    recordField(kProgress, "progress", &RecordValues::progress),
    recordField(kUnit, "unit", &RecordValues::unit),
    recordField(kExiting, "exit flag", &RecordValues::exiting),
    recordField(kCpuMhz, "clock figure", &RecordValues::cpuMhz),
    recordField(kCpuVendor, "vendor", &RecordValues::cpuVendor),
    recordField(kCore, "core", &RecordValues::core),
    recordField(kFrames, "frames", &RecordValues::frames),
    recordField(kPoints, "points", &RecordValues::points),
    recordField(kUser, "user", &RecordValues::user),
    recordField(kTeam, "team", &RecordValues::team),
    recordField(kInTray, "tray flag", &RecordValues::inTray, 2),
};

constexpr bool rowsInFieldOrder()
{
    int i = 0;
    for (const RecordField& f : kRecordFields)
        if (f.field != i++ || f.gap < 0 || f.gap > 2) return false;
    return i == kFieldCount;
}
static_assert(rowsInFieldOrder(), "one row a field, in the enum's order, at most two spaces before it");

// The same record as one printf format, made from the table, for a peer
// written in another language (a log line, a test's expectation).
struct RecordFormat {
    char text[4 * kFieldCount + 1]; // each field's %x, at most two spaces before it, and the NUL
};
constexpr RecordFormat recordFormat()
{
    RecordFormat format{};
    int at = 0;
    for (const RecordField& f : kRecordFields) {
        for (int gap = 0; gap < f.gap; ++gap) format.text[at++] = ' ';
        format.text[at++] = '%';
        format.text[at++] = f.kind == FieldKind::kWhole ? 'd' : f.kind == FieldKind::kReal ? 'f' : 's';
    }
    return format;
}
constexpr RecordFormat kRecordFormatText = recordFormat();
constexpr const char* kRecordFormat = kRecordFormatText.text;

// The text cut at every space (the double space gives an empty word): a
// field's word is the spacesBefore(field)-th from the front, counting from
// 0, and the (kRecordSpaces - spacesBefore(field))-th from the back. The
// count from the front holds up to the vendor, the one from the back from
// the vendor's last word on.
constexpr int spacesBefore(Field field)
{
    int spaces = 0;
    for (const RecordField& f : kRecordFields) {
        spaces += f.gap;
        if (f.field == field) return spaces;
    }
    return spaces;
}
constexpr int kRecordSpaces = spacesBefore(kFieldCount);

// VALUES' text into OUT (SIZE above 0) as one snprintf of the table's
// format writes it: cut to SIZE - 1 bytes and terminated, nothing past the
// terminator touched. Returns the uncut text's length. Allocates nothing;
// only the clock figure goes through printf (%f's rounding is its own).
inline int formatRecord(const RecordValues& values, char* out, std::size_t size)
{
    std::size_t length = 0;
    const auto put = [&](const char* text, std::size_t n) {
        if (length + 1 < size) std::memcpy(out + length, text, n < size - 1 - length ? n : size - 1 - length);
        length += n;
    };
    for (const RecordField& f : kRecordFields) {
        put("  ", static_cast<std::size_t>(f.gap));
        char number[320]; // the widest %f of a double: a sign, 309 digits, ".000000"
        if (f.kind == FieldKind::kWhole) {
            const char* end = std::to_chars(number, number + sizeof number, values.*f.whole).ptr;
            put(number, static_cast<std::size_t>(end - number));
        } else if (f.kind == FieldKind::kReal) {
            const int n = std::snprintf(number, sizeof number, "%f", values.*f.real);
            put(number, n > 0 && n < static_cast<int>(sizeof number) ? static_cast<std::size_t>(n) : 0);
        } else {
            put(values.*f.text, std::strlen(values.*f.text));
        }
    }
    out[length < size ? length : size - 1] = '\0';
    return static_cast<int>(length);
}

} // namespace pelmora::protocol
