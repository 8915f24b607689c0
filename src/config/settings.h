#pragma once

namespace pelmora {
// The program's settings file, pelmora.ini in the current directory.

// Largest delay in minutes whose period in milliseconds still fits 32 bits.
constexpr int kMaxDelayMinutes = 35791;
// The poll timer never fires more often than this.
constexpr int kMinPollSeconds = 5;

// Fills the settings fields. 1 when the file was read, 0 when it could not be
// opened (the defaults for a missing file are then in force).
int readSettings();

// The poll timer's period: delay seconds, but never under the minimum.
unsigned pollPeriodMilliseconds();

} // namespace pelmora
