#pragma once
// The monitor's project table (database.txt): a record for each project the
// bridge has seen, appended, never rewritten.
#include <string>

#include "bridge/unit_choice.h"

namespace pelmora::bridge {

// The record for these facts ("" when points or core are unknown).
std::string projectRecord(const UnitFacts& facts);
// Appends it to database unless the monitor would find the project there
// already. 1 appended, 0 already there (or nothing to add), -1 failed.
int addProject(const std::string& database, const UnitFacts& facts);

} // namespace pelmora::bridge
