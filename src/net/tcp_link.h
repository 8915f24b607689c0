#pragma once
// A thin layer over one blocking TCP client connection. Every operation
// reports an error number, 0 for success; an error sticks until the next open.

constexpr int kLinkInvalidArgument = 10022; // count or buffer not usable
constexpr int kLinkNotConnected = 10057;    // the link has no socket

struct SocketLink {
    const char* host;  // dotted IPv4 text, not owned
    int port;          // host byte order; the low 16 bits are used
    long long sock;    // kInvalidSocket when there is none
    int received;      // bytes the latest receive delivered
    int sent;          // bytes the latest send-all has sent so far
    int lastError;
    unsigned flags;    // bit 0: this link started the sockets library
};

// The user clears the link, sets host and port, then opens it. On failure
// the link is already closed.
int linkOpen(SocketLink* link);
int linkSendAll(SocketLink* link, int count, const char* data);
// One receive of at most capacity bytes; received is 0 when the peer closed.
int linkReceive(SocketLink* link, int capacity, char* buffer);
void linkClose(SocketLink* link);
