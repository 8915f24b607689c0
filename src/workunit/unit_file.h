#pragma once
// The client's unit file, ../unitinfo.txt, read whole on every call.

constexpr const char* kUnitFilePath = "../unitinfo.txt";
constexpr const char* kMissingUnitFileText =
    "Cannot locate unitinfo.txt file. Pelmora must be installed in your\n"
    "Folding @ Home directory to work properly.";

// Reads the unit file into the work-unit fields and processes a unit change.
// 1 when the file was opened, 0 when it could not be (during start-up the
// message box has then been shown and dismissed).
int readUnitFile();
