// The stats site's answers to a submitted unit: small HTML pages (under
// 4 KiB: every text in them is at most 128 bytes before escaping).
#pragma once

#include <string>

#include "server/store/store.h"
#include "server/monitor/unit_query.h"

namespace pelmora::server {

std::string unitReceivedPage(const UnitSubmission& unit, const UnitCounts& counts);
std::string unitRefusedPage(const std::string& reason);
// Received while the store cannot be reached: kept, stored when it is back.
std::string unitKeptPage(const UnitSubmission& unit);

} // namespace pelmora::server
