// Behind a load balancer: the PROXY protocol header and X-Forwarded-For
// read on their own, then through the real listeners on loopback sockets,
// trusted (127.0.0.1) and not (127.0.0.2).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "server/api/http_api.h"
#include "server/api/sign_in_throttle.h"
#include "server/fresh_store.h"
#include "server/loopback_socket.h"
#include "server/http/forwarded_for.h"
#include "server/monitor/monitor_listener.h"
#include "server/monitor/proxy_header.h"
#include "server/options.h"
#include "server/support/ip_address.h"
#include "support/monitor_exchange.h"

using namespace pelmora::server;
using State = ProxyHeader::State;

namespace {

const std::string kSignature("\r\n\r\n\0\r\nQUIT\n", 12);

// A version 2 header: version and command, family, the length it claims, then BODY.
std::string binary(int versionCommand, int family, std::size_t claimed, const std::string& body)
{
    return kSignature + char(versionCommand) + char(family) + char(claimed >> 8) + char(claimed & 0xff) + body;
}
std::string bytesOf(int family, const char* address)
{
    unsigned char out[16] = {};
    inet_pton(family, address, out);
    return std::string(reinterpret_cast<char*>(out), family == AF_INET ? 4 : 16);
}
const std::string kPorts("\x12\x34\x00\x50", 4);
const std::string kV4 = bytesOf(AF_INET, "192.0.2.7") + bytesOf(AF_INET, "10.0.0.1") + kPorts;
const std::string kV6 = bytesOf(AF_INET6, "2001:db8::7") + bytesOf(AF_INET6, "2001:db8::1") + kPorts;

TrustedProxies trusting(std::initializer_list<const char*> texts)
{
    TrustedProxies proxies;
    for (const char* text : texts) proxies.add(*TrustedProxies::parse(text));
    return proxies;
}

} // namespace

