// /metrics in Prometheus' text format: per machine (labels machine, user,
// team) progress, seconds since its last report and status; the store's
// totals and alerts; what the server counted since it started.
#pragma once

#include <string>

#include "server/counters.h"
#include "server/machine_status.h"
#include "server/store.h"

namespace pelmora_server {

std::string metricsText(Store& store, Counters& counters, const StatusLimits& limits, long long now);

} // namespace pelmora_server
