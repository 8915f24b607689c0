#include "server/options.h"

#include <CLI/CLI.hpp>
#include <arpa/inet.h>
#include <charconv>

#include "server/support/log.h"
#include "server/support/version.h"
#include "server/fleet/webhook.h"

namespace pelmora::server {
namespace {
std::string endpointText(const Endpoint& e) { return e.address + ":" + std::to_string(e.port); }
// BYTES as --max-store-size is written: in the largest unit it is a whole number of.
std::string sizeText(long long bytes)
{
    const char* units = "KMGT";
    int unit = -1;
    while (unit < 3 && bytes % 1024 == 0 && bytes >= 1024) bytes /= 1024, ++unit;
    return std::to_string(bytes) + (unit < 0 ? "" : std::string(1, units[unit]));
}
} // namespace

bool parseEndpoint(const std::string& text, Endpoint& endpoint)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    const std::string address = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
    int number = -1;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (port.empty() || error != std::errc() || end != port.data() + port.size() || number < 0 || number > 65535)
        return false;
    endpoint = {address, number};
    return true;
}

int parseOptions(int argc, const char* const* argv, ServerOptions& options, std::string& message)
{
    CLI::App app{"pelmora-server: the team's monitor server and stats site, with a store, a JSON API and metrics",
                 "pelmora-server"};
    app.set_config("--config", "", "settings file: one 'key = value' a line, keys as the long options");
    app.allow_config_extras(false);
    app.set_version_flag("--version", std::string("pelmora-server ") + kServerVersion);
    // The listeners' defaults as they are written on the command line.
    const ServerOptions initial;
    std::string monitorListen = endpointText(initial.monitorListen), httpListen = endpointText(initial.httpListen);
    std::string admission = defaults::kAdmission;
    std::vector<std::string> trustedProxies;
    app.add_option("--db", options.db, "the store: a SQLite file, or a PostgreSQL database's URI (postgresql://...)")->capture_default_str();
    app.add_option("--monitor-listen", monitorListen, "ADDR:PORT for the monitors' reports")->capture_default_str();
    app.add_option("--http-listen", httpListen, "ADDR:PORT for the API, metrics and the stats site")
        ->capture_default_str();
    app.add_option("--admin-token-file", options.adminTokenFile,
                   "the admin token is this file's first line (default: generated beside the store)");
    app.add_flag("--show-admin-token", options.showAdminToken,
                 "print the admin token the server uses with these settings (on a PostgreSQL store, the one it "
                 "keeps for every server) and exit")
        ->configurable(false);
    app.add_option("--viewer-token-file", options.viewerTokenFile,
                   "when given, viewing the dashboard and the API needs this file's token (or the admin's)");
    app.add_option("--offline-after", options.offlineAfter, "seconds without a report before a machine is offline")
        ->capture_default_str()->check(CLI::Range(1L, 365L * 86400));
    app.add_option("--stall-after", options.stallAfter, "seconds without progress before a machine is stalled")
        ->capture_default_str()->check(CLI::Range(1L, 365L * 86400));
    app.add_option("--keep-days", options.keepDays, "days of report history kept")
        ->capture_default_str()->check(CLI::Range(1, 3650));
    app.add_option("--max-connections", options.maxConnections, "open connections allowed on each listener")
        ->capture_default_str()->check(CLI::Range(1, 100000));
    app.add_option("--max-connections-per-address", options.maxConnectionsPerAddress,
                   "open connections allowed from one source address on each listener")
        ->capture_default_str()->check(CLI::Range(1, 100000));
    app.add_option("--public-host", options.publicHosts,
                   "a name the dashboard is reached by (repeat for more); requests naming a Host other than "
                   "these, this machine's own names, localhost or an IP address are refused")
        ->type_name("NAME");
    app.add_option("--trusted-proxy", trustedProxies,
                   "a load balancer's address or network (ADDRESS/N; repeat for more): from it, and only from it, "
                   "the client's address is read from X-Forwarded-For on HTTP and from a PROXY protocol header "
                   "(version 1 or 2), which it must send, on the monitor port")
        ->type_name("ADDRESS/N");
    app.add_option("--log-level", options.logLevel, "debug, info, warn or error")
        ->capture_default_str()->check(CLI::IsMember({"debug", "info", "warn", "error"}));
    app.add_option("--webhook", options.webhook,
                   "POST each alert raised or resolved (a machine offline or stalled) to this http:// or https:// "
                   "URL as JSON; failures are retried, 1 s doubling to 5 min apart")
        ->type_name("URL");
    app.add_option("--webhook-timeout", options.webhookTimeout,
                   "seconds for each whole webhook post (connect, send, answer); a receiver that takes longer "
                   "is counted as failed")
        ->capture_default_str()->check(CLI::Range(1, 300));
    app.add_option("--webhook-burst", options.webhookBurst,
                   "webhook posts a minute at most; when more alert events wait, they go together as one summary")
        ->capture_default_str()->check(CLI::Range(1, 1000));
    FleetLimits& fleet = options.fleet;
    app.add_option("--max-machines", fleet.maxMachines,
                   "machines the store may hold; records of new ones past that are refused (and counted)")
        ->capture_default_str()->check(CLI::Range(1LL, 10000000LL));
    app.add_option("--forget-after", fleet.forgetAfterDays,
                   "days without a record after which a machine is removed, with its history (0: never)")
        ->capture_default_str()->check(CLI::Range(0, 3650));
    app.add_flag("--pin-addresses", fleet.pinAddresses,
                 "refuse a known machine's records from another address than its last, until an administrator "
                 "moves it (PUT /api/machines/ID/address) or clears it (DELETE, then the next sender's is taken)");
    app.add_option("--admission", admission,
                   "open: a new machine is taken at its first record; approve: it waits (one waiting row, no "
                   "machine) until an administrator approves it (POST /api/machines/ID/approve)")
        ->capture_default_str()->check(CLI::IsMember({"open", "approve"}));
    app.add_option("--max-waiting", fleet.maxWaiting,
                   "identities waiting for approval kept at most; past that the least recently seen of the "
                   "address holding the most is dropped")
        ->capture_default_str()->check(CLI::Range(1LL, 100000LL));
    app.add_option("--history-max-rows", fleet.historyMaxRows,
                   "reports in one history answer at most (more are thinned out evenly)")
        ->capture_default_str()->check(CLI::Range(10, 1000000));
    app.add_option("--history-max-days", fleet.historyMaxDays, "days one history answer may span at most")
        ->capture_default_str()->check(CLI::Range(1, 3650));
    app.add_option("--new-machines-per-hour", fleet.newMachinesPerHour,
                   "new machines one source address may add an hour (as many at once)")
        ->capture_default_str()->check(CLI::Range(1, 1000000));
    app.add_option("--units-per-hour", fleet.unitsPerHour,
                   "unit submissions one source address may make an hour (as many at once)")
        ->capture_default_str()->check(CLI::Range(1, 1000000));
    app.add_option("--history-resolution", fleet.historyResolution,
                   "seconds of a machine's history step: a change of its unit, progress or state keeps a row, at "
                   "most one a step (the latest values win) and one more for a change of unit")
        ->capture_default_str()->check(CLI::Range(1L, 86400L));
    app.add_option("--max-store-size", fleet.maxStoreBytes,
                   "the store's data at most, in bytes or with a unit (500M, 4G); past it the oldest history is "
                   "removed until it is under 90 %, logged and counted")
        ->transform(CLI::AsSizeValue(false))->check(CLI::Range(1LL << 20, 1LL << 50))
        ->default_str(sizeText(defaults::kMaxStoreBytes));
    app.add_option("--copy-store", options.copyStore,
                   "FROM TO: copy the SQLite store FROM into the empty PostgreSQL database TO (a libpq URI), "
                   "then exit; FROM must not be in use by a server")
        ->expected(2)->type_name("FROM TO")->configurable(false);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        std::ostringstream out, err;
        const int status = app.exit(e, out, err);
        message = out.str() + err.str();
        return status == 0 ? 0 : 2; // help and version, or a fault in the options
    }
    fleet.byApproval = admission == "approve";
    if (!parseEndpoint(monitorListen, options.monitorListen)) {
        message = "--monitor-listen: not ADDR:PORT with a dotted IPv4 address: " + monitorListen + "\n";
        return 2;
    }
    if (!parseEndpoint(httpListen, options.httpListen)) {
        message = "--http-listen: not ADDR:PORT with a dotted IPv4 address: " + httpListen + "\n";
        return 2;
    }
    for (const std::string& text : trustedProxies) {
        const std::optional<IpNetwork> network = TrustedProxies::parse(text);
        if (!network) {
            message = "--trusted-proxy: not an IPv4 or IPv6 address, nor ADDRESS/N with N up to 32 or 128: " + text +
                      "\n";
            return 2;
        }
        options.trustedProxies.add(*network);
    }
    WebhookUrl webhook;
    if (!options.webhook.empty() && !parseWebhookUrl(options.webhook, webhook, message)) {
        message = "--webhook: " + message + "\n";
        return 2;
    }
    return -1;
}

} // namespace pelmora::server
