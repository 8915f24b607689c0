// TCP on BSD sockets. No library start-up is needed; a time-out reports ETIMEDOUT.
#include "platform/system.h"
#include "state/constants.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pelmora {

namespace {

int lastError = 0;

int fail(int error)
{
    lastError = error;
    return -1;
}

// A socket option time-out shows as EAGAIN; report it as what it is.
int transferFailure()
{
    return fail(errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT : errno);
}

bool setBlocking(int fd, bool blocking)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    flags = blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK;
    return fcntl(fd, F_SETFL, flags) == 0;
}

// Waits for a non-blocking connect to finish; 0 or an error number.
int awaitConnect(int fd)
{
    pollfd entry = {fd, POLLOUT, 0};
    int ready;
    do ready = poll(&entry, 1, kTcpConnectTimeoutMs);
    while (ready < 0 && errno == EINTR);
    if (ready < 0) return errno;
    if (ready == 0) return ETIMEDOUT;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}
} // namespace

long long socketOpenTcp()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        lastError = errno;
        return kInvalidSocket;
    }
    return fd;
}

int socketLastError() { return lastError; }
int socketsStart() { return 0; }
void socketsStop() {}

namespace {
// Connects fd to address, waiting at most the connect time-out; then sets
// the transfer time-outs. 0 or -1.
int connectTo(int fd, const sockaddr* address, socklen_t length)
{
    if (!setBlocking(fd, false)) return fail(errno);
    if (connect(fd, address, length) != 0) {
        if (errno != EINPROGRESS) return fail(errno);
        int error = awaitConnect(fd);
        if (error != 0) return fail(error);
    }
    if (!setBlocking(fd, true)) return fail(errno);
    timeval timeout = {kTcpTransferTimeoutMs / 1000, (kTcpTransferTimeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    return 0;
}
} // namespace

int socketConnect(long long socket, const char* host, int port)
{
    const int fd = static_cast<int>(socket);
    if (fd < 0) return fail(EBADF);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = inet_addr(host); // no name lookup; bad text gives 255.255.255.255
    return connectTo(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
}

long long socketConnectHost(const char* host, int port)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    char service[8];
    std::snprintf(service, sizeof service, "%d", port & 0xFFFF);
    const int looked = getaddrinfo(host, service, &hints, &found);
    if (looked != 0) {
        lastError = looked == EAI_SYSTEM ? errno : kHostNotFound;
        return kInvalidSocket;
    }
    long long connected = kInvalidSocket;
    for (const addrinfo* each = found; each && connected == kInvalidSocket; each = each->ai_next) {
        const int fd = socket(each->ai_family, each->ai_socktype | SOCK_CLOEXEC, each->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        if (connectTo(fd, each->ai_addr, each->ai_addrlen) == 0)
            connected = fd;
        else
            close(fd);
    }
    freeaddrinfo(found);
    return connected;
}

void socketErrorText(int error, char* buffer, size_t size)
{
    if (size == 0) return;
    const char* text = error == kHostNotFound ? "no address for this name" : std::strerror(error);
    std::snprintf(buffer, size, "%s", text);
}

int socketSend(long long socket, const char* data, int count)
{
    ssize_t sent;
    do sent = send(static_cast<int>(socket), data, static_cast<size_t>(count), MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent < 0 ? transferFailure() : static_cast<int>(sent);
}

int socketReceive(long long socket, char* buffer, int capacity)
{
    ssize_t got;
    do got = recv(static_cast<int>(socket), buffer, static_cast<size_t>(capacity), 0);
    while (got < 0 && errno == EINTR);
    return got < 0 ? transferFailure() : static_cast<int>(got);
}

void socketClose(long long socket) { close(static_cast<int>(socket)); }

} // namespace pelmora
