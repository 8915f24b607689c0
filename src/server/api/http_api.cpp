#include "server/api/http_api.h"

#include <exception>

#include "server/api/access.h"
#include "server/api/route_table.h"
#include "server/http/host_names.h"
#include "server/api/http_answers.h"
#include "server/http/http_listener.h"
#include "server/support/log.h"
#include "server/api/sessions.h"

namespace pelmora::server {
namespace {

// The API's routes and /metrics read the store; the pages and the stats site's path do not.
bool readsStore(const std::string& path) { return path.rfind("/api/", 0) == 0 || path == "/metrics"; }

void storeAway(HttpResponse& res)
{
    res.set_header("Retry-After", "10");
    fail(res, 503, "the store cannot be reached now; try again shortly");
}

} // namespace

class HttpApi::Server : public HttpListener {
public:
    Server(Store& store, Counters& counters, FleetView& fleet, HttpSettings settings)
        : HttpListener(counters, {settings.maxConnections, settings.maxConnectionsPerAddress, defaults::kMaxEventStreams,
                                     defaults::kMaxEventStreamsPerAddress, kLargestBody},
                       settings.trustedProxies),
          counters_(counters), settings_(std::move(settings)),
          sessions_(store, settings_.adminToken, settings_.viewerToken),
          ownOutage_(settings_.outage ? nullptr : std::make_unique<StoreOutage>(store, counters, &bounds_)),
          context_{store, counters, fleet, sessions_, settings_.limits, bounds_, metrics_,
                   settings_.outage ? *settings_.outage : *ownOutage_, points_}
    {
        // Counted before the answer goes out, so a client that asks for /metrics next sees its own request.
        set_post_routing_handler([this](const HttpRequest& req, HttpResponse& res) {
            counters_.countRequest(routeLabel(req.path), res.status);
        });
        set_error_handler([](const HttpRequest&, HttpResponse& res) {
            if (!res.text().empty()) return;
            const char* reason = res.status == 404   ? "not found"
                                 : res.status == 413 ? "the body is over 16 KiB"
                                 : res.status == 405 ? "method not allowed"
                                 : res.status == 400 ? "bad request"
                                 : res.status == 414 ? "the request line is over 8 KiB"
                                 : res.status == 431 ? "the request's head is over its limits"
                                                     : "error";
            fail(res, res.status, reason);
        });
        set_exception_handler([this](const HttpRequest& req, HttpResponse& res, std::exception_ptr e) {
            std::string what = "unknown";
            try {
                std::rethrow_exception(e);
            } catch (const StoreUnreachable& x) { // answered at once, a log line a minute
                logRepeated(Level::warn, Repeat::noise, "store unreachable", "",
                            req.method + " " + req.path + " answered 503: " + x.what());
                context_.outage.unreachable(x.what()); // the next reads answered at once
                return storeAway(res);
            } catch (const std::exception& x) {
                what = x.what();
            } catch (...) {
            }
            logEvent(Level::error, req.method + " " + req.path + " failed: " + what);
            fail(res, 500, "internal error");
        });
        set_pre_routing_handler([this](const HttpRequest& req, HttpResponse& res) { return guard(req, res); });
        for (const pelmora::server::Route& route : routeTable()) // the listener has a Route of its own
            addRoute(route.method, routePattern(route.path), [this, &route](const HttpRequest& req, HttpResponse& res) {
                // While the store cannot be reached, and until what came meanwhile
                // is written back, its readers are answered at once.
                if (context_.outage.down() && readsStore(req.path)) return storeAway(res);
                if (route.access == Access::admin && !adminAllowed(sessions_, req, res)) return;
                route.handler(context_, req, res);
            });
    }

private:
    // Only our own names (the monitors and probes were set up with theirs,
    // so their paths answer any). Then, with a viewer token, every path but
    // the open ones needs a sign-in: pages send the browser to the form.
    HandlerResponse guard(const HttpRequest& req, HttpResponse& res)
    {
        const Access access = pathAccess(req.path);
        if (access != Access::anyHost && !hostAllowed(req.get_header_value("Host"), settings_.hostNames)) {
            fail(res, 421,
                 "this server does not answer to the name " + req.get_header_value("Host") + " (see --public-host)");
            return HandlerResponse::Handled;
        }
        if (!sessions_.viewerTokenRequired() || access <= Access::open) return HandlerResponse::Unhandled;
        const Caller caller = sessions_.identify(req, secondsNow());
        if (sessions_.mayView(caller)) return HandlerResponse::Unhandled;
        if (caller.retryAfter > 0) {
            tooManyTries(res, caller.retryAfter);
            return HandlerResponse::Handled;
        }
        if (req.method == "GET" && req.path.compare(0, 5, "/api/") != 0 && req.path != "/metrics")
            res.set_redirect("/signin?next=" + encodeQueryParam(req.path), 303);
        else
            fail(res, 401, "sign in, or give the viewer or admin token (Authorization: Bearer TOKEN)");
        return HandlerResponse::Handled;
    }

    Counters& counters_;
    HttpSettings settings_;
    Sessions sessions_;
    FleetBounds ownBounds_{FleetLimits{}};
    FleetBounds& bounds_ = settings_.bounds ? *settings_.bounds : ownBounds_;
    AnswerCache metrics_{true, defaults::kSharedAnswerBytes};
    std::unique_ptr<StoreOutage> ownOutage_;
    PointsAnswers points_;
    ApiContext context_;
};

HttpApi::HttpApi(Store& store, Counters& counters, FleetView& fleet, HttpSettings settings)
    : server_(std::make_unique<Server>(store, counters, fleet, std::move(settings)))
{
}

HttpApi::~HttpApi() = default;

bool HttpApi::bind(const Endpoint& endpoint, std::string& error)
{
    if (!server_->bind(endpoint, error)) return false;
    port_ = server_->port();
    return true;
}

int HttpApi::port() const { return port_; }
void HttpApi::run() { server_->run(); }
void HttpApi::stop() { server_->stop(); }
void HttpApi::respond(HttpRequest& req, HttpResponse& res) { server_->respond(req, res); }

} // namespace pelmora::server
