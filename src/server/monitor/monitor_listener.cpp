#include "server/monitor/monitor_listener.h"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <cstring>
#include <ctime>

#include "protocol/monitor_protocol.h"
#include "server/support/log.h"
#include "server/monitor/proxy_header.h"
#include "server/monitor/record_intake.h"

namespace pelmora::server {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

struct MonitorListener::Connection {
    Connection(MonitorListener& owner, tcp::socket s, std::string from)
        : owner(owner), socket(std::move(s)), deadline(owner.io_), peer(std::move(from))
    {
        owner.live_.insert(this);
    }
    ~Connection()
    {
        if (const auto it = std::find(owner.offered_.begin(), owner.offered_.end(), offeredSlot);
            offeredSlot != 0 && it != owner.offered_.end())
            owner.offered_.erase(it);
        owner.caps_.release(place);
        owner.live_.erase(this);
        if (owner.stopping_ && owner.live_.empty()) owner.pause_.cancel(); // the last one: no need to wait on
    }
    void cut()
    {
        error_code ignored;
        socket.close(ignored);
        deadline.cancel();
    }

    MonitorListener& owner;
    tcp::socket socket;
    asio::steady_timer deadline;
    std::string peer;  // the monitor's address: the socket's, or the one a trusted proxy names
    std::string proxy; // the trusted proxy it came through; empty: none
    ConnectionCaps::Id place = 0;
    int offeredSlot = 0;
    char header[kLongestProxyHeader] = {};
    std::size_t headerBytes = 0, recordBytes = 0;
    char record[protocol::kRecordBytes] = {};
    char out = 0;
    bool timedOut = false;
};

namespace {
std::string describe(const MonitorRecord& r)
{
    return r.computerName + " CPU# " + std::to_string(r.cpu);
}
// The first bytes of a record from a peer not trusted, looked at alone:
// as many as tell a PROXY header (of either version) from a record.
constexpr std::size_t kFirstLook = 12;
} // namespace

MonitorListener::MonitorListener(Store& store, Counters& counters, int maxConnections, int perAddress,
                                 FleetBounds* bounds, TrustedProxies proxies, StoreOutage* outage)
    : store_(store), counters_(counters), maxConnections_(maxConnections), proxies_(std::move(proxies)),
      caps_(maxConnections, perAddress), bounds_(bounds),
      ownOutage_(outage ? nullptr : std::make_unique<StoreOutage>(store, counters, bounds)),
      outage_(outage ? *outage : *ownOutage_)
{
}

MonitorListener::~MonitorListener()
{
    stopping_ = false; // the pause timer goes before the connections still held
}

bool MonitorListener::bind(const Endpoint& endpoint, std::string& error)
{
    error_code ec;
    const tcp::endpoint at(asio::ip::make_address_v4(endpoint.address, ec), static_cast<unsigned short>(endpoint.port));
    if (!ec) acceptor_.open(tcp::v4(), ec);
    if (!ec) acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor_.bind(at, ec);
    if (!ec) acceptor_.listen(512, ec);
    if (ec) {
        error = ec.message();
        return false;
    }
    port_ = acceptor_.local_endpoint(ec).port();
    return true;
}

void MonitorListener::refused(const std::string& peer)
{
    ++counters_.refusedConnections;
    logRepeated(Level::warn, Repeat::noise, "monitor refused", peer,
                "monitor connection from " + peer + " refused: " + std::to_string(caps_.open()) +
                    " connections open, " + std::to_string(caps_.heldBy(peer)) + " from it");
}

void MonitorListener::refuseHeader(const std::shared_ptr<Connection>& c, const std::string& why)
{
    ++counters_.proxyHeadersRefused;
    const std::string& from = c->proxy.empty() ? c->peer : c->proxy;
    logRepeated(Level::warn, Repeat::noise, "PROXY refused", from, "monitor connection from " + from + " refused: " + why);
    c->cut();
}

void MonitorListener::accept()
{
    acceptor_.async_accept(acceptedFrom_, [this](error_code ec, tcp::socket socket) {
        if (stopping_) return;
        if (ec) {
            // Out of descriptors: the rest wait in the backlog; a short pause
            // keeps the loop from spinning on a listener that stays readable.
            pause_.expires_after(std::chrono::milliseconds(defaults::kAcceptRetryMilliseconds));
            pause_.async_wait([this](error_code e) {
                if (!e && !stopping_) accept();
            });
            return;
        }
        // Read before the next accept, which may fill it at once.
        error_code e;
        const std::string peer = acceptedFrom_.address().to_string(e);
        accept();
        if (!e) admit(std::move(socket), peer);
    });
}

void MonitorListener::admit(tcp::socket socket, const std::string& peer)
{
    error_code e;
    // A trusted proxy's connections carry many monitors: until their header
    // names one, the overall cap bounds them.
    const bool viaProxy = proxies_.trusts(peer);
    const ConnectionCaps::Id place = caps_.admit(peer, viaProxy ? maxConnections_ : 0);
    if (!place) return refused(peer);
    auto c = std::make_shared<Connection>(*this, std::move(socket), peer);
    c->place = place;
    // Until its record is in, it may give way to an address holding less
    // than its share (connection_caps.h): an exchange is short, so the
    // places held long are an attacker's.
    caps_.idle(place, [weak = std::weak_ptr<Connection>(c)] {
        if (const auto held = weak.lock()) held->cut();
    });
    c->socket.set_option(tcp::no_delay(true), e);
    // One deadline for the whole exchange, however slowly the bytes come.
    c->deadline.expires_after(std::chrono::seconds(kExchangeSeconds));
    c->deadline.async_wait([c](error_code ec) {
        if (ec) return;
        c->timedOut = true;
        c->cut();
    });
    if (!viaProxy) return offerSlot(c);
    c->proxy = peer;
    readProxyHeader(c);
}

// What comes after the header (a monitor that did not wait for its slot
// byte) is the record's start.
void MonitorListener::readProxyHeader(const std::shared_ptr<Connection>& c)
{
    c->socket.async_read_some(
        asio::buffer(c->header + c->headerBytes, sizeof c->header - c->headerBytes),
        [this, c](error_code ec, std::size_t got) {
            if (ec) {
                if (c->timedOut) {
                    ++counters_.timedOut;
                    logRepeated(Level::warn, Repeat::noise, "monitor cut", c->proxy,
                                "monitor connection from the proxy " + c->proxy + " cut after " +
                                    std::to_string(kExchangeSeconds) + " s: no whole PROXY header");
                }
                return c->cut();
            }
            c->headerBytes += got;
            const ProxyHeader header = parseProxyHeader(c->header, c->headerBytes);
            if (header.state == ProxyHeader::State::incomplete) return readProxyHeader(c); // never with a full buffer
            if (header.state == ProxyHeader::State::invalid)
                return refuseHeader(c, "the trusted proxy sent " + header.reason);
            if (!header.source.empty()) {
                if (!caps_.move(c->place, header.source)) {
                    refused(header.source);
                    return c->cut();
                }
                c->peer = header.source;
            }
            c->recordBytes = c->headerBytes - header.length;
            std::memcpy(c->record, c->header + header.length, c->recordBytes);
            offerSlot(c);
        });
}

void MonitorListener::offerSlot(const std::shared_ptr<Connection>& c)
{
    try { // while the store cannot be reached, no slot: records are kept without waiting on it
        if (!outage_.down()) c->offeredSlot = store_.freeSlot(offered_);
        if (c->offeredSlot != 0) offered_.push_back(c->offeredSlot);
    } catch (const StoreUnreachable& e) {
        outage_.unreachable(e.what());
    } catch (const std::exception& e) { // the monitor gets no slot this time, as when none is left
        logRepeated(Level::error, Repeat::noise, "no slot offered", "", std::string("no slot offered: ") + e.what());
    }
    c->out = static_cast<char>(static_cast<signed char>(c->offeredSlot));
    asio::async_write(c->socket, asio::buffer(&c->out, 1), [this, c](error_code ec, std::size_t) {
        if (ec) return c->cut();
        readRecord(c);
    });
}

void MonitorListener::readRecord(const std::shared_ptr<Connection>& c)
{
    // Whatever is there up to the whole record, but at least the first
    // look's bytes before those are judged: most records come in one read.
    const bool look = c->proxy.empty() && c->recordBytes < kFirstLook;
    const std::size_t least = look ? kFirstLook - c->recordBytes : protocol::kRecordBytes - c->recordBytes;
    asio::async_read(c->socket, asio::buffer(c->record + c->recordBytes, protocol::kRecordBytes - c->recordBytes),
                     asio::transfer_at_least(least), [this, c, look](error_code ec, std::size_t got) {
        c->recordBytes += got;
        if (!ec) {
            if (look && looksLikeProxyHeader(c->record, c->recordBytes))
                return refuseHeader(c, "a PROXY header, and it is not a trusted proxy");
            if (c->recordBytes == protocol::kRecordBytes) return finish(c);
            return readRecord(c);
        }
        if (c->timedOut) {
            ++counters_.timedOut;
            logRepeated(Level::warn, Repeat::noise, "monitor cut", c->peer,
                        "monitor connection from " + c->peer + " cut after " + std::to_string(kExchangeSeconds) +
                            " s, " + std::to_string(c->recordBytes) + " bytes in: nothing stored");
        } else if (ec != asio::error::operation_aborted && (c->proxy.empty() || c->recordBytes > 0)) {
            // (Through a proxy, nothing at all is the balancer's health check.)
            logRepeated(Level::warn, Repeat::noise, "monitor ended", c->peer,
                        "monitor connection from " + c->peer + " ended after " + std::to_string(c->recordBytes) +
                            " of " + std::to_string(protocol::kRecordBytes) + " bytes: nothing stored");
        }
        c->cut();
    });
}

void MonitorListener::finish(const std::shared_ptr<Connection>& c)
{
    caps_.busy(c->place);
    const RecordParse parsed = parseRecord(c->record, sizeof c->record);
    if (!parsed.ok) {
        ++counters_.parseFailures;
        logRepeated(Level::warn, Repeat::noise, "record malformed", c->peer,
                    "record from " + c->peer + " refused: " + parsed.reason);
        return c->cut();
    }
    waiting_.push_back(c);
    incoming_.push_back({parsed.record, c->peer, static_cast<long long>(std::time(nullptr))});
    if (!writing_) writeWaiting();
}

// Group commit: the records that came in while the last group was written
// go together, in one transaction, on the writer's thread, while this one
// goes on with the other connections; each is answered once it is committed.
struct MonitorListener::Group {
    std::vector<std::shared_ptr<Connection>> connections;
    std::vector<IncomingRecord> records;
    std::vector<ExchangeResult> results; // each record's, when it was taken
    std::vector<char> taken;
};

void MonitorListener::writeWaiting()
{
    writing_ = true;
    auto group = std::make_shared<Group>();
    group->connections.swap(waiting_);
    group->records.swap(incoming_);
    // The work guard keeps the I/O thread running until the group is answered.
    asio::post(writer_, [this, group, work = asio::make_work_guard(io_)]() mutable {
        writeGroup(*group);
        asio::post(io_, [this, group, work = std::move(work)] { answerGroup(*group); });
    });
}

void MonitorListener::writeGroup(Group& g)
{
    try {
        outage_.takeRecords(g.records, g.results);
    } catch (const std::exception& e) {
        logRepeated(Level::error, Repeat::noise, "records not stored together", "",
                    std::to_string(g.records.size() - g.results.size()) + " records not stored together (" +
                        e.what() + "): each is written alone");
    }
    g.taken.assign(g.results.size(), 1);
    for (std::size_t i = g.results.size(); i < g.records.size(); ++i) {
        const IncomingRecord& in = g.records[i];
        try { // one at a time, so that a record the store fails on fails alone
            g.results.push_back(outage_.takeRecord(in.record, in.peer, in.now));
            g.taken.push_back(1);
        } catch (const std::exception& e) {
            logRepeated(Level::error, Repeat::noise, "record not stored", "",
                        "record from " + describe(in.record) + " not stored: " + e.what());
            g.results.emplace_back();
            g.taken.push_back(0);
        }
    }
}

void MonitorListener::answerGroup(Group& g)
{
    writing_ = false;
    if (!waiting_.empty()) writeWaiting(); // those that came meanwhile
    for (std::size_t i = 0; i < g.records.size(); ++i) {
        if (g.taken[i])
            answer(g.connections[i], g.records[i].record, g.results[i]);
        else
            g.connections[i]->cut();
    }
}

void MonitorListener::answer(const std::shared_ptr<Connection>& c, const MonitorRecord& r, const ExchangeResult& result)
{
    if (result.refused) { // nothing stored: nothing to give
        if (r.exiting) return c->cut();
        c->out = 0;
        return asio::async_write(c->socket, asio::buffer(&c->out, 1), [c](error_code, std::size_t) { c->cut(); });
    }
    if (result.slotShared)
        logRepeated(Level::warn, Repeat::noise, "slot claimed", c->peer,
                    "slot " + std::to_string(result.newSlot) + " is claimed by " + describe(r) + " at " + c->peer +
                        " and by another machine");
    if (result.newMachine)
        logRepeated(Level::info, Repeat::accepted, "new machine", "",
                    "new machine " + describe(r) + " (id " + std::to_string(result.machineId) + ") from " + c->peer +
                        ", slot " + std::to_string(result.newSlot));
    if (logs(Level::debug))
        logEvent(Level::debug, "report from " + describe(r) + " at " + c->peer + ": " + r.unit + " " +
                                   std::to_string(r.progress) + "%");
    if (r.exiting) {
        logRepeated(Level::info, Repeat::accepted, "stop", "",
                    describe(r) + " stopped (exit record from " + c->peer + ")");
        return c->cut();
    }
    c->out = static_cast<char>(static_cast<signed char>(result.command));
    const std::string who = describe(r), at = c->peer;
    asio::async_write(c->socket, asio::buffer(&c->out, 1), [this, c, result, who, at](error_code ec, std::size_t) {
        c->cut();
        if (result.command == 0) return;
        if (!ec) {
            logEvent(Level::info, std::string("command ") + protocol::commandName(result.command) + " (id " +
                                      std::to_string(result.commandId) + ") given to " + who + " at " + at);
            return;
        }
        logEvent(Level::warn, std::string("command ") + protocol::commandName(result.command) + " for " + who +
                                  " could not be sent: pending again");
        try {
            store_.undeliver(result.commandId);
        } catch (const std::exception& e) {
            logEvent(Level::error, std::string("command not put back: ") + e.what());
        }
    });
}

void MonitorListener::run()
{
    accept();
    io_.run();
}

void MonitorListener::stop()
{
    asio::post(io_, [this] {
        if (stopping_) return;
        stopping_ = true;
        error_code ignored;
        acceptor_.close(ignored);
        pause_.cancel();
        if (live_.empty()) return;
        logEvent(Level::info, "finishing " + std::to_string(live_.size()) + " monitor exchanges");
        pause_.expires_after(std::chrono::milliseconds(kFinishMilliseconds));
        pause_.async_wait([this](error_code ec) {
            if (ec) return;
            if (!live_.empty())
                logEvent(Level::warn, std::to_string(live_.size()) + " monitor exchanges cut at the stop");
            for (Connection* c : live_) c->cut();
        });
    });
}

} // namespace pelmora::server
