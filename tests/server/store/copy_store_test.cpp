// --copy-store: the API's answers from a SQLite store with every kind of
// row, then the same answers from its copy on a real PostgreSQL cluster;
// and the copies refused, which leave the database as it was.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <httplib.h>
#include <map>
#include <sqlite3.h>
#include <thread>

#include "server/fresh_store.h"
#include "server/api/http_api.h"
#include "server/store/copy/copy_store.h"
#include "server/store/postgres/connection.h"

using namespace pelmora::server;

namespace {
const char kPath[] = "copy_store_test.db";
const char kViewerToken[] = "copy-viewer-token";

// Every table: reports over time, a silent machine, one that exited, one
// named in bytes that are not UTF-8, one waiting; commands delivered,
// pending and cancelled; units; alerts; the points history and statuses.
void fill(Store& store, long long now)
{
    MonitorRecord a = record("ALPHA", 10);
    a.user = "user01";
    a.team = 12345;
    store.recordReport(a, now - 3600, {"127.0.0.2"});
    store.recordReport(record("BETA", 5), now - 7200);
    store.recordReport(record("GAMMA\xff\x01", 70), now - 100);
    store.recordReport(record("DELTA", 20, true), now - 900);
    ExchangeRules approval;
    approval.byApproval = true;
    approval.maxWaiting = 10;
    store.recordReport(record("NEWCOMER"), now - 30, approval);
    store.queueCommand(1, "tray", "admin", now - 1000);
    a.progress = 40;
    store.recordReport(a, now - 1800, {"127.0.0.2"}); // takes the tray
    store.queueCommand(1, "tray", "admin", now - 700);
    store.cancelCommand(1, 0, "admin", now - 650);
    store.queueCommand(2, "exit", "admin", now - 600);
    a.progress = 60;
    store.recordReport(a, now - 60, {"127.0.0.2"});
    UnitSubmission u{"user01", 12345, 7, 1, "GenuineIntel", "Example_CPU", 1999, 12.5, "p1234_sample", "coreA", 512};
    store.addUnit(u, now - 500, "127.0.0.2");
    u.protein = "p5678_other\x80";
    store.addUnit(u, now - 400, "127.0.0.9");
    store.setAlerts({{2, "offline"}, {1, "stalled"}}, now - 300, true);
    store.markAlertEventsSent(store.pendingAlertEvents(1), now - 190);
    for (const long long h : {now / 3600 * 3600 - 7200, now / 3600 * 3600 - 3600})
        store.samplePoints(h, {{{PointsKind::fleet, "", 0, 0}, 4000 + h % 7},
                               {{PointsKind::user, "user01", 12345, 0}, 3000}, {{PointsKind::machine, "", 0, 1}, 2500}});
    store.addStatusEvents({{1, now - 3600, "folding"}, {2, now - 3000, "offline"}}, 100);
}

// The answers a viewer signed in with SESSION reads from the API over STORE,
// by path; SESSION made first (a sign-in) when empty.
std::map<std::string, std::string> answers(Store& store, std::string& session)
{
    Counters counters;
    FleetView fleet(store, StatusLimits{});
    HttpApi api(store, counters, fleet, HttpSettings{"copy-admin-token", kViewerToken, {}, 30, 64, 64, {}, nullptr});
    std::string error;
    EXPECT_TRUE(api.bind({"127.0.0.1", 0}, error)) << error;
    std::thread server([&] { api.run(); });
    httplib::Client client("127.0.0.1", api.port());
    if (session.empty())
        if (auto r = client.Post("/signin", std::string("token=") + kViewerToken, "application/x-www-form-urlencoded"))
            session = "pelmora_session=" + r->get_header_value("Set-Cookie").substr(16, 64);
    std::map<std::string, std::string> out;
    for (const char* path : {"/api/machines", "/api/machines/1", "/api/machines/1/history", "/api/machines/1/points",
                             "/api/machines/1/events", "/api/machines/1/commands", "/api/machines/2/commands",
                             "/api/units", "/api/cpus", "/api/summary", "/api/alerts", "/api/team?days=7",
                             "/api/team/points", "/api/session"}) {
        const httplib::Result r = client.Get(path, {{"Cookie", session}});
        out[path] = r ? std::to_string(r->status) + " " + r->body : "no answer";
    }
    api.stop();
    server.join();
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

void runSql(const char* sql)
{
    sqlite3* db = nullptr;
    sqlite3_open(kPath, &db);
    sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    sqlite3_close(db);
}
} // namespace

TEST(CopyStore, TheApiAnswersAlikeFromTheCopyAndRefusalsLeaveNothing)
{
    std::string why;
    PostgresCluster* cluster = PostgresCluster::get(why);
    if (!cluster && PostgresCluster::programs(why).empty()) GTEST_SKIP() << why;
    ASSERT_TRUE(cluster) << why;
    const long long now = std::time(nullptr);
    std::unique_ptr<Store> sqlite = freshStore(kPath);
    ASSERT_TRUE(sqlite);
    fill(*sqlite, now);
    std::string session;
    answers(*sqlite, session);
    const auto before = answers(*sqlite, session);
    long long machineChange = 0, latest = 0;
    sqlite->machinesChangedSince(0, machineChange);
    const long long alertChange = sqlite->lastAlertChange();

    const std::string uri = cluster->database("copy_store", true);
    std::ofstream("copy_store_text.db") << "machines\n";
    sqlite3* other = nullptr;
    sqlite3_open("copy_store_other.db", &other);
    sqlite3_exec(other, "CREATE TABLE IF NOT EXISTS notes (text TEXT)", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    struct Refusal {
        std::string from, to, error;
    } refusals[] = {
        {kPath, uri, "in use"}, // the store is still open, locked
        {"copy_store_missing.db", uri, "no store file"},
        {"copy_store_text.db", uri, "not a SQLite database"},
        {"copy_store_other.db", uri, "not a pelmora-server store"},
        {kPath, "copy_store_target.db", "not a PostgreSQL URI"},
        {uri, kPath, "source is a PostgreSQL URI"},
    };
    std::vector<CopiedTable> copied;
    std::string error;
    for (const Refusal& r : refusals) {
        EXPECT_FALSE(copyStore(r.from, r.to, copied, error)) << r.from;
        EXPECT_NE(error.find(r.error), std::string::npos) << error;
        EXPECT_EQ(error.find(uri), std::string::npos) << error;
    }
    EXPECT_FALSE(std::ifstream("copy_store_missing.db")); // not made by the attempt
    sqlite.reset();
    // A value PostgreSQL cannot take, met after other tables were written: none kept.
    runSql("UPDATE units SET cpu_mhz = 'fast' WHERE id = 2");
    EXPECT_FALSE(copyStore(kPath, uri, copied, error));
    EXPECT_EQ(tableRows(uri), std::vector<long long>(6, 0)) << error;
    runSql("UPDATE units SET cpu_mhz = 1999");

    ASSERT_TRUE(copyStore(kPath, uri, copied, error)) << error;
    std::map<std::string, long long> rows;
    for (const CopiedTable& t : copied) rows[t.table] = t.rows;
    EXPECT_EQ(rows["machines"], 4);
    EXPECT_EQ(rows["waiting"], 1);
    const std::vector<long long> once = tableRows(uri);
    EXPECT_FALSE(copyStore(kPath, uri, copied, error)); // once in, never twice
    EXPECT_NE(error.find("already holds data"), std::string::npos) << error;
    EXPECT_EQ(tableRows(uri), once);

    std::unique_ptr<Store> postgres = openPostgresForTest("copy_store", false);
    ASSERT_TRUE(postgres);
    const auto after = answers(*postgres, session);
    for (const auto& [path, answer] : before) EXPECT_EQ(after.at(path), answer) << path;
    postgres->machinesChangedSince(0, latest);
    EXPECT_EQ(latest, machineChange);
    EXPECT_EQ(postgres->lastAlertChange(), alertChange);
    // New rows are numbered past the copied ones.
    EXPECT_EQ(postgres->recordReport(record("EPSILON"), now).machineId, 5);
    EXPECT_TRUE(postgres->queueCommand(1, "exit", "admin", now));
}
