// What the API does to machines beyond showing them, as plain functions
// that return the answer's status and body: removing a machine, clearing
// its pinned address, its bounded history; and the hourly forgetting of
// machines that went silent.
#pragma once

#include <string>

#include "server/fleet/json_shapes.h"
#include "server/support/fleet_bounds.h"
#include "server/store/store.h"

namespace pelmora::server {

struct AdminAnswer {
    int status = 200;
    Json body;
};

// DELETE /api/machines/ID: the machine, its reports, commands and alerts. BY names the caller for the log.
AdminAnswer removeMachine(Store& store, long long id, const std::string& by);
// DELETE /api/machines/ID/address: its next record's address becomes its own (with --pin-addresses).
AdminAnswer clearMachineAddress(Store& store, long long id, const std::string& by, long long now);
// POST /api/machines/ID/mute with {"minutes": N}, N from 1 to kMuteMostMinutes:
// no alert is raised for it until NOW plus N minutes; UNMUTE (DELETE): the mute ends now.
constexpr long long kMuteMostMinutes = 7 * 24 * 60;
AdminAnswer muteMachine(Store& store, long long id, const std::string& body, const std::string& by, long long now);
AdminAnswer unmuteMachine(Store& store, long long id, const std::string& by);
// GET /api/machines/ID/history?hours=H&points=P (P 0: not given): at most
// the limits' span and rows; {"hours": the span given, "reports": [...],
// "before": the last report before the span or null}. History keeps changes
// only, so a span may hold few rows or none: "before" gives its start.
AdminAnswer machineHistory(Store& store, const FleetLimits& limits, long long id, long long hours, long long points,
                           long long now);

// Removes the machines silent for the limits' days; the number removed.
long long forgetSilentMachines(Store& store, const FleetLimits& limits, long long now);

} // namespace pelmora::server
