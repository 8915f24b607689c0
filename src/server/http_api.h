// The HTTP listener: the stats site's unit path, the JSON API, /metrics,
// /healthz and the dashboard. Bodies over 16 KiB get 413; connections over the limit get 503
// at once; reads and writes that stall for 10 seconds end the connection.
#pragma once

#include <memory>
#include <string>

#include "server/counters.h"
#include "server/fleet_bounds.h"
#include "server/fleet_view.h"
#include "server/machine_status.h"
#include "server/options.h"
#include "server/slots.h"
#include "server/store.h"

namespace pelmora_server {

constexpr std::size_t kLargestBody = 16 * 1024;

struct HttpSettings {
    std::string adminToken;
    std::string viewerToken; // empty: viewing needs no sign-in
    StatusLimits limits;
    int keepDays = 30;
    int maxConnections = 1024;
    FleetBounds* bounds = nullptr; // null: the default limits
    SlotTable* slots = nullptr;    // the monitor listener's, freed by a machine's removal
};

class HttpApi {
public:
    HttpApi(Store& store, Counters& counters, FleetView& fleet, HttpSettings settings);
    ~HttpApi();

    bool bind(const Endpoint& endpoint, std::string& error);
    int port() const;
    void run(); // until stop()
    void stop();

private:
    class Server;
    std::unique_ptr<Server> server_;
    int port_ = 0;
};

// Same length and same bytes, in a time that does not depend on where they differ.
bool tokensEqual(const std::string& given, const std::string& expected);

} // namespace pelmora_server
