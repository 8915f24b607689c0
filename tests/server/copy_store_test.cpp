// --copy-store: a SQLite store with every kind of row, the API's answers
// from it, then the same answers from its copy in PostgreSQL (a real
// cluster, postgres_cluster.h); and the copies refused, which leave the
// database as it was.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <httplib.h>
#include <map>
#include <nlohmann/json.hpp>
#include <sqlite3.h>
#include <thread>

#include "server/fresh_store.h"
#include "server/api/http_api.h"
#include "server/store/copy/copy_store.h"
#include "server/store/postgres/connection.h"

using namespace pelmora::server;
using nlohmann::json;

namespace {
const char kPath[] = "copy_store_test.db";
const char kToken[] = "copy-admin";
const char kViewerToken[] = "copy-viewer";

PostgresCluster* clusterOrSkip()
{
    std::string why;
    PostgresCluster* cluster = PostgresCluster::get(why);
    if (!cluster && !PostgresCluster::programs(why).empty()) ADD_FAILURE() << why;
    return cluster;
}

// A fleet in every table: reports over time, a machine gone silent, one
// that exited, one whose name is not UTF-8, one waiting; commands
// delivered, pending and cancelled; units; alerts open and resolved; the
// points history and the statuses.
struct Fleet {
    long long alpha = 0, beta = 0;
};
Fleet fill(Store& store, long long now)
{
    Fleet f;
    MonitorRecord a = record("ALPHA", 10);
    a.user = "user01";
    a.team = 12345;
    a.points = 900;
    f.alpha = store.recordReport(a, now - 3600, {"127.0.0.2"}).machineId;
    f.beta = store.recordReport(record("BETA", 5), now - 7200).machineId;
    store.recordReport(record("GAMMA\xff\x01", 70), now - 100);
    store.recordReport(record("DELTA", 20, true), now - 900);
    ExchangeRules approval;
    approval.byApproval = true;
    approval.maxWaiting = 10;
    store.recordReport(record("NEWCOMER"), now - 30, approval);

    store.queueCommand(f.alpha, "tray", "admin", now - 1000);
    a.progress = 40;
    store.recordReport(a, now - 1800, {"127.0.0.2"}); // takes the tray
    store.queueCommand(f.alpha, "tray", "admin", now - 700);
    store.cancelCommand(f.alpha, 0, "admin", now - 650);
    store.queueCommand(f.beta, "exit", "admin", now - 600);
    a.progress = 60;
    store.recordReport(a, now - 60, {"127.0.0.2"});

    UnitSubmission u{"user01", 12345, 7, 1, "GenuineIntel", "Example_CPU", 1999, 12.5, "p1234_sample", "coreA", 512};
    store.addUnit(u, now - 500, "127.0.0.2");
    u.protein = "p5678_other\x80";
    store.addUnit(u, now - 400, "127.0.0.9");

    store.setAlerts({{f.beta, "offline"}, {f.alpha, "stalled"}}, now - 300, true);
    store.setAlerts({{f.beta, "offline"}}, now - 200, true);
    store.markAlertEventsSent(store.pendingAlertEvents(1), now - 190);

    const long long hour = now / 3600 * 3600;
    for (const long long h : {hour - 7200, hour - 3600})
        store.samplePoints(h, {{{PointsKind::fleet, "", 0, 0}, 4000 + h % 7},
                               {{PointsKind::user, "user01", 12345, 0}, 3000},
                               {{PointsKind::machine, "", 0, f.alpha}, 2500}});
    store.addStatusEvents({{f.alpha, now - 3600, "folding"}, {f.beta, now - 3000, "offline"}}, 100);
    return f;
}

// The HTTP API over STORE, as the server serves it, on a free loopback port.
class Served {
public:
    explicit Served(Store& store)
        : fleet_(store, StatusLimits{}),
          api_(store, counters_, fleet_, HttpSettings{kToken, kViewerToken, {}, 30, 64, 64, {}, nullptr})
    {
        std::string error;
        EXPECT_TRUE(api_.bind({"127.0.0.1", 0}, error)) << error;
        thread_ = std::thread([this] { api_.run(); });
        client_ = std::make_unique<httplib::Client>("127.0.0.1", api_.port());
    }
    ~Served()
    {
        api_.stop();
        thread_.join();
    }
    httplib::Client& client() { return *client_; }

private:
    Counters counters_;
    FleetView fleet_;
    HttpApi api_;
    std::thread thread_;
    std::unique_ptr<httplib::Client> client_;
};

// The answers a viewer signed in with SESSION reads, by path.
std::map<std::string, std::string> answers(Store& store, const Fleet& f, const std::string& session)
{
    Served served(store);
    std::map<std::string, std::string> out;
    const std::string alpha = "/api/machines/" + std::to_string(f.alpha), beta = "/api/machines/" + std::to_string(f.beta);
    for (const std::string& path :
         {std::string("/api/machines"), alpha, alpha + "/history", alpha + "/points", alpha + "/events",
          alpha + "/commands", beta + "/commands", std::string("/api/units"), std::string("/api/cpus"),
          std::string("/api/summary"), std::string("/api/alerts"), std::string("/api/team?days=7"),
          std::string("/api/team/points"), std::string("/api/session")}) {
        const httplib::Result r = served.client().Get(path, {{"Cookie", session}});
        out[path] = r ? std::to_string(r->status) + " " + r->body : "no answer";
    }
    return out;
}

std::vector<long long> tableRows(const std::string& uri)
{
    PgConnection c(uri, {});
    std::vector<long long> rows;
    for (const char* table : {"machines", "reports", "units", "commands", "alerts", "sessions"})
        rows.push_back(c.run(std::string("SELECT count(*) FROM ") + table, {}).integer(0, 0));
    return rows;
}
} // namespace

