// The HTTP layer under the API: limits, caps and the headers every answer
// carries, seen through raw sockets; the sign-in's guards; and the small
// pieces (query text, host names, the throttle) on their own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <zlib.h>

#include "server/support/admin_token.h"
#include "server/support/connection_caps.h"
#include "server/support/log.h"
#include "server/fresh_store.h"
#include "server/loopback_socket.h"
#include "server/http/answer_budget.h"
#include "server/http/host_names.h"
#include "server/http/http_parsing.h"
#include "server/options.h"
#include "server/api/http_api.h"
#include "server/monitor/monitor_listener.h"
#include "server/api/sessions.h"
#include "server/api/sign_in_throttle.h"

using namespace pelmora::server;

namespace {

const char kToken[] = "layer-test-admin-token";

class HttpLayerTest : public testing::Test {
protected:
    void start(HttpSettings settings)
    {
        store = freshStore("http_layer_test.db");
        std::string error;
        fleet = std::make_unique<FleetView>(*store, StatusLimits{});
        api = std::make_unique<HttpApi>(*store, counters, *fleet, std::move(settings));
        ASSERT_TRUE(api->bind({"127.0.0.1", 0}, error)) << error;
        server = std::thread([this] { api->run(); });
    }
    void TearDown() override
    {
        if (!api) return;
        api->stop();
        server.join();
    }
    // The whole answer to RAW, sent at once, and the connection closed by the server.
    std::string ask(const std::string& raw, const char* source = "127.0.0.1")
    {
        const int fd = connectFrom(api->port(), source);
        if (fd < 0) return "no connection";
        ::send(fd, raw.data(), raw.size(), MSG_NOSIGNAL);
        const std::string got = readAll(fd);
        ::close(fd);
        return got;
    }
    static std::string get(const std::string& path, const std::string& headers = "")
    {
        return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + headers + "\r\n";
    }

    Counters counters;
    std::unique_ptr<Store> store;
    std::unique_ptr<FleetView> fleet;
    std::unique_ptr<HttpApi> api;
    std::thread server;
};

std::string statusOf(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }

} // namespace

