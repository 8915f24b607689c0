// What every route's handler works with: the server's store, counts and
// fleet, who is asking, and the bounds the monitor listener shares.
#pragma once

#include <ctime>

#include "server/support/counters.h"
#include "server/support/fleet_bounds.h"
#include "server/fleet/fleet_view.h"
#include "server/fleet/machine_status.h"
#include "server/fleet/points_history.h"
#include "server/monitor/store_outage.h"
#include "server/api/sessions.h"
#include "server/support/shared_text.h"
#include "server/store/store.h"

namespace pelmora::server {

struct ApiContext {
    Store& store;
    Counters& counters;
    FleetView& fleet;
    Sessions& sessions;
    const StatusLimits& limits;
    FleetBounds& bounds;
    AnswerCache& metrics;
    StoreOutage& outage; // /metrics, made once for all who ask within a second (probes.cpp)
    PointsAnswers& points; // the points history's answers, kept until the store's samples move
};

inline long long secondsNow() { return std::time(nullptr); }

} // namespace pelmora::server