TEST(CopyStore, TheApiAnswersAlikeFromTheCopy)
{
    PostgresCluster* cluster = clusterOrSkip();
    if (!cluster) GTEST_SKIP() << "no PostgreSQL (see PostgresStore.ProgramsInstalled)";
    const long long now = std::time(nullptr);
    std::unique_ptr<Store> sqlite = freshStore(kPath);
    ASSERT_TRUE(sqlite);
    const Fleet f = fill(*sqlite, now);
    std::string session;
    {
        Served served(*sqlite);
        const httplib::Result r = served.client().Post("/signin", std::string("token=") + kViewerToken,
                                                       "application/x-www-form-urlencoded");
        ASSERT_TRUE(r);
        session = "pelmora_session=" + r->get_header_value("Set-Cookie").substr(16, 64);
    }
    const auto before = answers(*sqlite, f, session);
    const long long alertChange = sqlite->lastAlertChange();
    long long machineChange = 0;
    sqlite->machinesChangedSince(0, machineChange);

    const std::string uri = cluster->database("copy_store", true);
    std::vector<CopiedTable> copied;
    std::string error;
    EXPECT_FALSE(copyStore(kPath, uri, copied, error)); // the SQLite store is still open, locked
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    sqlite.reset();
    ASSERT_TRUE(copyStore(kPath, uri, copied, error)) << error;
    std::map<std::string, long long> rows;
    for (const CopiedTable& t : copied) rows[t.table] = t.rows;
    EXPECT_EQ(rows["machines"], 4);
    EXPECT_EQ(rows["waiting"], 1);
    EXPECT_EQ(rows["sessions"], 1);

    std::unique_ptr<Store> postgres = openPostgresForTest("copy_store", false);
    ASSERT_TRUE(postgres);
    const auto after = answers(*postgres, f, session);
    for (const auto& [path, answer] : before) EXPECT_EQ(after.at(path), answer) << path;
    EXPECT_EQ(postgres->lastAlertChange(), alertChange);
    long long latest = 0;
    postgres->machinesChangedSince(0, latest);
    EXPECT_EQ(latest, machineChange);
    // New rows are numbered past the copied ones.
    EXPECT_GT(postgres->recordReport(record("EPSILON"), now).machineId, f.beta);
    EXPECT_TRUE(postgres->queueCommand(f.alpha, "exit", "admin", now));
    EXPECT_EQ(postgres->setAlerts({{f.alpha, "offline"}}, now, true).size(), 2u); // alpha raised, beta resolved
}

// Each refusal leaves the database as it was: one transaction for the whole copy.
TEST(CopyStore, RefusedCopiesLeaveTheDatabaseAsItWas)
{
    PostgresCluster* cluster = clusterOrSkip();
    if (!cluster) GTEST_SKIP() << "no PostgreSQL (see PostgresStore.ProgramsInstalled)";
    const std::string uri = cluster->database("copy_store_refused", true);
    {
        std::unique_ptr<Store> store = freshStore(kPath);
        fill(*store, std::time(nullptr));
    }
    std::ofstream("copy_store_text.db") << "machines\n";
    sqlite3* other = nullptr;
    std::remove("copy_store_other.db");
    sqlite3_open("copy_store_other.db", &other);
    sqlite3_exec(other, "CREATE TABLE notes (text TEXT)", nullptr, nullptr, nullptr);
    sqlite3_close(other);

    struct Case {
        std::string from, to, error;
    } cases[] = {
        {"copy_store_missing.db", uri, "no store file"},
        {"copy_store_text.db", uri, "not a SQLite database"},
        {"copy_store_other.db", uri, "not a pelmora-server store"},
        {kPath, "copy_store_target.db", "not a PostgreSQL URI"},
    };
    for (const Case& c : cases) {
        std::vector<CopiedTable> copied;
        std::string error;
        EXPECT_FALSE(copyStore(c.from, c.to, copied, error)) << c.from;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
    EXPECT_FALSE(std::ifstream("copy_store_missing.db")); // not made by the attempt

    // A value PostgreSQL cannot take, met after rows were written: none kept.
    sqlite3* db = nullptr;
    sqlite3_open(kPath, &db);
    sqlite3_exec(db, "UPDATE units SET cpu_mhz = 'fast' WHERE id = (SELECT max(id) FROM units)", nullptr, nullptr,
                 nullptr);
    sqlite3_close(db);
    std::vector<CopiedTable> copied;
    std::string error;
    EXPECT_FALSE(copyStore(kPath, uri, copied, error));
    EXPECT_EQ(tableRows(uri), std::vector<long long>(6, 0)) << error;

    // Once in, never twice.
    db = nullptr;
    sqlite3_open(kPath, &db);
    sqlite3_exec(db, "UPDATE units SET cpu_mhz = 1999", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    ASSERT_TRUE(copyStore(kPath, uri, copied, error)) << error;
    const std::vector<long long> once = tableRows(uri);
    EXPECT_FALSE(copyStore(kPath, uri, copied, error));
    EXPECT_NE(error.find("already holds data"), std::string::npos) << error;
    EXPECT_EQ(tableRows(uri), once);
}
