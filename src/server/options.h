// The server's options: command line, or a "key = value" settings file
// named by --config (the command line wins).
#pragma once

#include <string>
#include <vector>

#include "protocol/monitor_protocol.h"
#include "server/support/defaults.h"
#include "server/support/endpoint.h"
#include "server/support/fleet_bounds.h"
#include "server/support/trusted_proxies.h"

namespace pelmora::server {

struct ServerOptions {
    std::string db = defaults::kStoreFile;
    Endpoint monitorListen{defaults::kListenAddress, protocol::kPort};
    Endpoint httpListen{defaults::kListenAddress, defaults::kHttpPort};
    std::string adminTokenFile; // empty: generated beside the database
    std::string viewerTokenFile; // empty: viewing the dashboard needs no sign-in
    long offlineAfter = defaults::kOfflineAfterSeconds;
    long stallAfter = defaults::kStallAfterSeconds;
    int keepDays = defaults::kKeepDays;
    int maxConnections = defaults::kMaxConnections; // each listener
    int maxConnectionsPerAddress = defaults::kMaxConnectionsPerAddress; // each listener, from one source address
    TrustedProxies trustedProxies; // --trusted-proxy: they say whom they carry
    std::vector<std::string> publicHosts; // names answered besides addresses, localhost and our own
    std::string logLevel = defaults::kLogLevel;
    std::string webhook; // empty: none
    int webhookTimeout = defaults::kWebhookTimeoutSeconds; // for each whole post
    int webhookBurst = defaults::kWebhookBurstPerMinute;   // posts a minute; more events go as one summary
    FleetLimits fleet;
    bool showAdminToken = false; // print the admin token and exit
};

bool parseEndpoint(const std::string& text, Endpoint& endpoint);

// Fills OPTIONS. Returns -1 to go on and run, else the exit status, with
// what to print in MESSAGE (help, version, or the fault).
int parseOptions(int argc, const char* const* argv, ServerOptions& options, std::string& message);

} // namespace pelmora::server
