// What health checks and Prometheus ask for.
#include "server/api/handlers.h"
#include "server/metrics.h"

namespace pelmora::server {

void getHealth(ApiContext&, const HttpRequest&, HttpResponse& res) { res.set_content("ok", "text/plain"); }

void getMetrics(ApiContext& api, const HttpRequest&, HttpResponse& res)
{
    res.set_content(metricsText(api.store, api.counters, api.limits, secondsNow()), "text/plain; version=0.0.4");
}

} // namespace pelmora::server
