#include "server/team_server.h"

#include <chrono>
#include <ctime>
#include <optional>
#include <thread>

#include "server/api/http_api.h"
#include "server/fleet/alerts.h"
#include "server/fleet/leadership.h"
#include "server/fleet/change_watch.h"
#include "server/fleet/machine_admin.h"
#include "server/fleet/points_history.h"
#include "server/fleet/store_bound.h"
#include "server/http/host_names.h"
#include "server/monitor/monitor_listener.h"
#include "server/monitor/store_outage.h"
#include "server/support/log.h"
#include "server/support/periodic_worker.h"
#include "server/support/version.h"

namespace pelmora::server {
namespace {

std::string where(const Endpoint& e, int port) { return e.address + ":" + std::to_string(port); }

// The store's frequent upkeep at every step (its thorough one with the
// hourly pruning of the history), the points history's sample each hour,
// and the fleet's changes sent to the dashboards' event streams every few
// steps. All but the last are the team's duties: only the leader runs them.
// Small, frequent upkeep keeps each flush to disk short: with one a second,
// or one every ten, the exchanges that met a flush made the 99th percentile
// several times longer.
class Maintenance {
public:
    Maintenance(Store& store, FleetView& fleet, int keepDays, const FleetLimits& limits, const StatusLimits& status,
                Counters& counters, const Leadership& leadership, StoreOutage& outage)
        : store_(store), fleet_(fleet), keepDays_(keepDays), limits_(limits), status_(status),
          bound_(store, counters, limits.maxStoreBytes), leadership_(leadership), outage_(outage)
    {
    }
    void step()
    {
        // While the store cannot be reached, only a look whether it is back
        // (and then what was kept meanwhile written back before anything else).
        if (!outage_.recover()) return;
        const long long now = std::time(nullptr);
        try {
            if (leadership_.leads()) duties(now);
        } catch (const StoreUnreachable& e) {
            outage_.unreachable(e.what());
        } catch (const std::exception& e) {
            logRepeated(Level::error, Repeat::noise, "store upkeep failed", "",
                        std::string("store upkeep failed: ") + e.what());
        }
        try {
            if (++ticks_ % kStepsPerPublish == 0) fleet_.publish(now);
        } catch (const StoreUnreachable& e) {
            outage_.unreachable(e.what());
        } catch (const std::exception& e) {
            logRepeated(Level::error, Repeat::noise, "fleet changes not sent", "",
                        std::string("the fleet's changes not sent: ") + e.what());
        }
    }

private:
    void duties(long long now)
    {
        if (now - lastPrune_ >= defaults::kPruneEverySeconds) {
            lastPrune_ = now;
            const long long removed = store_.pruneReports(now - keepDays_ * 86400LL);
            if (removed > 0)
                logEvent(Level::info, "history: " + std::to_string(removed) + " reports older than " +
                                          std::to_string(keepDays_) + " days removed");
            forgetSilentMachines(store_, limits_, now);
            store_.prunePoints(now / 86400 - defaults::kPointsDays);
            store_.upkeep(Upkeep::thorough);
        } else {
            store_.upkeep(Upkeep::frequent);
        }
        // The store says whether the hour has its sample: a restart
        // within the hour, or another server, took it already.
        if (now / 3600 != sampledHour_ && samplePointsHourly(store_, now, status_)) sampledHour_ = now / 3600;
        bound_.pass();
    }

