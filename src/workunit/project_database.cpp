#include "workunit/project_database.h"

#include <cstdio>
#include <cstring>

#include "state/fixed_text.h"
#include "state/monitor_state.h"
#include "state/whole_numbers.h"
#include "platform/platform.h"

namespace pelmora {

namespace {
constexpr size_t kNameDigits = 6; // only the start of a name carries the number

// One record: project, server, an integer, three numbers (the last the
// points), frames, core. Ignored fields are matched but not stored; the core
// name is read whole and kept to the width of its field.
constexpr const char* kRecordFormat =
    "%lld %*s %*d %*f %*f %f %lld %14s%*[^ \t\n\v\f\r]";
constexpr int kStoredFields = 4;

void setNoMatch()
{
    state.points = 0;
    state.frames = 0;
    std::strcpy(state.core, "Unknown");
}
} // namespace

int projectNumberFromName(const char* unitName)
{
    char text[kNameDigits + 1] = {};
    copyCut(text, sizeof text, unitName);
    for (char& c : text)
        if (c != '\0' && (c < '0' || c > ':')) c = '-';
    // Read as atoi would, keeping the absolute value: a leading '-' is only
    // the letter that stood before the digits.
    const char* p = text[0] == '-' ? text + 1 : text;
    int value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) value = value * 10 + (*p - '0');
    return value;
}

int findProjectRecord(const char* path, long long project, ProjectRecord& record)
{
    static_assert(sizeof record.core == sizeof state.core, "the core field of the record and of the state");
    FILE* database = openTextFile(path);
    if (!database) return -1;
    while (!std::feof(database)) {
        ProjectRecord read;
        if (std::fscanf(database, kRecordFormat, &read.project, &read.points, &read.frames, read.core) !=
            kStoredFields)
            break;
        if (read.project == project) {
            record = read;
            std::fclose(database);
            return 1;
        }
    }
    std::fclose(database);
    return 0;
}

void lookUpProject()
{
    state.projectNumber = projectNumberFromName(state.unitName);
    ProjectRecord record;
    if (findProjectRecord(kDatabasePath, state.projectNumber, record) != 1) {
        setNoMatch();
        return;
    }
    state.points = truncateToInt(record.points);
    state.frames = clampToInt(record.frames);
    std::memcpy(state.core, record.core, sizeof record.core);
}

} // namespace pelmora
