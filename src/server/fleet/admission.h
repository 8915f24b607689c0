// Who may speak for a machine, as the admin decides it: a pinned machine's
// address moved by name, and new identities approved from the waiting list
// (--admission approve), one by its waiting id or all from an address or a
// network. Plain functions that return the answer's status and body.
#pragma once

#include <string>

#include "server/support/fleet_bounds.h"
#include "server/fleet/machine_admin.h"
#include "server/store/store.h"

namespace pelmora::server {

// PUT /api/machines/ID/address with BODY {"address": "A"}. BY names the caller for the log.
AdminAnswer moveMachineAddress(Store& store, long long id, const std::string& body, const std::string& by,
                               long long now);
// GET /api/machines?state=waiting
AdminAnswer waitingList(Store& store);
// POST /api/machines/ID/approve, ID a waiting identity's, with BODY empty,
// {} or {"address": "A"}: A its address or its other sender's.
AdminAnswer approveWaiting(Store& store, const FleetLimits& limits, long long waitingId, const std::string& body,
                           const std::string& by, long long now);
// POST /api/machines/approve with BODY {"address": "A"} or {"network": "A/N"}.
AdminAnswer approveWaitingFrom(Store& store, const FleetLimits& limits, const std::string& body,
                               const std::string& by, long long now);

} // namespace pelmora::server
