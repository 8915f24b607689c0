// What a machine's rows say when asked: its status, its pace on the current
// unit and when that unit should finish.
#pragma once

#include <optional>
#include <string>

#include "server/support/defaults.h"
#include "server/store/store.h"

namespace pelmora::server {

struct StatusLimits {
    long offlineAfter = defaults::kOfflineAfterSeconds;
    long stallAfter = defaults::kStallAfterSeconds;
};

// The pace, the estimated finish and points per day are known only while
// the machine folds and has stepped forward since the start of its pace
// window (see kPaceWindowSeconds).
struct MachineStatus {
    const char* status = "folding"; // folding, stalled, offline, stopped
    std::optional<double> progressPerHour;
    std::optional<long long> eta; // seconds since the epoch; at 100 %, when it got there
    std::optional<long long> pointsPerDay;
    std::optional<long long> mutedUntil; // while its alerts are muted: until when
};

// stopped: its last record was an exit record. offline: no report for
// --offline-after. stalled: its reports show the same unit and progress
// for --stall-after (the last report at least that long after the last
// change and after its return from a silence), so a machine that goes
// silent is never stalled, only offline, and is not stalled on its return.
// Else folding. A mute is its own: it changes no status.
MachineStatus machineStatus(const MachineRow& m, long long now, const StatusLimits& limits);

// When the machine's STATUS (as machineStatus gives it) began, from its row:
// offline when its silence passed the limit, stalled when its stillness
// did, stopped at its exit record, folding at its last step forward or
// its return from a silence.
long long statusSince(const MachineRow& m, const char* status, const StatusLimits& limits);

} // namespace pelmora::server
