#include "state_checks.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pelmora {

namespace {
enum class Kind { Value, Text, Bytes };

struct Field {
    const char* name;
    size_t offset;
    size_t size;
    Kind kind;
};

#define PELMORA_FIELD(member, kind) {#member, offsetof(MonitorState, member), sizeof state.member, Kind::kind}

// Every field of the record. The receive buffer and the log's stdio buffer
// hold bytes, not text.
const Field kFields[] = {
    PELMORA_FIELD(delay, Value), PELMORA_FIELD(cpunum, Value), PELMORA_FIELD(ontop, Value),
    PELMORA_FIELD(fhlog, Value), PELMORA_FIELD(stats, Value), PELMORA_FIELD(quiet, Value),
    PELMORA_FIELD(spath, Text), PELMORA_FIELD(ipadd, Text), PELMORA_FIELD(servc, Value),
    PELMORA_FIELD(korv, Value), PELMORA_FIELD(nowin, Value), PELMORA_FIELD(khost, Text),
    PELMORA_FIELD(username, Text), PELMORA_FIELD(team, Value), PELMORA_FIELD(machineId, Value),
    PELMORA_FIELD(computerName, Text), PELMORA_FIELD(cpuVendor, Text), PELMORA_FIELD(cpuName, Text),
    PELMORA_FIELD(cpuMhz, Value), PELMORA_FIELD(totalPhysBytes, Value),
    PELMORA_FIELD(unitName, Text), PELMORA_FIELD(previousUnitName, Text), PELMORA_FIELD(progress, Value),
    PELMORA_FIELD(startMonth, Text), PELMORA_FIELD(startDay, Text), PELMORA_FIELD(startTime, Text),
    PELMORA_FIELD(dueMonth, Text), PELMORA_FIELD(dueDay, Text), PELMORA_FIELD(dueTime, Text),
    PELMORA_FIELD(unitCount, Value), PELMORA_FIELD(unitMinutes, Value), PELMORA_FIELD(frameMinutes, Value),
    PELMORA_FIELD(projectNumber, Value), PELMORA_FIELD(points, Value), PELMORA_FIELD(frames, Value),
    PELMORA_FIELD(core, Text),
    PELMORA_FIELD(programStart, Value), PELMORA_FIELD(unitStart, Value), PELMORA_FIELD(now, Value),
    PELMORA_FIELD(firstPoll, Value), PELMORA_FIELD(clientSlot, Value), PELMORA_FIELD(serverCommand, Value),
    PELMORA_FIELD(shuttingDown, Value), PELMORA_FIELD(exiting, Value),
    PELMORA_FIELD(instance, Value), PELMORA_FIELD(mainWindow, Value), PELMORA_FIELD(trayIcon.szTip, Text),
    PELMORA_FIELD(lineBuffer, Text), PELMORA_FIELD(wordBuffer, Text), PELMORA_FIELD(reportBuffer, Text),
    PELMORA_FIELD(receiveBuffer, Bytes), PELMORA_FIELD(urlBuffer, Text), PELMORA_FIELD(textBuffer, Text),
    PELMORA_FIELD(tipBuffer, Text), PELMORA_FIELD(logBuffer, Bytes),
    PELMORA_FIELD(input, Value), PELMORA_FIELD(logFile, Value), PELMORA_FIELD(link, Value),
};

#undef PELMORA_FIELD

const char* at(const MonitorState& record, const Field& field)
{
    return reinterpret_cast<const char*>(&record) + field.offset;
}

[[noreturn]] void fail(const char* what, const char* name)
{
    std::fprintf(stderr, "state.%s: %s\n", name, what);
    std::abort();
}

// The list above in declaration order leaves no room for a field it lacks:
// what lies between two of its fields is padding, under 8 bytes.
void checkFieldListWhole()
{
    size_t end = 0;
    for (const Field& field : kFields) {
        if (field.offset < end || field.offset - end >= 8) fail("follows a field the list lacks", field.name);
        end = field.offset + field.size;
    }
    if (sizeof(MonitorState) - end >= 8) fail("is followed by a field the list lacks", "link");
}

bool named(std::initializer_list<const char*> names, const char* name)
{
    for (const char* n : names)
        if (std::strcmp(n, name) == 0) return true;
    return false;
}
} // namespace

void checkStateTexts()
{
    static const bool listed = (checkFieldListWhole(), true);
    (void)listed;
    for (const Field& field : kFields)
        if (field.kind == Kind::Text && !std::memchr(at(state, field), '\0', field.size))
            fail("no terminator within its width", field.name);
}

void checkStateUnchanged(const MonitorState& before, std::initializer_list<const char*> mayChange)
{
    for (const char* name : mayChange) {
        bool known = false;
        for (const Field& field : kFields) known = known || std::strcmp(field.name, name) == 0;
        if (!known) fail("no such field", name);
    }
    for (const Field& field : kFields) {
        if (named(mayChange, field.name)) continue;
        const bool same = field.kind == Kind::Text
                              ? std::strncmp(at(before, field), at(state, field), field.size) == 0
                              : std::memcmp(at(before, field), at(state, field), field.size) == 0;
        if (!same) fail("changed", field.name);
    }
}

void require(bool condition, const char* message)
{
    if (condition) return;
    std::fprintf(stderr, "%s\n", message);
    std::abort();
}

} // namespace pelmora
