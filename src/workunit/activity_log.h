#pragma once
// The activity log, pelmora_log.txt, appended one complete group at a time.

constexpr const char* kLogPath = "pelmora_log.txt";

void writeStartBanner();
void writeUnitLog();
void writeShutdownSummary();
// Writes a fresh clock reading as ctime text (with its line break).
void writeLogTime();
