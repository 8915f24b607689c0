// The HTTP side on a free loopback port: the API's answers and errors, the
// stats site's unit path and the metrics.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <thread>
#include <unistd.h>

#include "server/fresh_store.h"
#include "server/api/http_api.h"
#include "server/store/machine_fields.h"
#include "server/support/token_compare.h"

using namespace pelmora::server;
using nlohmann::json;

namespace {
const char kToken[] = "s3cret-token";
const std::string kUnit = "/folding/unitstats.php?username=user01&team=12345&cpu=7&wucount=1&cpuvendor=GenuineIntel"
                          "&cpustring=Example_CPU_2.00GHz&cpumhz=1999&frametime=12.500000&protein=p1234_sample"
                          "&core=coreX&memory=512";

class ApiTest : public testing::Test {
protected:
    void SetUp() override
    {
        store = freshStore("api_test.db");
        MonitorRecord r = record("LABPC7", 0);
        r.unit = "p1234_sample";
        r.points = 150;
        r.core = "coreA";
        r.user = "user01";
        r.team = 12345;
        machine = store->recordReport(r, std::time(nullptr)).machineId;
        fleet = std::make_unique<FleetView>(*store, StatusLimits{});
        counters.leading = true; // a lone server leads
        std::string error;
        api = std::make_unique<HttpApi>(*store, counters, *fleet,
                                        HttpSettings{kToken, viewerToken, {}, 30, 1024, 64, {}, &bounds});
        ASSERT_TRUE(api->bind({"127.0.0.1", 0}, error)) << error;
        server = std::thread([this] { api->run(); });
        client = std::make_unique<httplib::Client>("127.0.0.1", api->port());
    }
    void TearDown() override
    {
        api->stop();
        server.join();
    }
    httplib::Result send(const std::string& method, const std::string& path, const std::string& token = "",
                         const std::string& body = "", httplib::Headers headers = {})
    {
        if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
        if (method == "GET") return client->Get(path, headers);
        if (method == "DELETE") return client->Delete(path, headers);
        if (method == "PUT") return client->Put(path, headers, body, "application/json");
        return client->Post(path, headers, body, "application/json");
    }

    Counters counters;
    FleetBounds bounds{[] {
        FleetLimits limits;
        limits.unitsPerHour = 2;
        return limits;
    }()};
    std::unique_ptr<Store> store;
    long long machine = 0;
    std::string viewerToken;
    std::unique_ptr<FleetView> fleet;
    std::unique_ptr<HttpApi> api;
    std::thread server;
    std::unique_ptr<httplib::Client> client;
};
} // namespace

