// What health checks and Prometheus ask for, and the store's size.
#include <atomic>

#include "server/api/handlers.h"
#include "server/api/http_answers.h"
#include "server/fleet/metrics.h"

namespace pelmora::server {

// Not ready while the store cannot be reached or does not answer soon (a
// database server restarting or stopped, its machines locked), and until
// what came meanwhile is written back: a load balancer then sends the
// traffic to another server. A look that fails starts the keeping at once.
void getHealth(ApiContext& api, const HttpRequest&, HttpResponse& res)
{
    if (!api.outage.down()) {
        if (api.store.ready()) {
            res.set_content("ok", "text/plain");
            return;
        }
        api.outage.unreachable("no answer to the health check");
    }
    res.status = 503;
    res.set_content("not ready: the store cannot be reached", "text/plain");
}

// /metrics changes with every request counted, so each asks for a new
// version; while it is small that means made anew each time, and once big
// (a large fleet) at most once a second: Prometheus scrapes far less often,
// and its figures may be a second old. Every reader of one version shares
// its buffer and its gzip form.
void getMetrics(ApiContext& api, const HttpRequest&, HttpResponse& res)
{
    static std::atomic<long long> asked{0};
    res.set_content(api.metrics.get(++asked,
                                    [&api](long long&, std::size_t lastSize) {
                                        return metricsText(api.store, api.counters, api.limits, secondsNow(),
                                                           lastSize + lastSize / 16);
                                    }),
                    "text/plain; version=0.0.4");
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
