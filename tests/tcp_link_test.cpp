// The TCP link against real peers on 127.0.0.1: whole sends, single
// receives, a closing peer, a refused connection, the sticky error, and a
// silent peer that only the time-out ends.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "net/tcp_link.h"
#include "platform/platform.h"
#include "support/loopback_peer.h"

namespace {

SocketLink linkTo(int port)
{
    SocketLink link = {};
    link.host = "127.0.0.1";
    link.port = port;
    return link;
}

TEST(TcpLink, SendsAllAndReceivesWhatArrivesFirst)
{
    const std::string big(3 * 1024 * 1024 + 7, 'x');
    std::string got;
    {
        LoopbackServer server(0, [&](PeerConnection& peer) {
            peer.send("hello");
            got = peer.receiveExactly(big.size());
        });
        SocketLink link = linkTo(server.port() + 0x10000); // only the low 16 bits count
        ASSERT_EQ(linkOpen(&link), 0);
        char buffer[64] = "untouched past what arrives";
        ASSERT_EQ(linkReceive(&link, sizeof buffer, buffer), 0);
        EXPECT_EQ(link.received, 5);
        EXPECT_EQ(std::string(buffer, 12), "helloched pa"); // nothing cleared or terminated
        EXPECT_EQ(linkSendAll(&link, static_cast<int>(big.size()), big.data()), 0);
        EXPECT_EQ(link.sent, static_cast<int>(big.size()));
        linkClose(&link);
    }
    EXPECT_EQ(got, big);
}

TEST(TcpLink, PeerClosingGivesAnEmptyReceive)
{
    LoopbackServer server(0, [](PeerConnection&) {});
    SocketLink link = linkTo(server.port());
    ASSERT_EQ(linkOpen(&link), 0);
    char buffer[16];
    EXPECT_EQ(linkReceive(&link, sizeof buffer, buffer), 0);
    EXPECT_EQ(link.received, 0);
    linkClose(&link);
    linkClose(&link); // a second close does nothing
    EXPECT_EQ(link.sock, kInvalidSocket);
}

TEST(TcpLink, BadArgumentsAndMissingSocket)
{
    char buffer[4] = "abc";
    const struct { const char* name; bool open; int count; char* data; int expected; } cases[] = {
        {"zero count", true, 0, buffer, kLinkInvalidArgument},
        {"negative count", true, -1, buffer, kLinkInvalidArgument},
        {"no buffer", true, 4, nullptr, kLinkInvalidArgument},
        {"no socket", false, 4, buffer, kLinkNotConnected},
        {"no socket wins over a bad count", false, 0, buffer, kLinkNotConnected},
    };
    LoopbackServer server(0, [](PeerConnection& peer) { peer.receiveSome(); });
    for (const auto& c : cases) {
        for (bool sending : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (sending ? " (send)" : " (receive)"));
            SocketLink link = linkTo(server.port());
            if (c.open) {
                ASSERT_EQ(linkOpen(&link), 0);
            } else {
                link.sock = kInvalidSocket;
            }
            link.received = 9;
            EXPECT_EQ(sending ? linkSendAll(&link, c.count, c.data) : linkReceive(&link, c.count, c.data), c.expected);
            if (!sending) {
                EXPECT_EQ(link.received, 0);
            }
            // The error sticks: a good call now does no input or output.
            EXPECT_EQ(linkSendAll(&link, 3, buffer), c.expected);
            EXPECT_EQ(link.sent, 0);
            linkClose(&link);
        }
    }
}

TEST(TcpLink, RefusedConnectionLeavesTheLinkClosed)
{
    SocketLink link = linkTo(refusingPort());
    const int error = linkOpen(&link);
    EXPECT_NE(error, 0);
    EXPECT_EQ(link.lastError, error);
    EXPECT_EQ(link.sock, kInvalidSocket);
    EXPECT_EQ(link.flags, 0u);
    char buffer[4];
    EXPECT_EQ(linkReceive(&link, sizeof buffer, buffer), kLinkNotConnected);
    linkClose(&link);
}

TEST(TcpLink, SilentPeerTimesOut)
{
    LoopbackServer server(0, [](PeerConnection& peer) { peer.receiveSome(); }); // waits for the client to go
    SocketLink link = linkTo(server.port());
    ASSERT_EQ(linkOpen(&link), 0);
    char buffer[16];
    const auto began = std::chrono::steady_clock::now();
    const int error = linkReceive(&link, sizeof buffer, buffer);
    const auto waited = std::chrono::steady_clock::now() - began;
    EXPECT_NE(error, 0);
    EXPECT_EQ(link.received, 0);
    EXPECT_GE(waited, std::chrono::seconds(9));
    EXPECT_LT(waited, std::chrono::seconds(14));
    EXPECT_EQ(linkSendAll(&link, 3, "abc"), error); // sticky
    linkClose(&link);
}

} // namespace