TEST_F(ApiTest, CommandsNeedTheTokenAKnownMachineAndAKnownCommand)
{
    const std::string commands = "/api/machines/" + std::to_string(machine) + "/commands";
    const std::string exitBody = R"({"command":"exit"})";
    const std::string mute = "/api/machines/" + std::to_string(machine) + "/mute";
    struct Case {
        const char* method;
        std::string path, token, body;
        int status;
    } cases[] = {
        {"POST", commands, "", exitBody, 401},
        {"POST", commands, "s3cret-tokeX", exitBody, 401},
        {"POST", commands, "s3cret-token-and-more", exitBody, 401},
        {"POST", commands, kToken, "{not json", 400},
        {"POST", commands, kToken, R"({"command":"reboot"})", 400},
        {"POST", "/api/machines/999/commands", kToken, exitBody, 404},
        {"POST", commands, kToken, std::string(17 * 1024, ' '), 413},
        {"DELETE", commands, kToken, "", 404}, // nothing pending
        {"POST", commands, kToken, exitBody, 202},
        {"DELETE", commands, "", "", 401},
        {"DELETE", commands, kToken, "", 200},
        {"POST", commands, kToken, R"({"command":"restart"})", 202},
        {"DELETE", "/api/commands/2", kToken, "", 200}, // the same, by the command's id alone
        {"GET", "/api/machines/" + std::to_string(machine) + "/history?hours=x", "", "", 400},
        {"GET", "/api/machines/999/history", "", "", 404},
        {"GET", "/api/units?limit=0", "", "", 400},
        {"GET", "/api/alerts?limit=1001", "", "", 400},
        {"GET", "/api/alerts?active=2", "", "", 400},
        {"GET", "/api/alerts?machine=x", "", "", 400},
        {"GET", "/api/alerts?limit=1000&active=1&machine=1", "", "", 200},
        {"GET", "/api/units?machine_id=0", "", "", 400},
        {"GET", "/api/team?days=0", "", "", 400},
        {"GET", "/api/team?days=366", "", "", 400},
        {"GET", "/nowhere", "", "", 404},
        {"PUT", "/api/machines/" + std::to_string(machine) + "/address", "", R"({"address":"10.0.0.7"})", 401},
        {"PUT", "/api/machines/" + std::to_string(machine) + "/address", kToken, R"({"address":"10.0.0.256"})", 400},
        {"PUT", "/api/machines/" + std::to_string(machine) + "/address", kToken, R"({"address":"10.0.0.7","x":1})",
         400},
        {"PUT", "/api/machines/999/address", kToken, R"({"address":"10.0.0.7"})", 404},
        {"PUT", "/api/machines/" + std::to_string(machine) + "/address", kToken, R"({"address":"2001:db8::7"})", 200},
        {"GET", "/api/machines?state=stopped", "", "", 400},
        {"GET", "/api/machines?state=waiting", "", "", 200},
        {"POST", "/api/machines/approve", "", R"({"network":"10.0.0.0/8"})", 401},
        {"POST", "/api/machines/approve", kToken, R"({"network":"10.0.0.0/33"})", 400},
        {"POST", "/api/machines/approve", kToken, R"({"network":"10.0.0.0"})", 400},
        {"POST", "/api/machines/approve", kToken, R"({"address":"10.0.0.0/8"})", 400},
        {"POST", "/api/machines/approve", kToken, R"({"network":"2001:db8::/129"})", 400},
        {"POST", "/api/machines/approve", kToken, R"({"network":"10.0.0.0/8"})", 200}, // none waiting
        {"POST", "/api/machines/999/approve", kToken, "", 404},
        {"POST", "/api/machines/999/approve", kToken, R"({"address":"not one"})", 400}, // the body read first
        {"POST", "/api/machines/999/approve", kToken, R"({"network":"10.0.0.0/8"})", 400},
        {"DELETE", "/api/machines/" + std::to_string(machine) + "/address", "", "", 401},
        {"DELETE", "/api/machines/" + std::to_string(machine) + "/address", kToken, "", 200},
        {"DELETE", "/api/machines/999/address", kToken, "", 404},
        {"POST", mute, "", R"({"minutes":30})", 401},
        {"POST", mute, kToken, R"({"minutes":0})", 400},
        {"POST", mute, kToken, R"({"minutes":10081})", 400},
        {"POST", mute, kToken, R"({"minutes":1.5})", 400},
        {"POST", mute, kToken, R"({"minutes":"30"})", 400},
        {"POST", mute, kToken, R"({"minutes":30,"x":1})", 400},
        {"POST", "/api/machines/999/mute", kToken, R"({"minutes":30})", 404},
        {"POST", mute, kToken, R"({"minutes":10080})", 200},
        {"DELETE", "/api/machines/999/mute", kToken, "", 404},
        {"DELETE", "/api/machines/999", kToken, "", 404},
        {"DELETE", "/api/machines/" + std::to_string(machine), "", "", 401},
    };
    for (const Case& c : cases) {
        const httplib::Result r = send(c.method, c.path, c.token, c.body);
        ASSERT_TRUE(r) << c.method << " " << c.path;
        EXPECT_EQ(r->status, c.status) << c.method << " " << c.path << " " << c.token << ": " << r->body;
    }
    EXPECT_EQ(store->commands(machine, 10).at(0).state, "cancelled");
    EXPECT_EQ(store->machines().at(0).pendingCommand, "");
    EXPECT_NEAR(store->machines().at(0).mutedUntil, std::time(nullptr) + 10080 * 60, 2);
    EXPECT_EQ(send("DELETE", mute, kToken)->status, 200);
    EXPECT_EQ(store->machines().at(0).mutedUntil, 0);
    EXPECT_EQ(send("DELETE", "/api/machines/" + std::to_string(machine), kToken)->status, 200);
    EXPECT_TRUE(store->machines().empty());
    EXPECT_TRUE(store->commands(machine, 10).empty());
}

