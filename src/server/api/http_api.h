// The HTTP side: the stats site's unit path, the JSON API, /metrics,
// /healthz and the dashboard, on the listener of http_listener.h (its
// limits, deadlines and caps). Bodies over 16 KiB get 413. The routes, who
// may use them and their handlers are in api/route_table.cpp.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "server/support/counters.h"
#include "server/support/defaults.h"
#include "server/support/fleet_bounds.h"
#include "server/support/trusted_proxies.h"
#include "server/fleet/fleet_view.h"
#include "server/http/http_request.h"
#include "server/fleet/machine_status.h"
#include "server/monitor/store_outage.h"
#include "server/support/endpoint.h"
#include "server/store/store.h"

namespace pelmora::server {

using defaults::kLargestBody;

struct HttpSettings {
    std::string adminToken;
    std::string viewerToken; // empty: viewing needs no sign-in
    StatusLimits limits;
    int keepDays = defaults::kKeepDays;
    int maxConnections = defaults::kMaxConnections;
    int maxConnectionsPerAddress = defaults::kMaxConnectionsPerAddress;
    std::vector<std::string> hostNames; // answered besides IP addresses and localhost
    FleetBounds* bounds = nullptr; // null: the default limits
    TrustedProxies trustedProxies{}; // their X-Forwarded-For names the client
    StoreOutage* outage = nullptr; // what keeps units while the store cannot be reached (null: one of its own)
};

class HttpApi {
public:
    HttpApi(Store& store, Counters& counters, FleetView& fleet, HttpSettings settings);
    ~HttpApi();

    bool bind(const Endpoint& endpoint, std::string& error);
    int port() const;
    void run(); // until stop()
    void stop();
    // One request's answer, without the network (the fuzz target's way in).
    void respond(HttpRequest& req, HttpResponse& res);

private:
    class Server;
    std::unique_ptr<Server> server_;
    int port_ = 0;
};

} // namespace pelmora::server
