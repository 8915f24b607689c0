// What a machine's rows say when asked: its status, its pace on the current
// unit and when that unit should finish.
#pragma once

#include <optional>
#include <string>

#include "server/store.h"

namespace pelmora_server {

struct StatusLimits {
    long offlineAfter = 900;
    long stallAfter = 3600;
};

struct MachineStatus {
    const char* status = "folding"; // folding, stalled, offline, stopped
    std::optional<double> progressPerHour;
    std::optional<long long> eta; // seconds since the epoch
};

MachineStatus machineStatus(const MachineRow& m, long long now, const StatusLimits& limits);

// "2026-12-07T04:10:00Z"
std::string isoTime(long long seconds);

} // namespace pelmora_server