TEST_F(ApiTest, MachineListUnitsAndMetrics)
{
    ASSERT_EQ(send("POST", "/api/machines/" + std::to_string(machine) + "/commands", kToken, R"({"command":"tray"})")
                  ->status, 202);
    const nlohmann::ordered_json machines = nlohmann::ordered_json::parse(send("GET", "/api/machines")->body)["machines"];
    ASSERT_EQ(machines.size(), 1u);
    std::string keys;
    for (const auto& [key, value] : machines[0].items()) keys += key + " ";
    std::string shown;
    for (const MachineField& f : kMachineFields)
        if (f.shown != Shown::no) shown += std::string(f.key) + " ";
    EXPECT_EQ(keys, shown);
    EXPECT_EQ(machines[0]["pending_command"], "tray");
    EXPECT_EQ(machines[0]["status"], "folding");
    send("DELETE", "/api/machines/" + std::to_string(machine) + "/commands", kToken);
    EXPECT_TRUE(json::parse(send("GET", "/api/machines")->body)["machines"][0]["pending_command"].is_null());

    const httplib::Result page = send("GET", kUnit);
    EXPECT_EQ(page->status, 200);
    EXPECT_LT(page->body.size(), 4096u);
    EXPECT_NE(page->body.find("user01: 1 unit. Team 12345: 1 unit."), std::string::npos) << page->body;
    const httplib::Result refused = send("GET", kUnit.substr(0, kUnit.find("&memory")));
    EXPECT_EQ(refused->status, 400);
    EXPECT_NE(refused->body.find("memory is missing"), std::string::npos);

    const json units = json::parse(send("GET", "/api/units?user=user01&machine=7")->body)["units"];
    ASSERT_EQ(units.size(), 1u); // the refused one was not stored
    EXPECT_EQ(units[0]["protein"], "p1234_sample");
    EXPECT_EQ(units[0]["frame_minutes"], 12.5);
    EXPECT_EQ(units[0]["points"], 150); // as the machine reported for that unit
    EXPECT_EQ(units[0]["core"], "coreA");  // likewise, not the next unit's core the monitor sends
    EXPECT_EQ(units[0]["machine_id"], machine);
    EXPECT_EQ(json::parse(send("GET", "/api/units?machine_id=" + std::to_string(machine))->body)["units"].size(), 1u);
    EXPECT_EQ(json::parse(send("GET", "/api/units?machine_id=" + std::to_string(machine + 1))->body)["units"].size(),
              0u);
    const json team = json::parse(send("GET", "/api/team?days=7")->body);
    EXPECT_EQ(team["fleet"], json::parse(R"({"machines":1,"folding":1,"ppd":0,"units":1,"points":150,)"
                                         R"("submitted_ppd":21})"));
    EXPECT_EQ(team["users"][0]["user"], "user01");
    EXPECT_EQ(team["teams"][0]["team"], 12345);
    EXPECT_EQ(json::parse(send("GET", "/api/units?team=1")->body)["units"].size(), 0u);
    EXPECT_EQ(json::parse(send("GET", "/api/units?user=&team=&machine=&limit=")->body)["units"].size(), 1u);

    const std::string metrics = send("GET", "/metrics")->body;
    for (const char* line : {"pelmora_units_total{user=\"user01\",team=\"12345\"} 1\n",
                             "pelmora_points_total{user=\"user01\",team=\"12345\"} 150\n",
                             "pelmora_machine_info{machine=\"LABPC7/1\",user=\"user01\",team=\"12345\"} 1\n",
                             "pelmora_machine_unit_info{machine=\"LABPC7/1\",unit=\"p1234_sample\",core=\"coreA\"} 1\n",
                             "pelmora_machine_progress_ratio{machine=\"LABPC7/1\"} 0\n",
                             "pelmora_http_requests_total{route=\"/folding/unitstats.php\",code=\"400\"} 1\n",
                             "pelmora_alerts_active{kind=\"offline\"} 0\n", "pelmora_webhook_failures_total 0\n"})
        EXPECT_NE(metrics.find(line), std::string::npos) << line;
    EXPECT_EQ(send("GET", "/healthz")->body, "ok");
    // Two units an hour from one address: the third is refused, and counted.
    EXPECT_EQ(send("GET", kUnit)->status, 200);
    EXPECT_EQ(send("GET", kUnit)->status, 429);
    EXPECT_NE(send("GET", "/metrics")->body.find("pelmora_units_refused_total 1\n"), std::string::npos);
}

