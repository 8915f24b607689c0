#pragma once
// The project table, database.txt in the program's own directory.

// The project number a unit name begins with (never negative).
int projectNumberFromName(const char* unitName);

// Sets projectNumber, points, frames and core for the current unitName.
void lookUpProject();
