// What every route's handler works with: the server's store, counts and
// fleet, who is asking, and the bounds the monitor listener shares.
#pragma once

#include <ctime>

#include "server/counters.h"
#include "server/fleet_bounds.h"
#include "server/fleet_view.h"
#include "server/machine_status.h"
#include "server/api/sessions.h"
#include "server/shared_text.h"
#include "server/slots.h"
#include "server/store/store.h"

namespace pelmora::server {

struct ApiContext {
    Store& store;
    Counters& counters;
    FleetView& fleet;
    Sessions& sessions;
    const StatusLimits& limits;
    FleetBounds& bounds;
    SlotTable& slots;
    AnswerCache& metrics; // /metrics, made once for all who ask within a second (probes.cpp)
};

inline long long secondsNow() { return std::time(nullptr); }

} // namespace pelmora::server
