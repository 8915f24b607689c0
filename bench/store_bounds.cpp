// The store's bounds over simulated days: the SQLite store driven through
// its own methods with a clock moved an hour a step, as the server's
// maintenance drives it (the hourly sample and prune, the store's bound
// after each step), by peers that grow it:
//
//   pelmora-store-bounds users STORE [DAYS] [MACHINES] [MAX_BYTES]
//       each machine reports once an hour, under a new user name each time
//   pelmora-store-bounds flapping STORE [DAYS] [MACHINES] [MAX_BYTES]
//       each machine also flaps every 15 minutes: an alert raised and
//       resolved, two changes of status
//
// (defaults: 40 days, 10,000 machines, 64 MiB). At the end it prints each
// table's rows, the most a machine holds, the store's size against the
// bound, and whether every machine still has its last day: its reports, its
// changes of status and its points. Nothing here is a test.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "server/fleet/store_bound.h"
#include "server/store/sqlite/sqlite_store.h"

using namespace pelmora::server;

namespace {

constexpr long long kHour = 3600, kDay = 86400;

long long one(sqlite3* db, const std::string& sql)
{
    sqlite3_stmt* s = nullptr;
    long long value = -1;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
        value = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    return value;
}

void report(const std::string& path, long long maxBytes, double seconds)
{
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    std::printf("simulated in %.0f s\n", seconds);
    for (const char* table : {"machines", "reports", "status_events", "alerts", "points_hours", "points_days"})
        std::printf("%-14s %10lld rows\n", table, one(db, std::string("SELECT count(*) FROM ") + table));
    std::printf("user rows a day, most: %lld\n",
                one(db, "SELECT max(n) FROM (SELECT count(*) n FROM points_days WHERE kind = 1 GROUP BY day)"));
    std::printf("alerts a machine, most: %lld; changes of status, most: %lld\n",
                one(db, "SELECT max(n) FROM (SELECT count(*) n FROM alerts GROUP BY machine_id)"),
                one(db, "SELECT max(n) FROM (SELECT count(*) n FROM status_events GROUP BY machine_id)"));
    // Every machine's last day: the reports, the changes of status and the points of its last 24 hours.
    std::printf("machines without 24 reports in their last day: %lld\n",
                one(db, "SELECT count(*) FROM machines m WHERE (SELECT count(*) FROM reports r WHERE r.machine_id = m.id"
                        " AND r.at > m.last_seen - 86400) < 24"));
    if (one(db, "SELECT count(*) FROM status_events") > 0)
        std::printf("machines without their last day's changes of status: %lld\n",
                    one(db, "SELECT count(*) FROM machines m WHERE NOT EXISTS (SELECT 1 FROM status_events e"
                            " WHERE e.machine_id = m.id AND e.at > m.last_seen - 86400)"));
    std::printf("machines without a points row of the last day: %lld\n",
                one(db, "SELECT count(*) FROM machines m WHERE NOT EXISTS (SELECT 1 FROM points_days p WHERE p.kind = 2"
                        " AND p.subject = CAST(m.id AS TEXT) AND p.day = (SELECT max(day) FROM points_days))"));
    std::printf("oldest report %.1f days, oldest points day %.1f days before the end\n",
                static_cast<double>(one(db, "SELECT max(at) - min(at) FROM reports")) / kDay,
                static_cast<double>(one(db, "SELECT max(day) - min(day) FROM points_days")));
    const long long size = (one(db, "PRAGMA page_count") - one(db, "PRAGMA freelist_count")) * one(db, "PRAGMA page_size");
    std::printf("store %.1f MiB of %.1f MiB (%s)\n", static_cast<double>(size) / (1 << 20),
                static_cast<double>(maxBytes) / (1 << 20), size <= maxBytes ? "within" : "PAST THE BOUND");
    sqlite3_close(db);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || (std::string(argv[1]) != "users" && std::string(argv[1]) != "flapping")) {
        std::fprintf(stderr, "usage: %s users|flapping STORE [DAYS] [MACHINES] [MAX_BYTES]\n", argv[0]);
        return 2;
    }
    const bool flapping = std::string(argv[1]) == "flapping";
    const std::string path = argv[2];
    const long long days = argc > 3 ? std::atoll(argv[3]) : 40;
    const int machines = argc > 4 ? std::atoi(argv[4]) : 10000;
    const long long maxBytes = argc > 5 ? std::atoll(argv[5]) : 64LL << 20;
    std::remove(path.c_str());
    std::remove((path + "-wal").c_str());
    std::string error;
    std::unique_ptr<Store> store = openSqliteStore(path, error);
    if (!store) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    Counters counters;
    StoreBound bound(*store, counters, maxBytes);
    const auto started = std::chrono::steady_clock::now();
    const long long start = 20000 * kDay;
    std::vector<long long> ids(machines);
    for (long long h = 0; h < days * 24; ++h) {
        const long long now = start + h * kHour;
        std::vector<ReportWrite> writes;
        for (int m = 0; m < machines; ++m) {
            MonitorRecord r;
            r.computerName = "PC" + std::to_string(m);
            r.cpu = 1;
            r.progress = static_cast<int>(h % 100);
            r.unit = "p1234_R1_C2_G3";
            r.points = 1000;
            r.user = "u" + std::to_string(m) + "-" + std::to_string(h); // a new name each hour
            r.team = 7;
            writes.push_back({r, now + m % 60, {}});
        }
        for (std::size_t first = 0; first < writes.size(); first += 500) {
            const std::vector<ReportWrite> batch(writes.begin() + static_cast<long>(first),
                                                 writes.begin() + static_cast<long>(std::min(first + 500, writes.size())));
            const std::vector<ExchangeResult> results = store->recordReports(batch);
            for (std::size_t i = 0; i < results.size(); ++i) ids[first + i] = results[i].machineId;
        }
        // The hour's sample, as pointsSamples makes it: the fleet, its users (each machine's own), its machines.
        std::vector<PointsSample> samples{{{}, 1000LL * machines}};
        for (int m = 0; m < machines; ++m) samples.push_back({{PointsKind::user, writes[m].record.user, 7, 0}, 1000});
        for (int m = 0; m < machines; ++m) samples.push_back({{PointsKind::machine, "", 0, ids[m]}, 1000});
        store->samplePoints(now, samples);
        if (flapping) {
            for (int quarter = 0; quarter < 4; ++quarter) {
                std::vector<AlertWanted> wanted;
                std::vector<StatusEvent> events;
                const long long at = now + quarter * 900;
                for (const long long id : ids) {
                    wanted.push_back({id, quarter % 2 ? nullptr : "offline"});
                    events.push_back({id, at, quarter % 2 ? "folding" : "offline"});
                }
                store->setAlerts(wanted, at, false);
                store->addStatusEvents(events, 200);
            }
        }
        // The hourly upkeep, with the server's periods.
        store->pruneReports(now - 30 * kDay);
        store->prunePoints(now / kDay - 40);
        store->pruneAlerts(now - 30 * kDay);
        store->pruneStatusEvents(now - 90 * kDay);
        store->upkeep(Upkeep::thorough);
        // The bound's passes (a quarter second apart in the server) until back under it.
        for (int pass = 0; pass < 2000; ++pass) {
            bound.pass();
            if (!counters.storeAtLimit) break;
        }
        if (h % 24 == 23)
            std::fprintf(stderr, "day %lld: %.1f MiB, %lld reports thinned\n", h / 24 + 1,
                         static_cast<double>(store->sizeBytes()) / (1 << 20), counters.reportsThinned.load());
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    store.reset();
    std::printf("%s: %d machines, %lld simulated days, bound reached %lld times\n", argv[1], machines, days,
                counters.storeLimitReached.load());
    report(path, maxBytes, seconds);
    return 0;
}
