// The server's parts wired over one open store: both listeners, the fleet
// view, the store's upkeep, the alerts and their webhook; and their stop, in
// order.
#pragma once

#include <memory>
#include <string>

#include "server/options.h"
#include "server/store/store.h"

namespace pelmora::server {

struct Tokens {
    std::string admin;
    std::string viewer; // empty: viewing needs no sign-in
};

class TeamServer {
public:
    TeamServer(const ServerOptions& options, Store& store, const Tokens& tokens);
    ~TeamServer();
    TeamServer(const TeamServer&) = delete;
    TeamServer& operator=(const TeamServer&) = delete;

    // Both listeners on their addresses, then the lines that say where;
    // false, logged, when either cannot listen.
    bool bind();
    // Starts the upkeep and the alerts and serves until stop(); then lets
    // what is under way finish (or cuts it) and ends the workers.
    void run();
    // From any thread: both listeners stop taking new work.
    void stop();

private:
    struct Parts;
    const ServerOptions& options_;
    Store& store_;
    std::unique_ptr<Parts> parts_;
};

} // namespace pelmora::server
