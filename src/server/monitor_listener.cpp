#include "server/monitor_listener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <list>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "server/log.h"
#include "server/record_intake.h"

namespace pelmora_server {

struct MonitorListener::Connection {
    int fd = -1;
    std::string peer;
    int offeredSlot = 0;
    char record[kRecordBytes] = {};
    std::size_t got = 0;
    std::chrono::steady_clock::time_point deadline;
    std::list<Connection*>::iterator self;
};

namespace {
bool sendByte(int fd, int value)
{
    const char byte = static_cast<char>(static_cast<signed char>(value));
    // The socket's send buffer is empty: one byte goes at once or not at all.
    return ::send(fd, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1;
}

std::string describe(const MonitorRecord& r)
{
    return r.computerName + " CPU# " + std::to_string(r.cpu);
}
} // namespace

MonitorListener::MonitorListener(Store& store, SlotTable& slots, Counters& counters, int maxConnections,
                                 FleetBounds* bounds)
    : store_(store), slots_(slots), counters_(counters), maxConnections_(maxConnections), bounds_(bounds)
{
}

MonitorListener::~MonitorListener()
{
    while (!connections_.empty()) close(*connections_.front());
    if (listenFd_ >= 0) ::close(listenFd_);
    if (epollFd_ >= 0) ::close(epollFd_);
}

bool MonitorListener::bind(const Endpoint& endpoint, std::string& error)
{
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(endpoint.port));
    inet_pton(AF_INET, endpoint.address.c_str(), &address.sin_addr);
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 512) != 0) {
        error = std::strerror(errno);
        return false;
    }
    socklen_t length = sizeof address;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &event);
    return true;
}

void MonitorListener::accept()
{
    for (;;) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&from), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors: the rest wait in the backlog; a short pause
            // keeps the loop from spinning on a listener that stays readable.
            if (errno == EMFILE || errno == ENFILE) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            return;
        }
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        if (static_cast<int>(connections_.size()) >= maxConnections_) {
            ::close(fd);
            ++counters_.refusedConnections;
            const long long now = std::time(nullptr);
            if (now != lastRefusalLog_) {
                lastRefusalLog_ = now;
                logEvent(Level::warn, "monitor connection from " + std::string(text) + " refused: " +
                                          std::to_string(connections_.size()) + " connections open");
            }
            continue;
        }
        auto* c = new Connection();
        c->fd = fd;
        c->peer = text;
        c->offeredSlot = slots_.offer();
        c->deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStepSeconds);
        c->self = connections_.insert(connections_.end(), c);
        if (!sendByte(fd, c->offeredSlot)) {
            close(*c);
            continue;
        }
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP;
        event.data.ptr = c;
        epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event);
    }
}

void MonitorListener::close(Connection& c)
{
    slots_.release(c.offeredSlot);
    ::close(c.fd); // also leaves the epoll set
    connections_.erase(c.self);
    delete &c;
}

void MonitorListener::serve(Connection& c)
{
    for (;;) {
        const ssize_t n = ::recv(c.fd, c.record + c.got, kRecordBytes - c.got, 0);
        if (n > 0) {
            c.got += static_cast<std::size_t>(n);
            c.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStepSeconds);
            if (c.got == kRecordBytes) {
                finish(c);
                return;
            }
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        logEvent(Level::warn, "monitor connection from " + c.peer + " ended after " + std::to_string(c.got) +
                                  " of " + std::to_string(kRecordBytes) + " bytes: nothing stored");
        close(c);
        return;
    }
}

void MonitorListener::finish(Connection& c)
{
    const RecordParse parsed = parseRecord(c.record, sizeof c.record);
    if (!parsed.ok) {
        ++counters_.parseFailures;
        logEvent(Level::warn, "record from " + c.peer + " refused: " + parsed.reason);
        close(c);
        return;
    }
    const MonitorRecord& r = parsed.record;
    ExchangeResult result;
    try {
        result = takeRecord(store_, bounds_, counters_, r, c.peer, std::time(nullptr));
    } catch (const std::exception& e) {
        logEvent(Level::error, "record from " + describe(r) + " not stored: " + e.what());
        close(c);
        return;
    }
    if (result.refused) { // nothing stored: nothing to give
        if (!r.exiting) sendByte(c.fd, 0);
        close(c);
        return;
    }
    if (result.newSlot != 0 && result.newSlot != result.oldSlot && result.newSlot != c.offeredSlot &&
        slots_.holders(result.newSlot) > 0)
        logEvent(Level::warn, "slot " + std::to_string(result.newSlot) + " is claimed by " + describe(r) +
                                  " and by another machine");
    slots_.move(result.oldSlot, result.newSlot);
    if (result.newMachine)
        logEvent(Level::info, "new machine " + describe(r) + " (id " + std::to_string(result.machineId) +
                                  ") from " + c.peer + ", slot " + std::to_string(result.newSlot));
    if (r.exiting) {
        logEvent(Level::info, describe(r) + " stopped (exit record from " + c.peer + ")");
    } else if (result.command != 0) {
        if (sendByte(c.fd, result.command)) {
            logEvent(Level::info, std::string("command ") + commandName(result.command) + " (id " +
                                      std::to_string(result.commandId) + ") given to " + describe(r) + " at " + c.peer);
        } else {
            logEvent(Level::warn, std::string("command ") + commandName(result.command) + " for " + describe(r) +
                                      " could not be sent: pending again");
            try {
                store_.undeliver(result.commandId);
            } catch (const std::exception& e) {
                logEvent(Level::error, std::string("command not put back: ") + e.what());
            }
        }
    } else {
        sendByte(c.fd, 0);
    }
    logEvent(Level::debug, "report from " + describe(r) + " at " + c.peer + ": " + r.unit + " " +
                               std::to_string(r.progress) + "%");
    close(c);
}

void MonitorListener::run(const std::atomic<bool>& stopping)
{
    epoll_event events[64];
    auto lastSweep = std::chrono::steady_clock::now();
    while (listenFd_ >= 0 || !connections_.empty()) {
        if (listenFd_ >= 0 && stopping) {
            ::close(listenFd_);
            listenFd_ = -1;
            if (!connections_.empty())
                logEvent(Level::info, "finishing " + std::to_string(connections_.size()) + " monitor exchanges");
        }
        const int n = epoll_wait(epollFd_, events, 64, 200);
        for (int i = 0; i < n; ++i) {
            if (events[i].data.ptr)
                serve(*static_cast<Connection*>(events[i].data.ptr));
            else
                accept();
        }
        // Time-outs are looked for a few times a second.
        const auto now = std::chrono::steady_clock::now();
        if (now - lastSweep < std::chrono::milliseconds(200)) continue;
        lastSweep = now;
        for (auto it = connections_.begin(); it != connections_.end();) {
            Connection& c = **it++;
            if (c.deadline > now) continue;
            ++counters_.timedOut;
            logEvent(Level::warn, "monitor connection from " + c.peer + " cut after " +
                                      std::to_string(kStepSeconds) + " s without progress, " +
                                      std::to_string(c.got) + " bytes in: nothing stored");
            close(c);
        }
    }
}

} // namespace pelmora_server
