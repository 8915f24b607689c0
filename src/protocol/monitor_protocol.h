#pragma once
// The exchange between a monitor and its team monitor server, which the
// monitor, pelmora-server and every peer that plays one of them share:
//   1. the monitor connects to the server's port (kPort unless told);
//   2. the server sends one byte: the monitor's slot, signed;
//   3. the monitor sends kRecordBytes: the record's text (kRecordFormat), a
//      NUL, then whatever its buffer held;
//   4. the server answers with one command byte (none after the exit record).
#include <cstddef>
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

// The record's fields in the order they stand in its text, and the text's
// format: one conversion a field, one space between two, two before the
// tray flag.
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
constexpr char kRecordFormat[] = "%d %s %d %d %d %s %d %f %s %s %d %d %s %d  %d";

// The text cut at every space (the double space gives an empty word): a
// field's word is the spacesBefore(field)-th from the front, counting from
// 0, and the (kRecordSpaces - spacesBefore(field))-th from the back. The
// count from the front holds up to the vendor, the one from the back from
// the vendor's last word on.
constexpr int spacesBefore(Field field)
{
    int conversion = 0, spaces = 0;
    for (const char* p = kRecordFormat; *p; ++p) {
        if (*p == '%' && conversion++ == field) return spaces;
        if (*p == ' ') ++spaces;
    }
    return spaces;
}
constexpr int kRecordSpaces = spacesBefore(kFieldCount);

constexpr int conversions()
{
    int count = 0;
    for (const char* p = kRecordFormat; *p; ++p) count += *p == '%';
    return count;
}
static_assert(conversions() == kFieldCount, "one conversion a field");

} // namespace pelmora::protocol
