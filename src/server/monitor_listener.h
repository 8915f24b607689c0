// The monitors' TCP protocol: on each connection send the slot byte, read
// the 768-byte record, store it, answer with one command byte (none after
// an exit record), close. One thread, non-blocking sockets and epoll; each
// step has 10 seconds; connections over the limit are closed at once.
#pragma once

#include <atomic>
#include <list>
#include <string>

#include "server/counters.h"
#include "server/fleet_bounds.h"
#include "server/options.h"
#include "server/slots.h"
#include "server/store.h"

namespace pelmora_server {

constexpr int kStepSeconds = 10;

class MonitorListener {
public:
    // BOUNDS: the fleet's caps and per-address limits (null: none).
    MonitorListener(Store& store, SlotTable& slots, Counters& counters, int maxConnections,
                    FleetBounds* bounds = nullptr);
    ~MonitorListener();

    bool bind(const Endpoint& endpoint, std::string& error);
    int port() const { return port_; }
    // Serves until STOPPING is set, then finishes the exchanges under way.
    void run(const std::atomic<bool>& stopping);

private:
    struct Connection;
    void accept();
    void serve(Connection& c);
    void finish(Connection& c); // the whole record is in
    void close(Connection& c);

    Store& store_;
    SlotTable& slots_;
    Counters& counters_;
    int maxConnections_;
    FleetBounds* bounds_;
    int listenFd_ = -1, epollFd_ = -1, port_ = 0;
    std::list<Connection*> connections_;
    long long lastRefusalLog_ = 0;
};

} // namespace pelmora_server