TEST_F(HttpLayerTest, LimitsAnswerAndCloseAndEveryAnswerSaysNosniff)
{
    start({kToken, "", {}, 30, 1024, 64, {}});
    const std::string post = "POST /signin HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    struct Case {
        std::string raw, status;
    } cases[] = {
        {get("/healthz"), "HTTP/1.1 200 OK"},
        {get("/nowhere"), "HTTP/1.1 404 Not Found"},
        {"GET /" + std::string(8200, 'a') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 414 URI Too Long"},
        {"GET /" + std::string(40000, 'a'), "HTTP/1.1 414 URI Too Long"}, // no end of line yet
        {get("/", "X-Long: " + std::string(8200, 'a') + "\r\n"), "HTTP/1.1 431 Request Header Fields Too Large"},
        {get("/", [] {
             std::string many;
             for (int i = 0; i < 101; ++i) many += "X-" + std::to_string(i) + ": a\r\n";
             return many;
         }()),
         "HTTP/1.1 431 Request Header Fields Too Large"},
        {"GET / HTTP/1.1\r\n" + [] {
             std::string lines;
             for (int i = 0; i < 2000; ++i) lines += "X: abcdefgh\r\n";
             return lines;
         }(),
         "HTTP/1.1 431 Request Header Fields Too Large"}, // short lines without end
        {get("/", [] {
             std::string lines;
             for (int i = 0; i < 90; ++i) lines += "X-" + std::to_string(i) + ": " + std::string(200, 'b') + "\r\n";
             return lines;
         }()),
         "HTTP/1.1 431 Request Header Fields Too Large"}, // 90 lines, 18 KiB in all
        {post + "Content-Length: 17000\r\n\r\n", "HTTP/1.1 413 Payload Too Large"},
        {post + "Transfer-Encoding: chunked\r\n\r\n" + "4000\r\n" + std::string(0x4000, 'a') + "\r\n1\r\nb\r\n",
         "HTTP/1.1 413 Payload Too Large"},
        {post + "Transfer-Encoding: chunked\r\n\r\n1;" + std::string(40000, 'e'), "HTTP/1.1 413 Payload Too Large"},
        {"BREW / HTTP/1.1\r\nConnection: close\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {post + "Transfer-Encoding: xchunked\r\n\r\n", "HTTP/1.1 400 Bad Request"}, // before any token
        {get("/", "X-Folded: a\r\n b\r\n"), "HTTP/1.1 400 Bad Request"}, // a line folded onto the one before
        {get("/", "X-Folded: a\r\n\tb\r\n"), "HTTP/1.1 400 Bad Request"},
        {post + "Connection: close\r\nContent-Length: 6\r\n\r\na=\r\n b", "HTTP/1.1 303 See Other"}, // the body is not a head
        {post + "Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {post + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"\x01\x02 junk\r\n\r\n", "HTTP/1.1 400 Bad Request"},
    };
    for (const Case& c : cases) {
        const std::string answer = ask(c.raw);
        EXPECT_EQ(statusOf(answer), c.status) << c.raw.substr(0, 60);
        EXPECT_NE(answer.find("\r\nX-Content-Type-Options: nosniff\r\n"), std::string::npos) << c.raw.substr(0, 60);
    }
    EXPECT_NE(ask(get("/metrics")).find("X-Content-Type-Options: nosniff"), std::string::npos);
}

TEST_F(HttpLayerTest, KeepAliveAnswersInTurnAndHeadHasNoBody)
{
    start({kToken, "", {}, 30, 1024, 64, {}});
    const std::string answer = ask("GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                                   "HEAD /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" +
                                   get("/healthz"));
    EXPECT_EQ(answer, std::string("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nX-Content-Type-Options: nosniff\r\n"
                                  "Content-Length: 2\r\n\r\nok") +
                          "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nX-Content-Type-Options: nosniff\r\n"
                          "Content-Length: 2\r\n\r\n" +
                          "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nX-Content-Type-Options: nosniff\r\n"
                          "Connection: close\r\nContent-Length: 2\r\n\r\nok");
}

// A gzip answer, inflated; "" when it is not gzip.
std::string gunzip(const std::string& packed)
{
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK) return "";
    std::string out(1 << 20, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
    z.avail_in = static_cast<uInt>(packed.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int status = inflate(&z, Z_FINISH);
    out.resize(z.total_out);
    inflateEnd(&z);
    return status == Z_STREAM_END ? out : "";
}

std::string bodyOf(const std::string& answer) { return answer.substr(answer.find("\r\n\r\n") + 4); }

TEST_F(HttpLayerTest, TextAnswersAreGzipWhenAskedAndHeadKeepsTheLength)
{
    start({kToken, "", {}, 30, 1024, 64, {}});
    store->recordReport(record("PC1"), 1000);
    // Shared pages and files, and a handler's own JSON.
    for (const char* path : {"/", "/signin", "/assets/common.js", "/assets/app.css", "/api/machines/1"}) {
        const std::string plain = ask(get(path)), zipped = ask(get(path, "Accept-Encoding: gzip, br\r\n"));
        const std::string head = ask("HEAD " + get(path, "Accept-Encoding: gzip\r\n").substr(4));
        EXPECT_EQ(plain.find("Content-Encoding"), std::string::npos) << path;
        EXPECT_NE(plain.find("\r\nVary: Accept-Encoding\r\n"), std::string::npos) << path;
        EXPECT_NE(zipped.find("\r\nContent-Encoding: gzip\r\n"), std::string::npos) << path;
        EXPECT_EQ(gunzip(bodyOf(zipped)), bodyOf(plain)) << path;
        const std::string length = "Content-Length: " + std::to_string(bodyOf(zipped).size()) + "\r\n";
        EXPECT_NE(head.find(length), std::string::npos) << path;
        EXPECT_EQ(bodyOf(head), "") << path;
    }
}

std::string headerOf(const std::string& answer, const std::string& name)
{
    const std::size_t at = answer.find("\r\n" + name + ": ");
    return at == std::string::npos ? "" : answer.substr(at + name.size() + 4, answer.find("\r\n", at + 2) - at - name.size() - 4);
}

TEST_F(HttpLayerTest, FilesCarryAContentHashAndAnUnchangedOneIsAnswered304)
{
    start({kToken, "", {}, 30, 1024, 64, {}});
    EXPECT_NE(headerOf(ask(get("/")), "ETag"), headerOf(ask(get("/assets/app.css")), "ETag"));
    for (const char* path : {"/", "/signin", "/assets/app.css"}) {
        const std::string first = ask(get(path)), etag = headerOf(first, "ETag");
        ASSERT_EQ(etag.size(), 34u) << path << first;
        EXPECT_EQ(headerOf(ask(get(path)), "ETag"), etag) << path;
        for (const auto& [ifNoneMatch, status] : std::vector<std::pair<std::string, std::string>>{
                 {etag, "304"}, {"W/" + etag, "304"}, {"\"other\", " + etag, "304"}, {"*", "304"},
                 {"\"other\"", "200"}, {etag.substr(1), "200"}}) {
            const std::string again = ask(get(path, "If-None-Match: " + ifNoneMatch + "\r\n"));
            EXPECT_EQ(statusOf(again).substr(9, 3), status) << path << " " << ifNoneMatch;
            if (status != "304") continue;
            EXPECT_EQ(bodyOf(again), "") << path;
            EXPECT_EQ(headerOf(again, "Content-Length"), "") << path;
            EXPECT_EQ(headerOf(again, "ETag"), etag) << path;
            EXPECT_EQ(headerOf(again, "Content-Security-Policy"), headerOf(first, "Content-Security-Policy")) << path;
        }
    }
}

TEST_F(HttpLayerTest, ConnectionsOverTheCapsGet503)
{
    start({kToken, "", {}, 30, 3, 2, {}}); // 3 in all, 2 from one address
    const std::string refused = "HTTP/1.1 503 Service Unavailable";
    // Connections kept open once answered, so the server has surely counted them.
    const auto held = [&](const char* source) {
        const int fd = connectFrom(api->port(), source);
        const std::string raw = "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        ::send(fd, raw.data(), raw.size(), MSG_NOSIGNAL);
        char status[12] = {};
        ::recv(fd, status, sizeof status, MSG_WAITALL);
        EXPECT_EQ(std::string(status, sizeof status), "HTTP/1.1 200") << source;
        return fd;
    };
    const int first = held("127.0.0.1"), second = held("127.0.0.1");
    // A third from the same address is refused; one from another address still fits.
    EXPECT_EQ(statusOf(ask(get("/healthz"))), refused);
    const int third = held("127.0.0.2");
    // The port is full: a third address, under its share, takes the place
    // of the oldest idle connection of the one holding the most (idle once
    // the server has finished writing its answer: a slow build may still be
    // at it when the status line is read).
    std::string newcomer;
    for (int tries = 0; tries < 100 && (newcomer = statusOf(ask(get("/healthz"), "127.0.0.3"))) != "HTTP/1.1 200 OK";
         ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(newcomer, "HTTP/1.1 200 OK");
    for (int fd : {first, second, third}) ::close(fd);
    // Closed connections give their places back (once the server has seen
    // them close; each ask's own connection lingers there a moment too, so
    // the answer that counts is the one the waiting ends on).
    std::string after;
    for (int tries = 0; tries < 100 && (after = statusOf(ask(get("/healthz")))) != "HTTP/1.1 200 OK"; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(after, "HTTP/1.1 200 OK");
    EXPECT_GE(counters.refusedConnections, 1);
}

TEST_F(HttpLayerTest, OnlyOurOwnHostNames)
{
    start({kToken, "", {}, 30, 1024, 64, {"team.example"}});
    struct Case {
        std::string path, host, status;
    } cases[] = {
        {"/api/machines", "127.0.0.1:8080", "200"},  {"/api/machines", "[::1]:8080", "200"},
        {"/api/machines", "localhost", "200"},       {"/api/machines", "TEAM.example:8080", "200"},
        {"/api/machines", "team.example.", "200"},   {"/api/machines", "evil.example", "421"},
        {"/api/machines", "team.example.evil", "421"}, {"/metrics", "evil.example:80", "421"},
        {"/healthz", "evil.example", "200"}, // the health check and the stats site's path answer any name
    };
    for (const Case& c : cases) {
        const std::string raw = "GET " + c.path + " HTTP/1.1\r\nHost: " + c.host + "\r\nConnection: close\r\n\r\n";
        EXPECT_EQ(statusOf(ask(raw)).substr(9, 3), c.status) << c.path << " " << c.host;
    }
}

TEST_F(HttpLayerTest, SignInTakesTheTokenFromTheBodyAndGoesOnlyToLocalPaths)
{
    start({kToken, "", {}, 30, 1024, 64, {}});
    const auto signIn = [this](const std::string& target, const std::string& body) {
        return ask("POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                   "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\n\r\n" + body);
    };
    EXPECT_EQ(signIn(std::string("/signin?token=") + kToken, "next=/team").find("Set-Cookie"), std::string::npos);
    struct Case {
        std::string next, location;
    } cases[] = {
        {"/team", "/team"},           {"/machines/3?x=1", "/machines/3?x=1"},
        {"//evil.example/", "/"},     {"/%09/evil.example/", "/"}, // a tab, which browsers drop
        {"/%5Cevil.example", "/"},    {"/a%5Cb", "/"},             {"https://evil.example/", "/"},
        {"evil", "/"},                {"/a%0D%0ALocation:%20x", "/"}, {"", "/"},
    };
    for (const Case& c : cases) {
        const std::string answer = signIn("/signin", std::string("token=") + kToken + "&next=" + c.next);
        EXPECT_NE(answer.find("\r\nLocation: " + c.location + "\r\n"), std::string::npos) << c.next << answer;
    }
}

TEST_F(HttpLayerTest, WrongTokensFromOneAddressAreSlowedDown)
{
    start({kToken, "", {}, 30, 1024, 64, {}});
    store->recordReport(record("PC1"), 1000);
    const auto command = [this](const std::string& token, const char* source) {
        const std::string body = R"({"command":"tray"})";
        return statusOf(ask("POST /api/machines/1/commands HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                            "Authorization: Bearer " + token + "\r\nContent-Length: " + std::to_string(body.size()) +
                                "\r\n\r\n" + body,
                            source))
            .substr(9, 3);
    };
    for (int i = 0; i < SignInThrottle::kFreeFailures; ++i) EXPECT_EQ(command("wrong-token", "127.0.0.1"), "401");
    EXPECT_EQ(command("wrong-token", "127.0.0.1"), "429");
    EXPECT_EQ(command(kToken, "127.0.0.1"), "202"); // the right one never waits
    EXPECT_EQ(command("wrong-token", "127.0.0.1"), "429"); // nor clears the wait
    EXPECT_EQ(command("wrong-token", "127.0.0.2"), "401"); // another address has its own
}

TEST(HttpSessions, EndWithAChangeOfTheirToken)
{
    std::unique_ptr<Store> store = freshStore("sessions_test.db");
    Sessions before(*store, "first-admin-token-0123", "viewer-token-0123456");
    const std::optional<SessionRow> admin = before.signIn("first-admin-token-0123", "127.0.0.1", 1000);
    const std::optional<SessionRow> viewer = before.signIn("viewer-token-0123456", "127.0.0.1", 1000);
    ASSERT_TRUE(admin && viewer);
    const auto roleWith = [](Sessions& sessions, const SessionRow& s) {
        HttpRequest req;
        req.headers.emplace_back("Cookie", std::string(kSessionCookie) + "=" + s.id);
        return sessions.identify(req, 1001).role;
    };
    EXPECT_EQ(roleWith(before, *admin), Role::admin);
    Sessions after(*store, "second-admin-token-012", "viewer-token-0123456");
    EXPECT_EQ(roleWith(after, *admin), Role::none);
    EXPECT_EQ(roleWith(after, *viewer), Role::viewer);
    Sessions noViewer(*store, "second-admin-token-012", "");
    EXPECT_EQ(roleWith(noViewer, *viewer), Role::none);
}

TEST(HttpPieces, QueryText)
{
    HttpParams params;
    parseQueryText("a=1&b=x+y%21&c&=v&d=%zz%4&e=%41%42&a=2&&", params);
    const HttpParams expected = {{"a", "1"}, {"a", "2"}, {"b", "x y!"}, {"c", ""},
                                 {"", "v"},  {"d", "%zz%4"}, {"e", "AB"}};
    EXPECT_EQ(params, expected);
    EXPECT_EQ(encodeQueryParam("/a b?c=d&e/\xC3\xA9"), "/a%20b%3Fc%3Dd%26e/%C3%A9");
}

TEST(HttpPieces, AcceptEncodingAllowsGzip)
{
    const std::pair<const char*, bool> cases[] = {
        {"gzip", true},          {"deflate, GZIP;q=0.5", true}, {"x-gzip", true},      {"*", true},
        {"", false},             {"identity", false},           {"gzip;q=0", false},   {"gzip; q=0.000", false},
        {"*, gzip;q=0", false},  {"*;q=0", false},              {"gzipped", false},    {"br, gzip;q=0.001", true},
    };
    for (const auto& [header, accepted] : cases) EXPECT_EQ(acceptsGzip(header), accepted) << header;
}

// The first answer of an address always starts; further ones only within
// its share and the whole; finishing one makes room again.
TEST(HttpPieces, AnswerBudgetPerAddressAndOverall)
{
    AnswerBudget budget(100, 60);
    ASSERT_TRUE(budget.tryStart("a"));
    budget.charge("a", 70);
    EXPECT_FALSE(budget.tryStart("a")); // over its 60
    ASSERT_TRUE(budget.tryStart("b"));
    budget.charge("b", 40);
    EXPECT_FALSE(budget.tryStart("b")); // within its 60, but 110 in all
    ASSERT_TRUE(budget.tryStart("c"));  // nothing of its own under way
    budget.finish("a", 70);
    EXPECT_TRUE(budget.tryStart("b"));
    EXPECT_EQ(budget.writing(), 40u);
}

TEST(HttpPieces, ThrottleWaitsDoublingAfterTheFreeFailures)
{
    SignInThrottle throttle;
    const auto t0 = SignInThrottle::Clock::now();
    const auto at = [&](int ms) { return t0 + std::chrono::milliseconds(ms); };
    for (int i = 0; i < SignInThrottle::kFreeFailures; ++i) {
        EXPECT_EQ(throttle.waitFor("a", at(0)), 0);
        throttle.failed("a", at(0));
    }
    EXPECT_EQ(throttle.waitFor("a", at(0)), 1);
    EXPECT_EQ(throttle.waitFor("a", at(999)), 1);
    EXPECT_EQ(throttle.waitFor("a", at(1000)), 0);
    EXPECT_EQ(throttle.waitFor("b", at(0)), 0);
    throttle.failed("a", at(1000));
    EXPECT_EQ(throttle.waitFor("a", at(1000)), 2);
    for (int i = 0; i < 20; ++i) throttle.failed("a", at(1000));
    EXPECT_EQ(throttle.waitFor("a", at(1000)), 60);
    EXPECT_EQ(throttle.waitFor("a", at(1000 + 15 * 60000)), 0); // quiet long enough: forgotten
    EXPECT_EQ(throttle.waitFor("a", at(1000)), 0);
    // Past its cap the throttle forgets the address whose last failure is oldest.
    for (int i = 0; i < SignInThrottle::kFreeFailures; ++i) throttle.failed("old", at(0));
    for (std::size_t i = 1; i < SignInThrottle::kMostAddresses; ++i) throttle.failed(std::to_string(i), at(5));
    EXPECT_EQ(throttle.waitFor("old", at(10)), 1);
    throttle.failed("new", at(5));
    EXPECT_EQ(throttle.waitFor("old", at(10)), 0);
}

TEST(HttpPieces, TokensUnder16CharactersAreRefused)
{
    for (const auto& [text, ok] : std::vector<std::pair<std::string, bool>>{
             {"0123456789abcde\n", false}, {"  0123456789abcdef  \n", true}, {"\n", false}}) {
        const std::string path = ::testing::TempDir() + "pelmora-token-" + std::to_string(getpid());
        FILE* f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(text.c_str(), f);
        std::fclose(f);
        std::string token, error;
        EXPECT_EQ(readToken(path, token, error), ok) << text;
        EXPECT_EQ(error.empty(), ok);
        std::remove(path.c_str());
    }
}

TEST(ConnectionCaps, AFullPortGivesAnAddressUnderItsShareTheBiggestHoldersOldestIdlePlace)
{
    struct Case { // HELD in this order, all idle unless BUSY; CLOSED: "-" when refused
        int overall, perAddress; std::vector<std::pair<std::string, int>> held; bool busy; std::string newcomer, closed;
    } cases[] = {
        {4, 4, {{"a", 3}}, false, "b", ""},               // room left
        {4, 4, {{"a", 4}}, false, "b", "a"},              // full: b's share is 2
        {4, 4, {{"a", 4}}, true, "b", "-"},               // nothing idle to close
        {4, 4, {{"a", 3}, {"b", 1}}, false, "b", "a"},    // b under its share of 2
        {4, 4, {{"a", 2}, {"b", 2}}, false, "b", "-"},    // b holds its share
        {6, 6, {{"a", 3}, {"b", 3}}, false, "c", "a"},    // equals: the one idle longest
        {6, 6, {{"a", 2}, {"b", 4}}, false, "c", "b"},    // the biggest holder
        {3, 3, {{"a", 1}, {"b", 1}, {"c", 1}}, false, "d", "-"}, // a share of 0
        {4, 2, {{"a", 2}, {"b", 2}}, false, "a", "-"},    // its own cap first
    };
    for (const Case& c : cases) {
        ConnectionCaps caps(c.overall, c.perAddress);
        std::string closed;
        std::vector<ConnectionCaps::Id> ids;
        for (const auto& [address, count] : c.held)
            for (int i = 0; i < count; ++i) {
                ids.push_back(caps.admit(address));
                if (!c.busy) caps.idle(ids.back(), [&closed, who = address] { closed += who; });
            }
        const ConnectionCaps::Id id = caps.admit(c.newcomer);
        EXPECT_EQ(id ? closed : "-", c.closed) << c.newcomer << " after " << c.held.size();
        ids.push_back(id);
        for (ConnectionCaps::Id each : ids) caps.release(each); // the closed one's place went to the newcomer
        EXPECT_EQ(caps.open(), 0) << c.newcomer;
    }
}

TEST(ServerLog, RepeatsWaitAMinuteAndEachClassSharesABudget)
{
    RepeatLimiter limiter;
    const std::string moved = "address changed", refused = "record refused: pinned";
    struct Step { // NOTE null: left out
        const std::string& kind; std::string subject; Repeat what; long long ms; const char* note; std::string summary;
    } steps[] = {
        {moved, "a", Repeat::noise, 0, "", ""},
        {moved, "a", Repeat::noise, 10, nullptr, ""}, // within its minute
        {moved, "b", Repeat::noise, 20, "", ""},
        {moved, "c", Repeat::noise, 30, nullptr, ""},  // the budget spent
        {moved, "t", Repeat::trace, 40, "", ""},       // the trace's own budget
        {moved, "t", Repeat::trace, 50, nullptr, ""},
        {moved, "u", Repeat::trace, 60, nullptr, ""},  // its budget spent: counted by kind
        {refused, "v", Repeat::trace, 70, nullptr, ""},
        {moved, "w", Repeat::trace, 80, nullptr, ""},
        {moved, "c", Repeat::noise, 600, " (and 1 more like it left out)", ""}, // the budget back
        {moved, "u", Repeat::trace, 1100, "", "3 lines of the address trace left out over the log's budget in the "
                                            "last 2 s: 2 address changed, 1 record refused: pinned"},
        {moved, "v", Repeat::trace, 2100, "", ""}, // nothing left out since
        {moved, "x", Repeat::trace, 2200, nullptr, ""},
        {moved, "x", Repeat::trace, 3300, "", ""}, // a summary at most every 10 s
        {moved, "y", Repeat::trace, 11100, "", "1 line of the address trace left out over the log's budget in the "
                                             "last 9 s: 1 address changed"},
        {moved, "a", Repeat::noise, 60010, " (and 1 more like it left out)", ""},
        {moved, "t", Repeat::trace, 60040, " (and 1 more like it left out)", ""},
    };
    for (const Step& s : steps) {
        std::string note = "unset", summary = "unset";
        EXPECT_EQ(limiter.pass(s.kind, s.subject, s.what, s.ms, note, summary), s.note != nullptr)
            << s.subject << " at " << s.ms;
        if (s.note) {
            EXPECT_EQ(note, s.note) << s.subject << " at " << s.ms;
            EXPECT_EQ(summary, s.summary) << s.subject << " at " << s.ms;
        }
    }
}

// A unit stored, a machine added: each its own event, so no subject's
// minute holds them back, but a budget of their own does (not the noise's).
TEST(ServerLog, AcceptedInputHasABudgetOfItsOwnSummedUpOnceSpent)
{
    RepeatLimiter limiter;
    std::string note, summary;
    int passed = 0;
    for (int i = 0; i < 30; ++i)
        passed += limiter.pass(i % 3 ? "unit" : "new machine", "", Repeat::accepted, 0, note, summary);
    EXPECT_EQ(passed, static_cast<int>(RepeatLimiter::kAcceptedBurst));
    EXPECT_TRUE(limiter.pass("unit refused", "a", Repeat::noise, 0, note, summary));
    ASSERT_TRUE(limiter.pass("stop", "", Repeat::accepted, 500, note, summary)); // a line back every 0.5 s
    EXPECT_EQ(summary, "10 lines of the units and machines taken left out over the log's budget in the last 1 s: "
                       "3 new machine, 7 unit");
    EXPECT_FALSE(limiter.pass("stop", "", Repeat::accepted, 600, note, summary));
}

TEST(MonitorCaps, OverACapTheConnectionClosesAtOnce)
{
    std::unique_ptr<Store> store = freshStore("monitor_caps_test.db");
    std::string error;
    Counters counters;
    MonitorListener listener(*store, counters, 2, 1);
    ASSERT_TRUE(listener.bind({"127.0.0.1", 0}, error)) << error;
    std::thread run([&] { listener.run(); });
    const auto firstByte = [&](const char* source, int& fd) {
        fd = connectFrom(listener.port(), source);
        char byte = 0;
        return ::recv(fd, &byte, 1, 0);
    };
    int a = -1, b = -1, c = -1, d = -1;
    EXPECT_EQ(firstByte("127.0.0.1", a), 1); // the slot byte
    EXPECT_EQ(firstByte("127.0.0.1", b), 0); // one from each address
    EXPECT_EQ(firstByte("127.0.0.2", c), 1);
    EXPECT_EQ(firstByte("127.0.0.3", d), 0); // two in all
    for (int fd : {a, b, c, d}) ::close(fd);
    listener.stop();
    run.join();
    EXPECT_EQ(counters.refusedConnections, 2);
}

TEST(HttpOptions, PerAddressCapAndPublicHosts)
{
    const char* argv[] = {"pelmora-server", "--max-connections-per-address", "3", "--public-host", "a.example",
                          "--public-host", "b.example"};
    ServerOptions options;
    std::string message;
    ASSERT_EQ(parseOptions(7, argv, options, message), -1) << message;
    EXPECT_EQ(options.maxConnectionsPerAddress, 3);
    EXPECT_EQ(options.publicHosts, (std::vector<std::string>{"a.example", "b.example"}));
    const char* zero[] = {"pelmora-server", "--max-connections-per-address", "0"};
    EXPECT_EQ(parseOptions(3, zero, options, message), 2);
}

TEST(HttpOptions, StoreSizeTakesAUnit)
{
    struct Case {
        const char* size;
        int status; // -1: taken
        long long bytes;
    } cases[] = {
        {"500M", -1, 500LL << 20}, {"4G", -1, 4LL << 30}, {"4GiB", -1, 4LL << 30}, {"2097152", -1, 2097152},
        {"1K", 2, 0},              {"lots", 2, 0},        {"-4G", 2, 0},
    };
    for (const Case& c : cases) {
        const char* argv[] = {"pelmora-server", "--max-store-size", c.size};
        ServerOptions options;
        std::string message;
        EXPECT_EQ(parseOptions(3, argv, options, message), c.status) << c.size << ": " << message;
        if (c.status < 0) {
            EXPECT_EQ(options.fleet.maxStoreBytes, c.bytes) << c.size;
        }
    }
    EXPECT_EQ(ServerOptions().fleet.maxStoreBytes, 4LL << 30);
}