// Every family, in its order and with its type: the store-wide ones (the
// same on every server sharing the store) only from the leader, so a sum
// over the servers counts them once.
TEST_F(ApiTest, MetricsWriteEveryFamilyAndTheStoreWideOnesFromTheLeaderAlone)
{
    const struct {
        const char* name;
        const char* type;
        bool storeWide;
    } families[] = {
        {"pelmora_build_info", "gauge", false},
        {"pelmora_machine_info", "gauge", true},
        {"pelmora_machine_unit_info", "gauge", true},
        {"pelmora_machine_progress_ratio", "gauge", true},
        {"pelmora_machine_last_report_timestamp_seconds", "gauge", true},
        {"pelmora_machine_status", "gauge", true},
        {"pelmora_machine_points_per_day", "gauge", true},
        {"pelmora_units_total", "counter", true},
        {"pelmora_points_total", "counter", true},
        {"pelmora_points_per_day", "gauge", true},
        {"pelmora_reports_total", "counter", true},
        {"pelmora_store_size_bytes", "gauge", true},
        {"pelmora_store_max_bytes", "gauge", true},
        {"pelmora_leader", "gauge", false},
        {"pelmora_store_limit_reached_total", "counter", false},
        {"pelmora_reports_thinned_total", "counter", false},
        {"pelmora_records_clamped_total", "counter", true},
        {"pelmora_record_parse_failures_total", "counter", false},
        {"pelmora_connections_refused_total", "counter", false},
        {"pelmora_monitor_timeouts_total", "counter", false},
        {"pelmora_proxy_headers_refused_total", "counter", false},
        {"pelmora_alerts_active", "gauge", true},
        {"pelmora_alerts_raised_total", "counter", true},
        {"pelmora_webhook_failures_total", "counter", false},
        {"pelmora_webhook_timeouts_total", "counter", false},
        {"pelmora_webhook_summaries_total", "counter", false},
        {"pelmora_machines_refused_total", "counter", false},
        {"pelmora_records_refused_address_total", "counter", false},
        {"pelmora_machines_waiting", "gauge", true},
        {"pelmora_units_refused_total", "counter", false},
        {"pelmora_store_outage_records_total", "counter", false},
        {"pelmora_store_outage_units_total", "counter", false},
        {"pelmora_store_outages_total", "counter", false},
        {"pelmora_http_answers_delayed_total", "counter", false},
        {"pelmora_http_answers_refused_total", "counter", false},
        {"pelmora_http_answer_bytes", "gauge", false},
        {"pelmora_http_requests_total", "counter", false},
    };
    for (const bool leading : {true, false}) {
        counters.leading = leading;
        std::string wanted, written;
        for (const auto& f : families)
            if (leading || !f.storeWide) wanted += std::string(f.name) + " " + f.type + "\n";
        std::istringstream text(send("GET", "/metrics")->body);
        for (std::string line; std::getline(text, line);)
            if (line.rfind("# TYPE ", 0) == 0) written += line.substr(7) + "\n";
        EXPECT_EQ(written, wanted) << (leading ? "the leader" : "a follower");
    }
}

// Prometheus' own checker reads the metrics of a varied fleet: names, types,
// units and label escapes as its conventions have them.
TEST_F(ApiTest, MetricsPassPromtool)
{
    MonitorRecord r;
    r.computerName = "LAB\\PC\"8";
    r.cpu = 2;
    r.unit = "p1_R2_C3_G4";
    r.user = "a \"quoted\" user";
    r.team = 7;
    r.points = 500;
    const long long t = std::time(nullptr);
    store->recordReport(r, t - 600);
    r.progress = 5;
    store->recordReport(r, t - 60); // a pace, so points per day
    r.computerName = "GONE";
    r.exiting = true;
    store->recordReport(r, t);
    send("GET", kUnit);
    const std::string metrics = send("GET", "/metrics")->body;
    EXPECT_NE(metrics.find("pelmora_machine_points_per_day{machine=\"LAB\\\\PC\\\"8/2\"} 4000\n"), std::string::npos)
        << metrics;
    const std::string saidFile = ::testing::TempDir() + "pelmora-promtool-" + std::to_string(getpid()) + ".out";
    std::FILE* check = popen(("promtool check metrics > '" + saidFile + "' 2>&1").c_str(), "w");
    ASSERT_NE(check, nullptr);
    std::fwrite(metrics.data(), 1, metrics.size(), check);
    const int status = pclose(check);
    std::string said(4096, '\0');
    if (std::FILE* out = std::fopen(saidFile.c_str(), "r")) {
        said.resize(std::fread(said.data(), 1, said.size(), out));
        std::fclose(out);
    }
    std::remove(saidFile.c_str());
    EXPECT_EQ(status, 0) << "promtool (scripts/setup-debian.sh installs it): " << said;
    EXPECT_EQ(said, "");
}

