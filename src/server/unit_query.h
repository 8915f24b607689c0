// One finished unit as the monitor submits it to the stats site: the query
// of GET /folding/unitstats.php, eleven keys.
#pragma once

#include <map>
#include <string>

namespace pelmora_server {

struct UnitSubmission {
    std::string user;
    int team = 0;
    int machine = 0; // the client's machine id
    int wucount = 0;
    std::string cpuVendor;
    std::string cpuString;
    int cpuMhz = 0;
    double frameMinutes = 0;
    std::string protein; // the finished unit's name
    std::string core;
    int memoryMib = 0;
};

struct UnitQueryParse {
    bool ok = false;
    UnitSubmission unit;
    std::string reason; // for the 400 answer
};

constexpr std::size_t kLongestQueryText = 128;

// Every key present once, numbers whole (frametime decimal), counts not
// negative, texts at most kLongestQueryText bytes without control
// characters (empty is allowed: a monitor without processor facts sends
// empty vendor and name). Unknown keys are ignored.
UnitQueryParse parseUnitQuery(const std::multimap<std::string, std::string>& params);

} // namespace pelmora_server
