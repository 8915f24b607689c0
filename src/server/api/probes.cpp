// What health checks and Prometheus ask for, and the store's size.
#include "server/api/handlers.h"
#include "server/api/http_answers.h"
#include "server/metrics.h"

namespace pelmora::server {

void getHealth(ApiContext&, const HttpRequest&, HttpResponse& res) { res.set_content("ok", "text/plain"); }

void getMetrics(ApiContext& api, const HttpRequest&, HttpResponse& res)
{
    res.set_content(metricsText(api.store, api.counters, api.limits, secondsNow()), "text/plain; version=0.0.4");
}

// {"size_bytes", "max_bytes", "at_limit", "limit_reached"}: at_limit while
// the oldest history is being removed to bring the store under its bound.
void getStoreSize(ApiContext& api, const HttpRequest&, HttpResponse& res)
{
    const Counters& c = api.counters;
    answer(res, 200,
           {{"size_bytes", c.storeBytes.load()}, {"max_bytes", c.storeMaxBytes.load()},
            {"at_limit", c.storeAtLimit.load()}, {"limit_reached", c.storeLimitReached.load()}});
}

} // namespace pelmora::server
