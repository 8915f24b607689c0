// The bodies of the admin's requests on machines, read into the values the
// fleet's operations take (machine_admin.h, admission.h), or what a body
// that cannot be read is told: the text of its 400.
#pragma once

#include <optional>
#include <string>

#include "server/support/ip_address.h"

namespace pelmora::server {

template <typename Value>
struct BodyRead {
    std::optional<Value> value;
    std::string error; // when there is no value
};

// {"address": "A"}: A, canonical.
BodyRead<std::string> readAddressBody(const std::string& body);
// {"minutes": N}, N a whole number from 1 to kMuteMostMinutes.
BodyRead<long long> readMuteBody(const std::string& body);
// Empty, {} or {"address": "A"}: A, canonical; "" when none is chosen.
BodyRead<std::string> readApprovalBody(const std::string& body);
// {"address": "A"} (that one address) or {"network": "A/N"}.
BodyRead<IpNetwork> readApprovalFromBody(const std::string& body);

} // namespace pelmora::server