// The dashboard's sign-in: a session cookie, and commands made with it only
// from our own pages, carrying the session's cross-site token.
TEST_F(ApiTest, SignedInCommandsNeedTheirCrossSiteToken)
{
    httplib::Result r = client->Post("/signin", "token=wrong&next=/team", "application/x-www-form-urlencoded");
    EXPECT_EQ(r->get_header_value("Location"), "/signin?error=1&next=/team");
    EXPECT_FALSE(r->has_header("Set-Cookie"));
    r = client->Post("/signin", {{"Origin", "http://elsewhere.example"}}, std::string("token=") + kToken,
                     "application/x-www-form-urlencoded");
    EXPECT_EQ(r->status, 403);
    r = client->Post("/signin", {{"X-Forwarded-Proto", "https"}}, std::string("token=") + kToken + "&next=//evil",
                     "application/x-www-form-urlencoded");
    EXPECT_EQ(r->status, 303);
    EXPECT_EQ(r->get_header_value("Location"), "/");
    const std::string cookie = r->get_header_value("Set-Cookie");
    EXPECT_NE(cookie.find("; HttpOnly; SameSite=Strict; Max-Age=43200; Secure"), std::string::npos) << cookie;
    const std::string session = "pelmora_session=" + cookie.substr(16, 64);
    const std::string csrf = json::parse(send("GET", "/api/session", "", "", {{"Cookie", session}})->body)["csrf"];

    const std::string commands = "/api/machines/" + std::to_string(machine) + "/commands";
    const std::string host = "127.0.0.1:" + std::to_string(api->port());
    struct Case {
        httplib::Headers headers;
        int status;
    } cases[] = {
        {{{"Cookie", session}}, 403},                                                       // no cross-site token
        {{{"Cookie", session}, {"X-CSRF-Token", csrf + "0"}}, 403},                         // a wrong one
        {{{"Cookie", session}, {"X-CSRF-Token", csrf}, {"Origin", "http://evil"}}, 403},    // from another site
        {{{"Cookie", session}, {"X-CSRF-Token", csrf}, {"Sec-Fetch-Site", "cross-site"}}, 403},
        {{{"Cookie", "pelmora_session=" + std::string(64, '0')}, {"X-CSRF-Token", csrf}}, 401}, // unknown session
        {{{"Cookie", session}, {"X-CSRF-Token", csrf}, {"Origin", "http://" + host}}, 202},
    };
    for (const Case& c : cases)
        EXPECT_EQ(send("POST", commands, "", R"({"command":"tray"})", c.headers)->status, c.status);

    EXPECT_EQ(send("POST", "/signout", "", "", {{"Cookie", session}})->status, 403);
    EXPECT_EQ(send("POST", "/signout", "", "", {{"Cookie", session}, {"X-CSRF-Token", csrf}})->status, 204);
    EXPECT_EQ(send("POST", commands, "", R"({"command":"tray"})", {{"Cookie", session}, {"X-CSRF-Token", csrf}})
                  ->status, 401);
}

struct ViewerTokenTest : ApiTest {
    ViewerTokenTest() { viewerToken = "v1ewer"; }
};

TEST_F(ViewerTokenTest, ViewingNeedsATokenButMonitorsDoNot)
{
    struct Case {
        const char* method;
        std::string path, token;
        int status;
    } cases[] = {
        {"GET", "/api/machines", "", 401},          {"GET", "/metrics", "", 401},
        {"GET", "/api/events", "", 401},            {"GET", "/team", "", 303},
        {"GET", "/api/machines", "v1ewer", 200},    {"GET", "/api/machines", kToken, 200},
        {"GET", "/healthz", "", 200},               {"GET", kUnit, "", 200},
        {"GET", "/api/session", "", 200},           {"GET", "/signin", "", 200},
        {"POST", "/api/machines/" + std::to_string(machine) + "/commands", "v1ewer", 403},
    };
    for (const Case& c : cases)
        EXPECT_EQ(send(c.method, c.path, c.token, R"({"command":"exit"})")->status, c.status) << c.path;
    EXPECT_EQ(send("GET", "/team")->get_header_value("Location"), "/signin?next=/team");
}

TEST(Token, ComparedWhole)
{
    EXPECT_TRUE(tokensEqual("abc", "abc"));
    EXPECT_FALSE(tokensEqual("abd", "abc"));
    EXPECT_FALSE(tokensEqual("ab", "abc"));
    EXPECT_FALSE(tokensEqual("abcd", "abc"));
    EXPECT_FALSE(tokensEqual("", ""));
}
