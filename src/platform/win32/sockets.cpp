// TCP on Windows Sockets. The library is started on demand by the link; a
// time-out reports WSAETIMEDOUT.
#include "platform/system.h"
#include "state/constants.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>

namespace pelmora {

namespace {

int lastError = 0;

int fail(int error)
{
    lastError = error;
    return -1;
}

SOCKET handle(long long socket) { return static_cast<SOCKET>(socket); }

// Waits for a non-blocking connect to finish; 0 or an error number.
int awaitConnect(SOCKET s)
{
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval timeout = {kTcpConnectTimeoutMs / 1000, (kTcpConnectTimeoutMs % 1000) * 1000};
    int ready = select(0, nullptr, &writable, &failed, &timeout);
    if (ready == SOCKET_ERROR) return WSAGetLastError();
    if (ready == 0) return WSAETIMEDOUT;
    if (FD_ISSET(s, &writable)) return 0;
    int error = 0;
    int length = sizeof error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
        return WSAGetLastError();
    return error != 0 ? error : WSAECONNREFUSED;
}
} // namespace

long long socketOpenTcp()
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        lastError = WSAGetLastError();
        return kInvalidSocket;
    }
    return static_cast<long long>(s);
}

int socketLastError() { return lastError; }

int socketsStart()
{
    WSADATA data;
    return WSAStartup(0x0102, &data);
}

void socketsStop() { WSACleanup(); }

namespace {
// Connects s to address, waiting at most the connect time-out; then sets
// the transfer time-outs. 0 or -1.
int connectTo(SOCKET s, const sockaddr* address, int length)
{
    u_long nonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0) return fail(WSAGetLastError());
    if (connect(s, address, length) != 0) {
        int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) return fail(error);
        error = awaitConnect(s);
        if (error != 0) return fail(error);
    }
    u_long blocking = 0;
    if (ioctlsocket(s, FIONBIO, &blocking) != 0) return fail(WSAGetLastError());
    DWORD timeout = kTcpTransferTimeoutMs;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    return 0;
}
} // namespace

int socketConnect(long long socket, const char* host, int port)
{
    if (socket == kInvalidSocket) return fail(WSAENOTSOCK);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = inet_addr(host); // no name lookup; bad text gives 255.255.255.255
    return connectTo(handle(socket), reinterpret_cast<sockaddr*>(&address), sizeof address);
}

long long socketConnectHost(const char* host, int port)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    char service[8];
    std::snprintf(service, sizeof service, "%d", port & 0xFFFF);
    const int looked = getaddrinfo(host, service, &hints, &found);
    if (looked != 0) {
        lastError = looked == WSAHOST_NOT_FOUND || looked == WSANO_DATA ? kHostNotFound : looked;
        return kInvalidSocket;
    }
    long long connected = kInvalidSocket;
    for (const addrinfo* each = found; each && connected == kInvalidSocket; each = each->ai_next) {
        const SOCKET s = socket(each->ai_family, each->ai_socktype, each->ai_protocol);
        if (s == INVALID_SOCKET) {
            lastError = WSAGetLastError();
            continue;
        }
        if (connectTo(s, each->ai_addr, static_cast<int>(each->ai_addrlen)) == 0)
            connected = static_cast<long long>(s);
        else
            closesocket(s);
    }
    freeaddrinfo(found);
    return connected;
}

void socketErrorText(int error, char* buffer, size_t size)
{
    if (size == 0) return;
    buffer[0] = '\0';
    if (error == kHostNotFound) {
        std::snprintf(buffer, size, "no address for this name");
        return;
    }
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        static_cast<DWORD>(error), 0, buffer, static_cast<DWORD>(size), nullptr);
    // The system's text ends with a full stop and a line break.
    size_t end = length;
    while (end > 0 && (buffer[end - 1] == '\r' || buffer[end - 1] == '\n' || buffer[end - 1] == ' ' || buffer[end - 1] == '.')) --end;
    if (end == 0) std::snprintf(buffer, size, "error %d", error);
    else buffer[end] = '\0';
}

int socketSend(long long socket, const char* data, int count)
{
    int sent = send(handle(socket), data, count, 0);
    return sent == SOCKET_ERROR ? fail(WSAGetLastError()) : sent;
}

int socketReceive(long long socket, char* buffer, int capacity)
{
    int got = recv(handle(socket), buffer, capacity, 0);
    return got == SOCKET_ERROR ? fail(WSAGetLastError()) : got;
}

void socketClose(long long socket) { closesocket(handle(socket)); }

} // namespace pelmora
