#include "server/server.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <malloc.h>
#include <pthread.h>
#include <sys/resource.h>
#include <thread>

#include "server/support/admin_token.h"
#include "server/fleet/alerts.h"
#include "server/http/host_names.h"
#include "server/api/http_api.h"
#include "server/support/log.h"
#include "server/fleet/machine_admin.h"
#include "server/monitor/monitor_listener.h"
#include "server/support/periodic_worker.h"
#include "server/store/sqlite/sqlite_store.h"
#include "server/store/sqlite/store_lock.h"
#include "server/fleet/store_bound.h"
#include "server/support/version.h"

namespace pelmora::server {
namespace {

constexpr long long kPruneEverySeconds = 3600;

std::string where(const Endpoint& e, int port) { return e.address + ":" + std::to_string(port); }

// Runs the store's frequent upkeep four times a second (its thorough one with
// the hourly pruning of the history) and sends the fleet's changes to the
// dashboards' event streams twice a second. Small, frequent upkeep keeps each
// flush to disk short: with one a second, or one every ten, the exchanges that met a
// flush made the 99th percentile several times longer.
constexpr std::chrono::milliseconds kMaintenancePeriod{250};

class Maintenance {
public:
    Maintenance(Store& store, FleetView& fleet, int keepDays, const FleetLimits& limits, Counters& counters)
        : store_(store), fleet_(fleet), keepDays_(keepDays), limits_(limits),
          bound_(store, counters, limits.maxStoreBytes)
    {
    }
    void step()
    {
        try {
            const long long now = std::time(nullptr);
            if (now - lastPrune_ >= kPruneEverySeconds) {
                lastPrune_ = now;
                const long long removed = store_.pruneReports(now - keepDays_ * 86400LL);
                if (removed > 0)
                    logEvent(Level::info, "history: " + std::to_string(removed) + " reports older than " +
                                              std::to_string(keepDays_) + " days removed");
                forgetSilentMachines(store_, limits_, now);
                store_.upkeep(Upkeep::thorough);
            } else {
                store_.upkeep(Upkeep::frequent);
            }
            bound_.pass();
            if (++ticks_ % 2 == 0) fleet_.publish(now);
        } catch (const std::exception& e) {
            logEvent(Level::error, std::string("store upkeep failed: ") + e.what());
        }
    }

private:
    Store& store_;
    FleetView& fleet_;
    int keepDays_;
    const FleetLimits& limits_;
    StoreBound bound_;
    long long lastPrune_ = 0;
    long long ticks_ = 0;
};

} // namespace

int runServer(const ServerOptions& options)
{
    Level level = Level::info;
    logLevelFromName(options.logLevel, level);
    setLogLevel(level);

    // SIGTERM and SIGINT wait for the thread that asks for them; every
    // thread started from here inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // Two heaps for all threads: the HTTP workers each building a large
    // answer in a heap of its own would hold that memory many times over.
    mallopt(M_ARENA_MAX, 2);
    // Large answers (the machine list, metrics) in memory of their own, given
    // back when sent: left to itself, glibc raises this threshold after the
    // first such free and later ones stay in the heap, scattered.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    // Both listeners' connection limits, the store and the log need more
    // descriptors than the usual soft limit of 1,024.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    std::string error;
    StoreLock storeLock;
    if (!storeLock.take(options.db, error)) {
        logEvent(Level::error, error);
        return 1;
    }
    std::unique_ptr<Store> store = openSqliteStore(options.db, error);
    if (!store) {
        logEvent(Level::error, "cannot open the store " + options.db + ": " + error);
        return 1;
    }
    if (!store->writable(error)) {
        logEvent(Level::error, "the store " + options.db + " cannot be written: " + error);
        return 1;
    }
    std::string token, tokenPath;
    bool created = false;
    if (!loadAdminToken(options.adminTokenFile, options.db, token, tokenPath, created, error)) {
        logEvent(Level::error, error);
        return 1;
    }
    if (created) logEvent(Level::info, "admin token made and written to " + tokenPath + " (mode 0600)");
    for (const std::string& file : {tokenPath, options.viewerTokenFile})
        if (!file.empty() && readableByOthers(file))
            logEvent(Level::warn, "the token file " + file + " can be read by other users: chmod 600 " + file);
    std::string viewerToken;
    if (!options.viewerTokenFile.empty() && !readToken(options.viewerTokenFile, viewerToken, error)) {
        logEvent(Level::error, error);
        return 1;
    }

    Counters counters;
    FleetBounds bounds(options.fleet);
    MonitorListener listener(*store, counters, options.maxConnections, options.maxConnectionsPerAddress,
                             &bounds);
    if (!listener.bind(options.monitorListen, error)) {
        logEvent(Level::error, "cannot listen for monitors on " + where(options.monitorListen, options.monitorListen.port) +
                                   ": " + error);
        return 1;
    }
    const StatusLimits limits{options.offlineAfter, options.stallAfter};
    std::vector<std::string> hostNames = ownHostNames();
    hostNames.insert(hostNames.end(), options.publicHosts.begin(), options.publicHosts.end());
    store->setOfflineAfter(options.offlineAfter);
    store->setHistoryResolution(options.fleet.historyResolution);
    FleetView fleet(*store, limits);
    HttpApi http(*store, counters, fleet,
                 {token, viewerToken, limits, options.keepDays, options.maxConnections,
                  options.maxConnectionsPerAddress, hostNames, &bounds});
    if (!http.bind(options.httpListen, error)) {
        logEvent(Level::error, "cannot listen for HTTP on " + where(options.httpListen, options.httpListen.port) + ": " +
                                   error);
        return 1;
    }
    logEvent(Level::info, std::string("pelmora-server ") + kServerVersion + ", store " + options.db);
    logEvent(Level::info, "monitors on " + where(options.monitorListen, listener.port()));
    logEvent(Level::info, "HTTP on " + where(options.httpListen, http.port()));

    Maintenance maintenance(*store, fleet, options.keepDays, options.fleet, counters);
    PeriodicWorker upkeep;
    upkeep.start(kMaintenancePeriod, [&] { maintenance.step(); });
    WebhookTiming webhookTiming;
    webhookTiming.timeout = std::chrono::seconds(options.webhookTimeout);
    webhookTiming.burst = options.webhookBurst;
    Alerting alerting(*store, counters, {options.offlineAfter, options.stallAfter}, options.keepDays, options.webhook,
                      webhookTiming);
    alerting.start();
    std::thread web([&] { http.run(); });
    std::thread signals([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        logEvent(Level::info, std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
        fleet.stop();
        http.stop();
        listener.stop();
    });

    // Both listeners give what is under way a moment to finish, then cut it.
    listener.run();
    web.join();
    upkeep.stop();
    alerting.stop();
    signals.join();
    store.reset();
    logEvent(Level::info, "stopped");
    return 0;
}

int serverMain(int argc, const char* const* argv)
{
    ServerOptions options;
    std::string message;
    const int status = parseOptions(argc, argv, options, message);
    if (status >= 0) {
        std::fputs(message.c_str(), status == 0 ? stdout : stderr);
        return status;
    }
    return runServer(options);
}

} // namespace pelmora::server