    static constexpr long long kStepsPerPublish =
        defaults::kFleetPublishMilliseconds / defaults::kUpkeepMilliseconds;
    Store& store_;
    FleetView& fleet_;
    int keepDays_;
    const FleetLimits& limits_;
    const StatusLimits& status_;
    StoreBound bound_;
    const Leadership& leadership_;
    StoreOutage& outage_;
    long long sampledHour_ = 0;
    long long lastPrune_ = 0;
    long long ticks_ = 0;
};

std::vector<std::string> answeredHostNames(const ServerOptions& options)
{
    std::vector<std::string> names = ownHostNames();
    names.insert(names.end(), options.publicHosts.begin(), options.publicHosts.end());
    return names;
}

WebhookTiming webhookTiming(const ServerOptions& options)
{
    WebhookTiming timing;
    timing.timeout = std::chrono::seconds(options.webhookTimeout);
    timing.burst = options.webhookBurst;
    return timing;
}

} // namespace

// The parts in the order they are made; they end in the reverse order.
struct TeamServer::Parts {
    Parts(const ServerOptions& o, Store& store, const Tokens& tokens)
        : bounds(o.fleet),
          outage(store, counters, &bounds),
          monitors(store, counters, o.maxConnections, o.maxConnectionsPerAddress, &bounds, o.trustedProxies,
                   &outage),
          limits{o.offlineAfter, o.stallAfter},
          fleet(store, limits),
          changes(store, fleet),
          http(store, counters, fleet,
               {tokens.admin, tokens.viewer, limits, o.keepDays, o.maxConnections, o.maxConnectionsPerAddress,
                answeredHostNames(o), &bounds, o.trustedProxies, &outage}),
          leadership(store, counters),
          maintenance(store, fleet, o.keepDays, o.fleet, limits, counters, leadership, outage)
    {
    }
    Counters counters;
    FleetBounds bounds;
    StoreOutage outage;
    MonitorListener monitors;
    const StatusLimits limits;
    FleetView fleet;
    ChangeWatch changes;
    HttpApi http;
    Leadership leadership;
    Maintenance maintenance;
    PeriodicWorker upkeep;
    std::optional<Alerting> alerting; // made when it starts: it logs where its webhook posts
};

TeamServer::TeamServer(const ServerOptions& options, Store& store, const Tokens& tokens)
    : options_(options), store_(store)
{
    store.setOfflineAfter(options.offlineAfter);
    store.setHistoryResolution(options.fleet.historyResolution);
    parts_ = std::make_unique<Parts>(options, store, tokens);
}

TeamServer::~TeamServer() = default;

bool TeamServer::bind()
{
    std::string error;
    if (!parts_->monitors.bind(options_.monitorListen, error)) {
        logEvent(Level::error, "cannot listen for monitors on " +
                                   where(options_.monitorListen, options_.monitorListen.port) + ": " + error);
        return false;
    }
    if (!parts_->http.bind(options_.httpListen, error)) {
        logEvent(Level::error,
                 "cannot listen for HTTP on " + where(options_.httpListen, options_.httpListen.port) + ": " + error);
        return false;
    }
    // A database's URI may hold its password: not logged.
    const bool uri = options_.db.find("://") != std::string::npos;
    logEvent(Level::info, std::string("pelmora-server ") + kServerVersion + ", store " +
                              (uri ? std::string("a PostgreSQL database") : options_.db));
    logEvent(Level::info, "monitors on " + where(options_.monitorListen, parts_->monitors.port()));
    logEvent(Level::info, "HTTP on " + where(options_.httpListen, parts_->http.port()));
    return true;
}

void TeamServer::run()
{
    Parts& p = *parts_;
    p.leadership.start();
    p.upkeep.start(std::chrono::milliseconds(defaults::kUpkeepMilliseconds), [&p] { p.maintenance.step(); });
    p.changes.start();
    p.alerting.emplace(store_, p.counters, p.limits, options_.keepDays, options_.webhook, webhookTiming(options_),
                       &p.leadership);
    p.alerting->start();
    std::thread web([&p] { p.http.run(); });
    // Both listeners give what is under way a moment to finish, then cut it.
    p.monitors.run();
    web.join();
    p.upkeep.stop();
    p.changes.stop();
    p.alerting->stop();
    p.leadership.stop(); // the duties' last steps done: another may take them at once
}

void TeamServer::stop()
{
    parts_->fleet.stop();
    parts_->http.stop();
    parts_->monitors.stop();
}

} // namespace pelmora::server
