// Alerts raised and resolved as a machine's status moves (the clock given
// to each look), across a restart; the webhook against loopback receivers
// that fail, stall, flood or redirect, and a burst of events.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "server/fleet/alerts.h"
#include "server/fresh_store.h"
#include "server/fleet/webhook.h"
#include "support/loopback_peer.h"

using namespace pelmora;
using namespace pelmora::server;

namespace {
void report(Store& store, const std::string& name, long long at, int progress, bool exiting = false)
{
    store.recordReport(record(name, progress, exiting), at);
}
class Alerts : public testing::TestWithParam<StoreKind> {};
} // namespace

INSTANTIATE_TEST_SUITE_P(Stores, Alerts, kStoreKinds, storeKindName);

TEST_P(Alerts, FollowTheStatusOnceEachAcrossARestart)
{
    const std::string path = "alerts_test.db";
    std::unique_ptr<Store> store = GetParam().open(path, true);
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
            store = GetParam().open(path, false);
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
    // Its changes of status, each at its own time (not the look's), none twice across the restart.
    std::string changes;
    for (const StatusEvent& e : store->statusEvents(1, 50)) changes = e.status + "@" + std::to_string(e.at) + " " + changes;
    EXPECT_EQ(changes, "folding@1000 offline@1100 folding@1110 stalled@1410 offline@1511 stalled@1650 stopped@1660 "
                       "folding@1910 offline@2010 folding@2040 ");
    // A machine silent since before the restart has --offline-after from it to report.
    report(*store, "LABPC8", 1000, 5);
    EXPECT_TRUE(engine->evaluate(2120).empty());
    EXPECT_EQ(engine->evaluate(2121).at(0).machine, "LABPC8/1");
}

// A mute raises nothing while it lasts, whichever server looks; what still
// holds at its end is raised then; an alert already open resolves as ever.
TEST_P(Alerts, AMutedMachineRaisesNothingUntilItsMuteEnds)
{
    const std::string path = "alerts_mute_test.db";
    std::unique_ptr<Store> store = GetParam().open(path, true);
    auto engine = std::make_unique<AlertEngine>(*store, StatusLimits{100, 300}, 0, false);
    enum { none = -1, restart = -2 };
    struct Step {
        long long at;
        int progress;        // a report with it, none, or restart (at AT)
        long long muteUntil; // then muted until it (0: unmuted), or none
        const char* open;    // after a look at AT
    } steps[] = {
        {1000, 10, none, ""},   {1050, none, 1600, ""},         {1101, none, none, ""},
        {1500, restart, none, ""}, {1599, none, none, ""},      {1600, none, none, "offline"},
        {1610, 11, none, ""},   {1620, none, 2000, ""},         {1711, none, none, ""},
        {1720, none, 0, "offline"}, {1730, none, 3000, "offline"}, {1740, 12, none, ""},
    };
    for (const Step& s : steps) {
        if (s.progress == restart) {
            engine.reset();
            store.reset();
            store = GetParam().open(path, false);
            engine = std::make_unique<AlertEngine>(*store, StatusLimits{100, 300}, 0, false);
        } else if (s.progress != none) {
            report(*store, "LABPC7", s.at, s.progress);
        }
        const long long id = store->machines().at(0).id;
        if (s.muteUntil != none) {
            ASSERT_TRUE(store->muteMachine(id, s.muteUntil));
        }
        engine->evaluate(s.at);
        const std::vector<AlertRow> open = store->alerts({true, 0, -1});
        EXPECT_EQ(open.empty() ? "" : open.at(0).kind, s.open) << s.at;
    }
    EXPECT_FALSE(store->muteMachine(999, 2000));
}

