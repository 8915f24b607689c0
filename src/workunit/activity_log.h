#pragma once

namespace pelmora {
// The activity log, pelmora_log.txt, appended one complete group at a time.

void writeStartBanner();
// The finished unit's entry and the new unit's first line; statsHost is named
// when finished units are submitted.
void writeUnitLog(const char* statsHost);
void writeShutdownSummary();
// Writes a fresh clock reading as ctime text (with its line break).
void writeLogTime();

} // namespace pelmora
