#pragma once

namespace pelmora {
// The client's unit file, ../unitinfo.txt, read whole on every call.

constexpr const char* kMissingUnitFileText =
    "Cannot locate unitinfo.txt file. Pelmora must be installed in your\n"
    "Folding @ Home directory to work properly.";

// Reads the unit file into the work-unit fields. When the name read differs
// from the last one (in its first 35 characters), unitChanged is called at
// once, before the lines after the name are read. 1 when the file was
// opened, 0 when it could not be.
int readUnitFile(void (*unitChanged)());

} // namespace pelmora
