// The dashboard's routes on the HTTP listener: its pages and their files
// (built into the server), sign-in and sign-out, the session's state, and
// the live event stream of the fleet.
#pragma once

#include "server/fleet_view.h"
#include "server/http_listener.h"
#include "server/sessions.h"

namespace pelmora_server {

class Dashboard {
public:
    Dashboard(Sessions& sessions, FleetView& fleet) : sessions_(sessions), fleet_(fleet) {}
    void addRoutes(HttpListener& server);

    // Paths anyone may ask for, even when viewing needs a sign-in.
    static bool open(const std::string& path);

private:
    void eventStream(long long machine, HttpResponse& res);

    Sessions& sessions_;
    FleetView& fleet_;
};

} // namespace pelmora_server
