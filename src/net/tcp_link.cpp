#include "net/tcp_link.h"

#include "platform/platform.h"

namespace pelmora {

namespace {
constexpr unsigned kStartedLibrary = 1u;

// The error of the call that just failed; never 0, so that a failure cannot
// pass for success.
int failure()
{
    int error = platform().socketLastError();
    return error != 0 ? error : kLinkNotConnected;
}
} // namespace

int linkOpen(SocketLink* link)
{
    link->sock = platform().socketOpenTcp();
    link->lastError = 0;
    link->flags = 0;
    if (link->sock == kInvalidSocket) {
        link->lastError = failure();
        if (link->lastError != kSocketsNotStarted) return link->lastError;
        int started = platform().socketsStart();
        if (started != 0) {
            link->lastError = started;
            return link->lastError;
        }
        link->flags |= kStartedLibrary;
        link->lastError = 0;
        // If this fails too, the connect below fails with its own error.
        link->sock = platform().socketOpenTcp();
    }
    if (platform().socketConnect(link->sock, link->host, link->port & 0xFFFF) != 0) link->lastError = failure();
    if (link->lastError != 0) linkClose(link);
    return link->lastError;
}

int linkSendAll(SocketLink* link, int count, const char* data)
{
    if (count <= 0 || data == nullptr) link->lastError = kLinkInvalidArgument;
    if (link->sock == kInvalidSocket) link->lastError = kLinkNotConnected;
    if (link->lastError != 0) return link->lastError;
    link->sent = 0;
    do {
        int result = platform().socketSend(link->sock, data + link->sent, count - link->sent);
        if (result < 0) {
            link->lastError = failure();
            break;
        }
        link->sent += result;
        if (result == 0) break;
    } while (link->sent < count);
    return link->lastError;
}

int linkReceive(SocketLink* link, int capacity, char* buffer)
{
    if (capacity <= 0 || buffer == nullptr) link->lastError = kLinkInvalidArgument;
    if (link->sock == kInvalidSocket) link->lastError = kLinkNotConnected;
    if (link->lastError != 0) {
        link->received = 0;
        return link->lastError;
    }
    link->received = platform().socketReceive(link->sock, buffer, capacity);
    if (link->received < 0) {
        link->lastError = failure();
        link->received = 0;
    }
    return link->lastError;
}

void linkClose(SocketLink* link)
{
    if (link->sock != kInvalidSocket) platform().socketClose(link->sock);
    link->sock = kInvalidSocket;
    if (link->flags & kStartedLibrary) {
        platform().socketsStop();
        link->flags &= ~kStartedLibrary;
    }
}

} // namespace pelmora
