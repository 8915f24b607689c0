#pragma once

namespace pelmora {
// The project table, database.txt in the program's own directory.

// The project number a unit name begins with (never negative).
int projectNumberFromName(const char* unitName);

// One record of the table, as the monitor keeps it: the core name cut to
// the width of its field.
struct ProjectRecord {
    long long project = 0;
    float points = 0.0f;
    long long frames = 0;
    char core[15] = {};
};

// Looks project up in the table at path, reading the records in order up to
// the first that does not fit. 1 found (record set), 0 not there, -1 the
// file cannot be opened. The monitor and the client bridge both read the
// table through this, so they agree on what it holds.
int findProjectRecord(const char* path, long long project, ProjectRecord& record);

// Sets projectNumber, points, frames and core for the current unitName.
void lookUpProject();

} // namespace pelmora
