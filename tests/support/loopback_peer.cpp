#include "support/loopback_peer.h"

#include <chrono>
#include <stdexcept>

#ifdef _WIN32
#include <winsock2.h>
using SocketHandle = SOCKET;
using SocketLength = int;
#define MSG_NOSIGNAL 0
#define closeSocket closesocket
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
using SocketHandle = int;
using SocketLength = socklen_t;
#define closeSocket close
#endif

namespace pelmora {

namespace {
SocketHandle handle(long long s) { return static_cast<SocketHandle>(s); }

SocketHandle listenOn(int& port)
{
#ifdef _WIN32
    static const int started = [] { WSADATA data; return WSAStartup(0x0202, &data); }();
    (void)started;
#endif
    const SocketHandle s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
#ifndef _WIN32 // on Windows it would let two servers share a port
    const int yes = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
#endif
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    SocketLength length = sizeof address;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 8) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closeSocket(s);
        throw std::runtime_error("cannot listen on port " + std::to_string(port));
    }
    port = ntohs(address.sin_port);
    return s;
}

} // namespace

long long openLoopbackListener(int& port) { return static_cast<long long>(listenOn(port)); }

namespace {
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

bool PeerConnection::send(const std::string& bytes, int dripMs)
{
    for (size_t done = 0; done < bytes.size();) {
        if (dripMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(dripMs));
        const size_t count = dripMs > 0 ? 1 : bytes.size() - done;
        // MSG_NOSIGNAL: a client that has gone must not end the test.
        const int n = ::send(handle(socket_), bytes.data() + done, static_cast<int>(count), MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string PeerConnection::receiveSome(size_t max)
{
    if (!readable(handle(socket_), 15000)) return {};
    std::string buffer(max, '\0');
    const int n = ::recv(handle(socket_), &buffer[0], static_cast<int>(max), 0);
    buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buffer;
}

bool PeerConnection::goneWithin(int ms)
{
    char byte;
    return readable(handle(socket_), ms) && ::recv(handle(socket_), &byte, 1, MSG_PEEK) <= 0;
}

std::string PeerConnection::receiveExactly(size_t count)
{
    std::string out;
    for (std::string piece = "-"; out.size() < count && !piece.empty(); out += piece)
        piece = receiveSome(count - out.size());
    return out;
}

// The client sends nothing after its head, so whatever arrives belongs to it.
std::string PeerConnection::receiveRequestHead()
{
    std::string out;
    for (std::string piece = "-"; out.find("\r\n\r\n") == std::string::npos && !piece.empty(); out += piece)
        piece = receiveSome();
    return out;
}

void PeerConnection::reset()
{
    const linger hard = {1, 0};
    setsockopt(handle(socket_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
    closeSocket(handle(socket_));
    socket_ = -1;
}

LoopbackServer::LoopbackServer(int port, Handler handler)
    : listener_(static_cast<long long>(listenOn(port))), port_(port), handler_(std::move(handler))
{
    thread_ = std::thread([this] {
        while (!stopping_) {
            if (!readable(handle(listener_), 50)) continue;
            const SocketHandle client = accept(handle(listener_), nullptr, nullptr);
            if (client == static_cast<SocketHandle>(-1)) continue;
            ++accepted_;
            PeerConnection connection(static_cast<long long>(client));
            handler_(connection);
        }
    });
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

int refusingPort()
{
    int port = 0;
    closeSocket(listenOn(port));
    return port;
}

} // namespace pelmora