namespace {
// The JSON body of a request the peer read: head, then Content-Length bytes.
std::string readBody(PeerConnection& c, std::string* head = nullptr)
{
    std::string text = c.receiveRequestHead();
    const std::size_t end = text.find("\r\n\r\n");
    if (end == std::string::npos) return {};
    std::size_t length = 0;
    const std::size_t at = text.find("Content-Length: ");
    if (at != std::string::npos) length = std::stoul(text.substr(at + 16));
    std::string body = text.substr(end + 4);
    if (body.size() < length) body += c.receiveExactly(length - body.size());
    if (head) *head = text.substr(0, end);
    return body;
}

WebhookUrl urlOf(int port)
{
    WebhookUrl url;
    std::string error;
    parseWebhookUrl("http://127.0.0.1:" + std::to_string(port) + "/hook", url, error);
    return url;
}

// Runs a webhook until DONE holds or SECONDS pass.
void deliver(Store& store, Counters& counters, int port, const WebhookTiming& timing, const std::function<bool()>& done,
             int seconds = 5)
{
    Webhook webhook(store, counters, urlOf(port), timing);
    std::thread delivering([&] { webhook.run(); });
    const auto give = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < give && !done()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    webhook.stop();
    delivering.join();
}
} // namespace

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

    std::mutex mutex;
    std::vector<std::string> accepted;
    std::vector<std::chrono::steady_clock::time_point> tries;
    LoopbackServer receiver(0, [&](PeerConnection& c) {
        std::string head;
        const std::string text = readBody(c, &head);
        std::lock_guard<std::mutex> lock(mutex);
        tries.push_back(std::chrono::steady_clock::now());
        if (tries.size() <= 3) {
            c.send("HTTP/1.1 500 No\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            return;
        }
        c.send("HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
        const nlohmann::json body = nlohmann::json::parse(text, nullptr, false);
        if (head.find("Content-Type: application/json") != std::string::npos && !body.is_discarded())
            accepted.push_back(body["event"].get<std::string>() + " " + body["alert"]["machine"].get<std::string>() +
                               (body["alert"]["resolved_at"].is_null() ? "" : " at " +
                                body["alert"]["resolved_at"].get<std::string>()));
    });
    Counters counters;
    const WebhookTiming quick{std::chrono::milliseconds(50), std::chrono::milliseconds(150),
                              std::chrono::milliseconds(2000), std::chrono::milliseconds(20)};
    // Taken by the receiver and marked so: a stop while an answer is still
    // on its way leaves the post to go again, as it must.
    const auto delivered = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return accepted.size() >= 3 && store->pendingAlertEvents(1).empty();
    };
    deliver(*store, counters, receiver.port(), quick, delivered);
    // As after a restart: nothing is left to send.
    deliver(*store, counters, receiver.port(), quick, [] { return false; }, 1);
    receiver.stop();
    EXPECT_EQ(accepted, (std::vector<std::string>{"raised PC1/1", "resolved PC1/1 at 1970-01-01T00:20:00Z",
                                                  "raised PC2/1"}));
    EXPECT_EQ(counters.webhookFailures, 3);
    ASSERT_EQ(tries.size(), 6u);
    const int waits[] = {50, 100, 150}; // doubled, up to the longest
    for (int i = 0; i < 3; ++i) EXPECT_GE(tries[i + 1] - tries[i], std::chrono::milliseconds(waits[i])) << i;
}

// Receivers that answer without end, inflate, drip or redirect: each try
// ends within the deadline, reads a few KiB at most, and fails or succeeds
// on the status alone.
TEST(Webhook, HostileReceiversCostOneDeadlineAtMost)
{
    const std::string endless(64 * 1024, 'x');
    struct Case {
        const char* name;
        std::function<void(PeerConnection&)> answer;
        bool delivered, timedOut;
    } cases[] = {
        {"an endless 200 body",
         [&](PeerConnection& c) {
             c.send("HTTP/1.1 200 OK\r\nContent-Length: 1000000000000\r\n\r\n");
             for (int i = 0; i < 20000 && c.send(endless);) ++i;
         },
         true, false},
        {"a gzip body that would inflate",
         [&](PeerConnection& c) {
             c.send("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n");
             for (int i = 0; i < 20000 && c.send("10000\r\n" + endless + "\r\n");) ++i;
         },
         true, false},
        {"a head dripped a byte every 200 ms", [](PeerConnection& c) { c.send("HTTP/1.1 200 OK\r\n\r\n", 200); },
         false, true},
        {"header lines without end",
         [&](PeerConnection& c) {
             c.send("HTTP/1.1 200 OK\r\n");
             for (int i = 0; i < 20000 && c.send("X-Filler: " + std::string(1000, 'y') + "\r\n");) ++i;
         },
         false, false},
        {"a redirect", [](PeerConnection& c) { c.send("HTTP/1.1 307 Moved\r\nLocation: /hook2\r\nContent-Length: 0\r\n\r\n"); },
         false, false},
        {"an answer that never comes", [](PeerConnection& c) { c.goneWithin(5000); }, false, true},
    };
    for (const Case& k : cases) {
        std::unique_ptr<Store> store = freshStore("webhook_hostile.db");
        report(*store, "@everyone <!channel>", 1000, 1);
        store->setAlerts({{1, "offline"}}, 1100, true);
        std::string head, body;
        LoopbackServer receiver(0, [&](PeerConnection& c) {
            body = readBody(c, &head);
            k.answer(c);
        });
        Counters counters;
        WebhookTiming timing;
        timing.timeout = std::chrono::milliseconds(1000);
        timing.firstRetry = std::chrono::seconds(30); // one try only
        const auto start = std::chrono::steady_clock::now();
        deliver(*store, counters, receiver.port(), timing,
                [&] { return counters.webhookFailures > 0 || store->pendingAlertEvents(1).empty(); });
        const auto took = std::chrono::steady_clock::now() - start;
        receiver.stop();
        EXPECT_EQ(store->pendingAlertEvents(1).empty(), k.delivered) << k.name;
        EXPECT_EQ(counters.webhookTimeouts, k.timedOut ? 1 : 0) << k.name;
        EXPECT_LT(took, std::chrono::milliseconds(2500)) << k.name;
        EXPECT_EQ(receiver.connections(), 1) << k.name;
        EXPECT_EQ(head.find("Accept-Encoding"), std::string::npos) << k.name;
        EXPECT_NE(body.find("\"@\u200beveryone <\u200b!channel>/1\""), std::string::npos) << k.name << body;
    }
}

