// Alerts raised and resolved as a machine's status moves (the clock given
// to each look), across a restart; the webhook against a loopback receiver
// that fails first.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <thread>

#include "server/alerts.h"
#include "server/webhook.h"

using namespace pelmora_server;

namespace {
std::unique_ptr<Store> freshStore(const std::string& path)
{
    std::remove(path.c_str());
    std::remove((path + "-wal").c_str());
    std::string error;
    return Store::open(path, error);
}

void report(Store& store, const std::string& name, long long at, int progress, bool exiting = false)
{
    MonitorRecord r;
    r.computerName = name;
    r.cpu = 1;
    r.unit = "p1234_R1_C2_G3";
    r.progress = progress;
    r.exiting = exiting;
    store.recordReport(r, at);
}
} // namespace

TEST(Alerts, FollowTheStatusOnceEachAcrossARestart)
{
    const std::string path = "alerts_test.db";
    std::unique_ptr<Store> store = freshStore(path);
    const StatusLimits limits{100, 300};
    auto engine = std::make_unique<AlertEngine>(*store, limits, 0, false);
    enum { none = -1, exits = -2, restart = -3 };
    struct Step {
        long long at;
        int progress; // a report with it, or none, exits, restart (at AT)
        const char* open; // the machine's open alert after a look at AT
        long long raised; // alerts raised so far
    } steps[] = {
        {1000, 10, "", 0},           {1101, none, "offline", 1}, {1102, none, "offline", 1},
        {1110, 11, "", 1},           {1300, 11, "", 1},          {1410, 11, "stalled", 2},
        {1411, 11, "stalled", 2},    {1600, none, "offline", 3}, {1650, 11, "stalled", 4},
        {1660, exits, "", 4},        {1900, none, "", 4},        {1910, 12, "", 4},
        {2011, none, "offline", 5},  {2020, restart, "offline", 5}, {2030, none, "offline", 5},
        {2040, 13, "", 5},
    };
    for (const Step& s : steps) {
        if (s.progress == restart) {
            engine.reset();
            store.reset();
            std::string error;
            store = Store::open(path, error);
            engine = std::make_unique<AlertEngine>(*store, limits, s.at, false);
        } else if (s.progress != none) {
            report(*store, "LABPC7", s.at, s.progress == exits ? 11 : s.progress, s.progress == exits);
        }
        engine->evaluate(s.at);
        const std::vector<AlertRow> open = store->alerts({true, 0, -1});
        ASSERT_LE(open.size(), 1u) << s.at;
        EXPECT_EQ(open.empty() ? "" : open[0].kind, s.open) << s.at;
        EXPECT_EQ(store->alertCounts().raised, s.raised) << s.at;
    }
    // A machine silent since before the restart has --offline-after from it to report.
    report(*store, "LABPC8", 1000, 5);
    EXPECT_TRUE(engine->evaluate(2120).empty());
    EXPECT_EQ(engine->evaluate(2121).at(0).machine, "LABPC8/1");
}

TEST(Webhook, EachEventOnceInOrderAfterRetries)
{
    std::unique_ptr<Store> store = freshStore("webhook_test.db");
    report(*store, "PC1", 1000, 1);
    report(*store, "PC2", 1000, 1);
    store->setAlerts({{1, "offline"}}, 1100, true);
    store->setAlerts({{1, nullptr}, {2, "stalled"}}, 1200, true);
    EXPECT_TRUE(store->setAlerts({{2, "stalled"}}, 1250, true).empty()); // already open
    report(*store, "PC3", 1000, 1);
    store->setAlerts({{3, "offline"}}, 1300, false); // no webhook then: never sent

    httplib::Server receiver;
    std::mutex mutex;
    std::vector<std::string> accepted;
    std::vector<std::chrono::steady_clock::time_point> tries;
    receiver.Post("/hook", [&](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard<std::mutex> lock(mutex);
        tries.push_back(std::chrono::steady_clock::now());
        res.status = tries.size() <= 3 ? 500 : 204;
        if (res.status == 204 && req.get_header_value("Content-Type") == "application/json") {
            const nlohmann::json body = nlohmann::json::parse(req.body);
            accepted.push_back(body["event"].get<std::string>() + " " + body["alert"]["machine"].get<std::string>() +
                               (body["alert"]["resolved_at"].is_null() ? "" : " at " +
                                body["alert"]["resolved_at"].get<std::string>()));
        }
    });
    const int port = receiver.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { receiver.listen_after_bind(); });

    Counters counters;
    WebhookUrl url;
    std::string error;
    ASSERT_TRUE(parseWebhookUrl("http://127.0.0.1:" + std::to_string(port) + "/hook", url, error)) << error;
    const WebhookTiming quick{std::chrono::milliseconds(50), std::chrono::milliseconds(150),
                              std::chrono::milliseconds(2000), std::chrono::milliseconds(20)};
    for (int run = 0; run < 2; ++run) { // the second as after a restart: nothing is left to send
        Webhook webhook(*store, counters, url, quick);
        std::thread delivering([&] { webhook.run(); });
        const auto give = std::chrono::steady_clock::now() + std::chrono::milliseconds(run == 0 ? 5000 : 150);
        const auto delivered = [&] {
            std::lock_guard<std::mutex> lock(mutex);
            return accepted.size();
        };
        while (std::chrono::steady_clock::now() < give && (run == 1 || delivered() < 3))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        webhook.stop();
        delivering.join();
    }
    receiver.stop();
    serving.join();
    EXPECT_EQ(accepted, (std::vector<std::string>{"raised PC1/1", "resolved PC1/1 at 1970-01-01T00:20:00Z",
                                                  "raised PC2/1"}));
    EXPECT_EQ(counters.webhookFailures, 3);
    ASSERT_EQ(tries.size(), 6u);
    const int waits[] = {50, 100, 150}; // doubled, up to the longest
    for (int i = 0; i < 3; ++i) EXPECT_GE(tries[i + 1] - tries[i], std::chrono::milliseconds(waits[i])) << i;
}

TEST(Webhook, UrlForms)
{
    struct Case {
        const char* text;
        bool ok;
        const char* origin;
        const char* target;
    } cases[] = {
        {"http://hooks.example/a/b?t=1", true, "http://hooks.example:80", "/a/b?t=1"},
        {"https://hooks.example", true, "https://hooks.example:443", "/"},
        {"http://127.0.0.1:8080?t=1", true, "http://127.0.0.1:8080", "/?t=1"},
        {"ftp://hooks.example/", false, "", ""},
        {"http://user:pw@hooks.example/", false, "", ""},
        {"http://hooks.example:70000/", false, "", ""},
    };
    for (const Case& c : cases) {
        WebhookUrl url;
        std::string error;
        ASSERT_EQ(parseWebhookUrl(c.text, url, error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(url.origin() + " " + url.target, std::string(c.origin) + " " + c.target);
        }
    }
}
