// The stats site's unit query as the team server reads it: any query text
// gives a unit or a reason, and a unit's texts are short UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "server/http/http_request.h"
#include "server/monitor/unit_query.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    pelmora::server::HttpParams params;
    pelmora::server::parseQueryText(std::string(reinterpret_cast<const char*>(data), size), params);
    const pelmora::server::UnitQueryParse parsed = pelmora::server::parseUnitQuery(params);
    if (parsed.ok == !parsed.reason.empty()) std::abort();
    if (parsed.ok) {
        const pelmora::server::UnitSubmission& u = parsed.unit;
        for (const std::string* text : {&u.user, &u.cpuVendor, &u.cpuString, &u.protein, &u.core})
            if (text->size() > 2 * pelmora::server::kLongestQueryText) std::abort();
        nlohmann::json{u.user, u.cpuVendor, u.cpuString, u.protein, u.core, u.frameMinutes}.dump();
        if (u.wucount < 0 || u.cpuMhz < 0 || u.memoryMib < 0) std::abort();
    }
    return 0;
}