// More events than the burst allows go as one summary; the posts of a
// minute never pass the burst.
TEST(Webhook, ABurstGoesAsOneSummary)
{
    std::unique_ptr<Store> store = freshStore("webhook_burst.db");
    for (int i = 1; i <= 30; ++i) report(*store, "PC" + std::to_string(i), 1000, 1);
    std::mutex mutex;
    std::vector<std::string> posts;
    std::vector<std::chrono::steady_clock::time_point> times;
    LoopbackServer receiver(0, [&](PeerConnection& c) {
        const nlohmann::json body = nlohmann::json::parse(readBody(c), nullptr, false);
        c.send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
        std::lock_guard<std::mutex> lock(mutex);
        times.push_back(std::chrono::steady_clock::now());
        posts.push_back(body.is_discarded() ? "?"
                        : body["event"] == "summary"
                            ? "summary " + body["raised"].dump() + "+" + body["resolved"].dump() + " listing " +
                                  std::to_string(body["events"].size()) + " more " + body["more"].dump()
                            : body["event"].get<std::string>() + " " + body["alert"]["machine"].get<std::string>());
    });
    const auto count = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return posts.size();
    };
    Counters counters;
    WebhookTiming timing;
    timing.burst = 3;
    timing.window = std::chrono::milliseconds(1500);
    timing.idle = std::chrono::milliseconds(20);
    Webhook webhook(*store, counters, urlOf(receiver.port()), timing);
    std::thread delivering([&] { webhook.run(); });
    const auto waitFor = [&](std::size_t n) {
        for (int i = 0; i < 500 && count() < n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    };
    store->setAlerts({{1, "offline"}, {2, "offline"}}, 1100, true);
    waitFor(2);
    std::vector<AlertWanted> many;
    for (int i = 3; i <= 30; ++i) many.push_back({i, "stalled"});
    many.push_back({1, nullptr});
    store->setAlerts(many, 1200, true);
    waitFor(3);
    store->setAlerts({{2, nullptr}}, 1300, true);
    waitFor(4);
    // The receiver notes a post before it answers; the webhook marks it once answered.
    for (int i = 0; i < 500 && !store->pendingAlertEvents(10).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    webhook.stop();
    delivering.join();
    receiver.stop();
    EXPECT_EQ(posts, (std::vector<std::string>{"raised PC1/1", "raised PC2/1", "summary 28+1 listing 20 more 9",
                                               "resolved PC2/1"}));
    EXPECT_EQ(counters.webhookSummaries, 1);
    ASSERT_EQ(times.size(), 4u);
    // The receiver notes each post once its body is read, a little after it
    // was sent, so the first can be noted a few milliseconds late; without
    // the window the last would come within tens of milliseconds.
    EXPECT_GE(times[3] - times[0], timing.window - std::chrono::milliseconds(100));
    EXPECT_TRUE(store->pendingAlertEvents(10).empty());
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
