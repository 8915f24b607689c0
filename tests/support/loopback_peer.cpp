#include "support/loopback_peer.h"

#include <stdexcept>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using SocketHandle = SOCKET;
using SocketLength = int;
namespace {
struct Winsock {
    Winsock() { WSADATA data; WSAStartup(0x0202, &data); }
};
void closeSocket(SocketHandle s) { closesocket(s); }
} // namespace
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
using SocketHandle = int;
using SocketLength = socklen_t;
namespace {
struct Winsock {};
void closeSocket(SocketHandle s) { close(s); }
} // namespace
#endif

namespace {
SocketHandle handle(long long s) { return static_cast<SocketHandle>(s); }

// Binds a listening socket on 127.0.0.1; throws when the port is taken.
SocketHandle listenOn(int& port)
{
    static Winsock started;
    (void)started;
    SocketHandle s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
#ifndef _WIN32
    int yes = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof yes);
#endif
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 8) != 0) {
        closeSocket(s);
        throw std::runtime_error("cannot listen on port " + std::to_string(port));
    }
    SocketLength length = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return s;
}

// Waits up to the time-out for the socket to become readable.
bool readable(SocketHandle s, int milliseconds)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval timeout = {milliseconds / 1000, (milliseconds % 1000) * 1000};
    return select(static_cast<int>(s) + 1, &set, nullptr, nullptr, &timeout) > 0;
}
} // namespace

PeerConnection::~PeerConnection()
{
    if (socket_ != -1) closeSocket(handle(socket_));
}

void PeerConnection::send(const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        int n = ::send(handle(socket_), bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

std::string PeerConnection::receiveSome(size_t max)
{
    if (!readable(handle(socket_), 15000)) return {};
    std::string buffer(max, '\0');
    int n = ::recv(handle(socket_), &buffer[0], static_cast<int>(max), 0);
    buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buffer;
}

std::string PeerConnection::receiveExactly(size_t count)
{
    std::string out;
    while (out.size() < count) {
        std::string piece = receiveSome(count - out.size());
        if (piece.empty()) break;
        out += piece;
    }
    return out;
}

std::string PeerConnection::receiveRequestHead()
{
    std::string out;
    while (out.find("\r\n\r\n") == std::string::npos) {
        std::string piece = receiveSome(1);
        if (piece.empty()) break;
        out += piece;
    }
    return out;
}

void PeerConnection::reset()
{
    linger hard = {1, 0};
    setsockopt(handle(socket_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
    closeSocket(handle(socket_));
    socket_ = -1;
}

LoopbackServer::LoopbackServer(int port, Handler handler) : port_(port), handler_(std::move(handler))
{
    listener_ = static_cast<long long>(listenOn(port_));
    thread_ = std::thread([this] { run(); });
}

LoopbackServer::~LoopbackServer()
{
    stop();
    closeSocket(handle(listener_));
}

void LoopbackServer::stop()
{
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
}

void LoopbackServer::run()
{
    while (!stopping_) {
        if (!readable(handle(listener_), 50)) continue;
        SocketHandle client = accept(handle(listener_), nullptr, nullptr);
        if (client == static_cast<SocketHandle>(-1)) continue;
        ++accepted_;
        PeerConnection connection(static_cast<long long>(client));
        handler_(connection);
    }
}

int refusingPort()
{
    int port = 0;
    SocketHandle s = listenOn(port);
    closeSocket(s);
    return port;
}
