// /metrics in Prometheus' text format: each machine's progress, last report,
// status and points per day (labelled by machine, with user, team, unit and
// core on one info series); units, points and points per day by user and
// team; the store's totals and alerts; what the server counted since it started.
// What the store holds, the same on every server that shares it, only the
// leader writes (counters.leading; a lone server always leads), so a sum
// over the servers counts it once; each server writes its own counts.
#pragma once

#include <string>

#include "server/support/counters.h"
#include "server/fleet/machine_status.h"
#include "server/store/store.h"

namespace pelmora::server {

// RESERVE: the bytes to reserve at once (about the last text's size).
std::string metricsText(Store& store, Counters& counters, const StatusLimits& limits, long long now,
                        std::size_t reserve = 0);

} // namespace pelmora::server
