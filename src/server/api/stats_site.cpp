// GET /folding/unitstats.php: where the monitors submit finished units, as
// they would to the stats site; answered with a page, as the site does.
#include "server/api/handlers.h"
#include "server/support/log.h"
#include "server/monitor/unit_page.h"
#include "server/monitor/unit_query.h"

namespace pelmora::server {

void getUnitSubmission(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    const UnitQueryParse parsed = parseUnitQuery(req.params);
    if (!parsed.ok) {
        res.status = 400;
        res.set_content(unitRefusedPage(parsed.reason), "text/html; charset=utf-8");
        logRepeated(Level::warn, Repeat::noise, "unit refused", req.remote_addr,
                    "unit from " + req.remote_addr + " refused: " + parsed.reason);
        return;
    }
    const UnitSubmission& u = parsed.unit;
    if (!api.bounds.units.take(req.remote_addr)) {
        ++api.counters.unitsRefused;
        res.status = 429;
        res.set_content(unitRefusedPage("too many units from this address; try again later"), "text/html; charset=utf-8");
        return;
    }
    UnitCounts counts;
    const StoreOutage::Unit taken = api.outage.addUnit(u, secondsNow(), req.remote_addr, counts);
    if (taken == StoreOutage::Unit::refused) { // counted; the sender may send it again later
        res.status = 503;
        res.set_header("Retry-After", "60");
        res.set_content(unitRefusedPage("the store cannot be reached and keeps no more units now; try again later"),
                        "text/html; charset=utf-8");
        return;
    }
    if (taken == StoreOutage::Unit::kept) { // stored once the store is back: no counts to give yet
        res.status = 202;
        res.set_content(unitKeptPage(u), "text/html; charset=utf-8");
        return;
    }
    logRepeated(Level::info, Repeat::accepted, "unit", "",
                "unit " + u.protein + " from " + u.user + " (team " + std::to_string(u.team) + ", machine " +
                    std::to_string(u.machine) + ")");
    res.set_content(unitReceivedPage(u, counts), "text/html; charset=utf-8");
}

} // namespace pelmora::server
