// The monitors' TCP protocol: on each connection send the slot byte, read
// the record (protocol/monitor_protocol.h), store it, answer with one command byte (none after
// an exit record), close. One thread on Boost.Asio for the connections, and
// one that writes the records that came in meanwhile, together (group
// commit); a slow HTTP request never delays an exchange. The
// whole exchange, slot byte to command byte, has kExchangeSeconds however
// the bytes arrive; connections over the caps (overall and per source
// address, connection_caps.h) are closed at once. A peer's faults are
// logged through logRepeated (log.h), so no flood floods the log.
// A trusted proxy (--trusted-proxy) sends a PROXY protocol header first
// (proxy_header.h), before it is offered anything: the connection waits
// under the overall cap alone until the header is in, then counts for the
// address it names, which is the monitor's for every bound, the trace and
// the pinned addresses. A PROXY header from anyone else is refused.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "server/support/connection_caps.h"
#include "server/support/counters.h"
#include "server/support/defaults.h"
#include "server/support/fleet_bounds.h"
#include "server/support/endpoint.h"
#include "server/support/trusted_proxies.h"
#include "server/store/store.h"
#include "server/monitor/record_intake.h"
#include "server/monitor/store_outage.h"

namespace pelmora::server {

using defaults::kExchangeSeconds;
using defaults::kFinishMilliseconds; // after a stop, for the exchanges under way

class MonitorListener {
public:
    // BOUNDS: the fleet's caps and per-address limits on records (null: none).
    // OUTAGE: what keeps records while the store cannot be reached (null: one of its own).
    MonitorListener(Store& store, Counters& counters, int maxConnections, int perAddress,
                    FleetBounds* bounds = nullptr, TrustedProxies proxies = {}, StoreOutage* outage = nullptr);
    ~MonitorListener();

    bool bind(const Endpoint& endpoint, std::string& error);
    int port() const { return port_; }
    void run(); // until stop(), then the exchanges under way finish or are cut
    void stop(); // from any thread

private:
    struct Connection;
    void accept();
    void admit(boost::asio::ip::tcp::socket socket, const std::string& peer);
    void readProxyHeader(const std::shared_ptr<Connection>& c);
    void offerSlot(const std::shared_ptr<Connection>& c);
    void readRecord(const std::shared_ptr<Connection>& c);
    void finish(const std::shared_ptr<Connection>& c); // the whole record is in
    struct Group;
    void writeWaiting();               // hands the records in to the writer
    void writeGroup(Group& group);     // on the writer's thread
    void answerGroup(Group& group);
    void answer(const std::shared_ptr<Connection>& c, const MonitorRecord& record, const ExchangeResult& result);
    void refused(const std::string& peer);
    void refuseHeader(const std::shared_ptr<Connection>& c, const std::string& why);

    Store& store_;
    Counters& counters_;
    const int maxConnections_;
    const TrustedProxies proxies_;
    ConnectionCaps caps_;
    // Before the I/O objects: connections left in the io_context end when it does, and use these.
    std::unordered_set<Connection*> live_;
    // The slots offered to the open connections, not to be offered again
    // until they end (the store knows the slots machines hold).
    std::vector<int> offered_;
    // The connections whose records wait to be written, and their records.
    std::vector<std::shared_ptr<Connection>> waiting_;
    std::vector<IncomingRecord> incoming_;
    bool writing_ = false; // a group is with the writer
    bool stopping_ = false;
    boost::asio::io_context io_{1};
    boost::asio::ip::tcp::acceptor acceptor_{io_};
    boost::asio::ip::tcp::endpoint acceptedFrom_; // the accept's own peer address: no look after it
    boost::asio::steady_timer pause_{io_}; // after an accept failure, and the stop's grace
    int port_ = 0;
    FleetBounds* bounds_;
    std::unique_ptr<StoreOutage> ownOutage_;
    StoreOutage& outage_;
    // Last: joined first, before what its groups use ends.
    boost::asio::thread_pool writer_{1};
};

} // namespace pelmora::server
