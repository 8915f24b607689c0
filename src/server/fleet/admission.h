// Who may speak for a machine, as the admin decides it: a pinned machine's
// address moved by name, and new identities approved from the waiting list
// (--admission approve), one by its waiting id or all from an address or a
// network. Plain functions on values the API has read from the request;
// each logs what it did.
#pragma once

#include <string>

#include "server/fleet/outcome.h"
#include "server/support/fleet_bounds.h"
#include "server/support/ip_address.h"
#include "server/store/store.h"

namespace pelmora::server {

// Pins machine ID to ADDRESS (canonical); the address it had, "" for none. BY names the caller for the log.
Outcome<std::string> moveMachineAddress(Store& store, long long id, const std::string& address, const std::string& by,
                                        long long now);
// Approves waiting identity WAITINGID, pinned to ADDRESS (canonical): its
// first sender's or the other sender the list showed (conflict for any
// other); "" for its first sender's. Refused rows in the approval: the
// store holds the most machines allowed.
Outcome<Approval> approveWaiting(Store& store, const FleetLimits& limits, long long waitingId,
                                 const std::string& address, const std::string& by, long long now);
// Approves every identity waiting from an address in NETWORK.
Approval approveWaitingFrom(Store& store, const FleetLimits& limits, const IpNetwork& network, const std::string& by,
                            long long now);

} // namespace pelmora::server