TEST(ProxyHeader, BothVersionsReadToTheirEndAndNoFurther)
{
    const std::string v1 = "PROXY TCP4 192.0.2.7 10.0.0.1 4660 80\r\n";
    struct Case {
        const char* name;
        std::string bytes;
        State state;
        std::string source;
        std::size_t length;
    } cases[] = {
        {"v1 TCP4, the record after", v1 + "0 PC1", State::done, "192.0.2.7", v1.size()},
        {"v1 TCP6", "PROXY TCP6 2001:db8::7 2001:db8::1 1 2\r\n", State::done, "2001:db8::7", 40},
        {"v1 TCP6 mapped IPv4", "PROXY TCP6 ::ffff:192.0.2.9 ::1 1 2\r\n", State::done, "192.0.2.9", 37},
        {"v1 UNKNOWN", "PROXY UNKNOWN\r\n", State::done, "", 15},
        {"v1 UNKNOWN with addresses", "PROXY UNKNOWN 1.2.3.4 5.6.7.8 1 2\r\n", State::done, "", 35},
        {"v1 cut", v1.substr(0, 25), State::incomplete, "", 0},
        {"v1 start cut", "PROX", State::incomplete, "", 0},
        {"v1 no end in 107 bytes", "PROXY UNKNOWN " + std::string(93, 'x'), State::invalid, "", 0},
        {"v1 TCP4 with IPv6", "PROXY TCP4 2001:db8::7 10.0.0.1 1 2\r\n", State::invalid, "", 0},
        {"v1 port over 65535", "PROXY TCP4 192.0.2.7 10.0.0.1 65536 80\r\n", State::invalid, "", 0},
        {"v1 port with a zero first", "PROXY TCP4 192.0.2.7 10.0.0.1 080 80\r\n", State::invalid, "", 0},
        {"v1 two spaces", "PROXY TCP4  192.0.2.7 10.0.0.1 1 80\r\n", State::invalid, "", 0},
        {"v1 a field short", "PROXY TCP4 192.0.2.7 10.0.0.1 1\r\n", State::invalid, "", 0},
        {"v1 NUL in an address", std::string("PROXY TCP4 192.0.2.7\0 10.0.0.1 1 2\r\n", 37), State::invalid, "", 0},
        {"v1 other protocol", "PROXY UDP4 192.0.2.7 10.0.0.1 1 2\r\n", State::invalid, "", 0},
        {"v2 TCP4", binary(0x21, 0x11, 12, kV4) + "0 PC1", State::done, "192.0.2.7", 28},
        {"v2 TCP6", binary(0x21, 0x21, 36, kV6), State::done, "2001:db8::7", 52},
        {"v2 TCP4 with TLVs", binary(0x21, 0x11, 19, kV4 + std::string("\x04\x00\x04" "abcd", 7)), State::done, "192.0.2.7", 35},
        {"v2 LOCAL", binary(0x20, 0x00, 0, ""), State::done, "", 16},
        {"v2 UNSPEC", binary(0x21, 0x00, 0, ""), State::done, "", 16},
        {"v2 signature cut", kSignature.substr(0, 9), State::incomplete, "", 0},
        {"v2 addresses cut", binary(0x21, 0x11, 12, kV4.substr(0, 11)), State::incomplete, "", 0},
        {"v2 version 1", binary(0x11, 0x11, 12, kV4), State::invalid, "", 0},
        {"v2 command 2", binary(0x22, 0x11, 12, kV4), State::invalid, "", 0},
        {"v2 over 536 bytes", binary(0x21, 0x11, 600, kV4), State::invalid, "", 0},
        {"v2 shorter than its addresses", binary(0x21, 0x21, 12, kV4), State::invalid, "", 0},
        {"v2 UDP", binary(0x21, 0x12, 12, kV4), State::invalid, "", 0},
        {"bad signature", "\r\n\r\n\0\r\nQUIX\n" + std::string(20, 'x'), State::invalid, "", 0},
        {"a record", "0 PC1 1 2 10 p1_R1_C2_G3", State::invalid, "", 0},
    };
    for (const Case& c : cases) {
        const ProxyHeader h = parseProxyHeader(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(h.state, c.state) << c.name << ": " << h.reason;
        EXPECT_EQ(h.source, c.source) << c.name;
        EXPECT_EQ(h.length, c.state == State::done ? c.length : 0) << c.name;
    }
}

TEST(ForwardedFor, ReadFromTheRightPastTrustedProxies)
{
    const TrustedProxies trusted = trusting({"127.0.0.1", "10.0.0.0/8"});
    struct Case {
        const char* peer;
        std::vector<std::string> values;
        std::string client;
        bool unreadable;
    } cases[] = {
        {"127.0.0.2", {"192.0.2.1"}, "127.0.0.2", false}, // not trusted: its own word
        {"127.0.0.1", {}, "127.0.0.1", false},
        {"127.0.0.1", {"192.0.2.1"}, "192.0.2.1", false},
        {"127.0.0.1", {"6.6.6.6, 192.0.2.1"}, "192.0.2.1", false}, // what the client wrote itself
        {"127.0.0.1", {"192.0.2.1, 10.1.2.3"}, "192.0.2.1", false}, // a trusted hop passed it on
        {"127.0.0.1", {"6.6.6.6", "192.0.2.1"}, "192.0.2.1", false}, // two headers: one list in order
        {"127.0.0.1", {"192.0.2.1", "10.0.0.5"}, "192.0.2.1", false},
        {"127.0.0.1", {"10.0.0.5 ,10.0.0.6"}, "10.0.0.5", false}, // all trusted: the first
        {"127.0.0.1", {" 2001:db8::1 "}, "2001:db8::1", false},
        {"127.0.0.1", {"::ffff:192.0.2.1"}, "192.0.2.1", false},
        {"127.0.0.1", {"192.0.2.1,, "}, "192.0.2.1", false},
        {"127.0.0.1", {"junk, 10.0.0.5"}, "127.0.0.1", true},
        {"127.0.0.1", {"192.0.2.1, junk"}, "127.0.0.1", true},
        {"127.0.0.1", {"192.0.2.1:8080"}, "127.0.0.1", true},
        {"127.0.0.1", {"unknown"}, "127.0.0.1", true},
    };
    for (const Case& c : cases) {
        const ForwardedClient client = forwardedClient(c.peer, c.values, trusted);
        EXPECT_EQ(client.address, c.client) << c.peer << " " << testing::PrintToString(c.values);
        EXPECT_EQ(client.unreadable, c.unreadable) << testing::PrintToString(c.values);
    }
}

TEST(ForwardedFor, TheOptionTakesAddressesAndNetworksOnly)
{
    struct Case {
        const char* text;
        int status; // -1: taken
    } cases[] = {{"192.0.2.7", -1},   {"192.0.2.0/24", -1},   {"2001:db8::/32", -1}, {"::1", -1},
                 {"10.0.0.0/33", 2},  {"2001:db8::/129", 2},  {"192.0.2", 2},       {"proxy.example", 2},
                 {"10.0.0.0/", 2},    {"", 2}};
    for (const Case& c : cases) {
        const char* argv[] = {"pelmora-server", "--trusted-proxy", "127.0.0.1", "--trusted-proxy", c.text};
        ServerOptions options;
        std::string message;
        EXPECT_EQ(parseOptions(5, argv, options, message), c.status) << c.text << ": " << message;
        EXPECT_TRUE(c.status > 0 || options.trustedProxies.trusts("127.0.0.1")) << c.text;
    }
    EXPECT_FALSE(trusting({"192.0.2.7"}).trusts("192.0.2.8")); // a bare address is itself alone
}

// What every per-address bound counts an address under: an IPv6 client
// by its /64, whatever its low bits; an IPv4 one, mapped or not, itself.
TEST(AddressKey, IPv6ByItsSlash64IPv4ByItself)
{
    const std::pair<const char*, const char*> cases[] = {
        {"192.0.2.7", "192.0.2.7"},
        {"::ffff:192.0.2.7", "192.0.2.7"},
        {"2001:db8:1:2::1", "2001:db8:1:2::/64"},
        {"2001:db8:1:2:ffff:ffff:ffff:ffff", "2001:db8:1:2::/64"},
        {"2001:DB8:1:2:0:0:0:9", "2001:db8:1:2::/64"},
        {"2001:db8:1:3::1", "2001:db8:1:3::/64"},
        {"::1", "::/64"},
        {"not an address", "not an address"},
    };
    for (const auto& [address, key] : cases) EXPECT_EQ(addressKey(address), key) << address;
}

// One address a connection, 5 in all; 127.0.0.1 is the trusted proxy;
// pinned addresses, so a record's address decides whether it is taken.
TEST(ProxiedMonitors, TheHeadersAddressIsTheMonitorsForEveryBound)
{
    std::unique_ptr<Store> store = freshStore("proxied_monitors_test.db");
    FleetLimits limits;
    limits.pinAddresses = true;
    FleetBounds bounds(limits);
    Counters counters;
    MonitorListener listener(*store, counters, 5, 1, &bounds, trusting({"127.0.0.1"}));
    std::string error;
    ASSERT_TRUE(listener.bind({"127.0.0.1", 0}, error)) << error;
    std::thread run([&] { listener.run(); });
    const auto line = [](const char* address) { return std::string("PROXY TCP4 ") + address + " 10.0.0.1 1 2\r\n"; };
    // The first byte it gets after sending HEAD: 1 (the slot), 0 (closed).
    const auto opened = [&](const char* source, const std::string& head, int& fd) {
        fd = connectFrom(listener.port(), source);
        ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
        char slot = 0;
        return ::recv(fd, &slot, 1, 0);
    };
    const auto exchange = [&](const std::string& head, const char* name) {
        int fd = -1;
        if (opened("127.0.0.1", head, fd) != 1) return -1;
        char record[768] = {};
        pelmora::MonitorRecordFields fields;
        fields.computerName = name;
        const std::string text = pelmora::monitorRecordText(0, fields);
        text.copy(record, sizeof record - 1);
        ::send(fd, record, sizeof record, MSG_NOSIGNAL);
        char command = 0;
        const ssize_t got = ::recv(fd, &command, 1, 0);
        ::close(fd);
        return got == 1 ? int(command) : -1;
    };
    int a = -1, b = -1, c = -1, d = -1, e = -1;
    const int f = connectFrom(listener.port(), "127.0.0.1"); // the proxy's header still to come
    EXPECT_EQ(opened("127.0.0.1", line("192.0.2.7"), a), 1);
    EXPECT_EQ(opened("127.0.0.1", line("192.0.2.7"), b), 0); // 192.0.2.7 holds its one
    EXPECT_EQ(opened("127.0.0.1", line("192.0.2.8"), c), 1); // the proxy itself holds two
    EXPECT_EQ(opened("127.0.0.2", line("192.0.2.9"), d), 1); // not trusted: a slot byte at once,
    char none = 0;
    EXPECT_LE(::recv(d, &none, 1, 0), 0); // closed for its header
    EXPECT_EQ(opened("127.0.0.1", "0 PC1 1 2", e), 0); // the proxy's header is not optional
    for (int fd : {a, b, c, d, e, f}) ::close(fd);
    EXPECT_EQ(counters.refusedConnections, 1);
    EXPECT_EQ(counters.proxyHeadersRefused, 2);

    EXPECT_EQ(exchange(line("192.0.2.7"), "PC1"), 0);
    EXPECT_EQ(exchange(line("192.0.2.8"), "PC1"), 0); // refused: pinned to 192.0.2.7
    EXPECT_EQ(exchange(binary(0x20, 0x00, 0, ""), "PC2"), 0); // LOCAL: the proxy's own address
    listener.stop();
    run.join();
    const std::vector<MachineRow> machines = store->machines();
    ASSERT_EQ(machines.size(), 2u);
    EXPECT_EQ(machines[0].address, "192.0.2.7");
    EXPECT_EQ(machines[0].refusedAddress, "192.0.2.8");
    EXPECT_EQ(machines[1].address, "127.0.0.1");
}

// The sign-in throttle, a bound read once the request is in, keys on the
// client a trusted proxy names and on the peer of any other.
TEST(ProxiedRequests, WrongTokensCountForTheForwardedClientFromATrustedPeerOnly)
{
    std::unique_ptr<Store> store = freshStore("proxied_requests_test.db");
    Counters counters;
    FleetView fleet(*store, StatusLimits{});
    HttpSettings settings{"proxied-requests-admin-token", "proxied-requests-viewer-token", {}, 30, 1024, 3, {}};
    settings.trustedProxies = trusting({"127.0.0.1"});
    HttpApi api(*store, counters, fleet, settings);
    std::string error;
    ASSERT_TRUE(api.bind({"127.0.0.1", 0}, error)) << error;
    std::thread run([&] { api.run(); });
    const auto ask = [&](const char* source, const std::string& client) {
        const int fd = connectFrom(api.port(), source);
        const std::string raw = "GET /api/machines HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                                "Authorization: Bearer wrong-token\r\nX-Forwarded-For: " + client + "\r\n\r\n";
        ::send(fd, raw.data(), raw.size(), MSG_NOSIGNAL);
        char answer[12] = {};
        ::recv(fd, answer, sizeof answer, MSG_WAITALL);
        ::close(fd);
        return std::string(answer + 9, 3);
    };
    // The server counts an ask's connection until it has seen it close, so
    // quick asks from one peer may meet its cap for a moment: wait that out.
    const auto status = [&](const char* source, const std::string& client) {
        std::string answer = ask(source, client);
        for (int tries = 0; tries < 100 && answer == "503"; ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            answer = ask(source, client);
        }
        return answer;
    };
    int held[3]; // the proxy may hold more than one address's cap
    for (int& fd : held) fd = connectFrom(api.port(), "127.0.0.1");
    for (const char* source : {"127.0.0.1", "127.0.0.2"}) {
        for (int i = 0; i < SignInThrottle::kFreeFailures; ++i) EXPECT_EQ(status(source, "192.0.2.1"), "401");
        EXPECT_EQ(status(source, "192.0.2.1"), "429") << source;
    }
    EXPECT_EQ(status("127.0.0.1", "192.0.2.2"), "401"); // another client behind the proxy
    EXPECT_EQ(status("127.0.0.2", "192.0.2.2"), "429"); // the same peer, whatever it says
    for (int fd : held) ::close(fd);
    api.stop();
    run.join();
}
