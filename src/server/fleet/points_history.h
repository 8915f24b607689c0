// The points history: the hourly sample of the estimated points per day
// (taken by the maintenance thread, once an hour whichever server takes
// it), and the answers that chart it beside the finished units' points.
#pragma once

#include "server/fleet/machine_admin.h"
#include "server/fleet/machine_status.h"
#include "server/store/store.h"

namespace pelmora::server {

// The fleet's estimate first, then each user's and each machine's above 0.
std::vector<PointsSample> pointsSamples(const std::vector<MachineRow>& machines, long long now,
                                        const StatusLimits& limits);
// The sample of NOW's hour, unless the store has it; false when there is
// nothing to sample yet (no machine), to be asked again.
bool samplePointsHourly(Store& store, long long now, const StatusLimits& limits);

// GET /api/team/points and /api/machines/ID/points: SUBJECT's last DAYS
// days (today the last) and its estimate now.
AdminAnswer pointsHistoryAnswer(Store& store, const PointsSubject& subject, long long days, long long now,
                                const StatusLimits& limits);
// GET /api/machines/ID/events: its changes of status, newest first.
AdminAnswer statusEventsAnswer(Store& store, long long machineId);

} // namespace pelmora::server
