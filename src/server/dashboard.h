// The dashboard's routes on the HTTP listener: its pages and their files
// (built into the server), sign-in and sign-out, the session's state, and
// the live event stream of the fleet.
#pragma once

#include <atomic>

#include "server/fleet_view.h"
#include "server/sessions.h"

namespace httplib {
class Server;
}

namespace pelmora_server {

// At most this many event streams at once; each holds a worker thread.
constexpr int kMostEventStreams = 32;

class Dashboard {
public:
    Dashboard(Sessions& sessions, FleetView& fleet) : sessions_(sessions), fleet_(fleet) {}
    void addRoutes(httplib::Server& server);

    // Paths anyone may ask for, even when viewing needs a sign-in.
    static bool open(const std::string& path);

private:
    void eventStream(long long machine, httplib::Response& res);

    Sessions& sessions_;
    FleetView& fleet_;
    std::atomic<int> streams_{0};
};

} // namespace pelmora_server
