// Times as the API, the webhook and the log write them.
#pragma once

#include <string>

namespace pelmora::server {

// SECONDS since the epoch in UTC: "2026-12-07T04:10:00Z".
std::string isoTime(long long seconds);

} // namespace pelmora::server
