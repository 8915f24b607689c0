// One finished unit as the monitor submits it to the stats site: the query
// of GET /folding/unitstats.php, eleven keys.
#pragma once

#include <map>
#include <string>

#include "server/store/rows.h"
#include "server/support/defaults.h"

namespace pelmora::server {

struct UnitQueryParse {
    bool ok = false;
    UnitSubmission unit;
    std::string reason; // for the 400 answer
};

using defaults::kLongestQueryText;

// Every key present once, numbers whole (frametime decimal), counts not
// negative, texts at most kLongestQueryText bytes without control
// characters (empty is allowed: a monitor without processor facts sends
// empty vendor and name). Unknown keys are ignored.
UnitQueryParse parseUnitQuery(const std::multimap<std::string, std::string>& params);

} // namespace pelmora::server
