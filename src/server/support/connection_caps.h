// How many connections a listener holds open, overall and from each source
// address: a connection is admitted only under both caps, so one address
// cannot take the places of all the others. Nor can a few: when the port is
// full, a newcomer whose address holds less than its fair share (the overall
// cap over the number of addresses holding connections, the newcomer's
// counted) takes the place of the oldest idle connection of the address
// holding the most, if that address holds more than its share; else it is
// refused. "Idle" is what the listener says may be closed at no loss: on the
// HTTP port a connection waiting for a request head, on the monitor port an
// exchange whose record is not in yet, an event stream at any time. So a
// few addresses holding every place keep at most their share of it. An
// address is counted under its key (ip_address.h: an IPv6 one by its /64).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

namespace pelmora::server {

class ConnectionCaps {
public:
    using Id = std::uint64_t; // 0: refused
    using Closer = std::function<void()>;

    ConnectionCaps(int overall, int perAddress) : overall_(overall), perAddress_(perAddress) {}

    // An id, counted, when ADDRESS may open one more, possibly by closing
    // another address's idle connection (its closer is called, outside the
    // lock, and its place is the newcomer's from then on); 0 when refused.
    // ALLOWANCE, when above 0, replaces the per-address cap for this one
    // (a trusted proxy's connections carry many clients).
    Id admit(const std::string& address, int allowance = 0);
    // ID's place counted from now on for ADDRESS, when it may hold one more
    // (the per-address cap); false, nothing changed, when not.
    bool move(Id id, const std::string& address);
    // Once for each admitted id; nothing for one closed to make room.
    void release(Id id);
    // ID may be closed by CLOSE to make room, until busy(ID).
    void idle(Id id, Closer close);
    void busy(Id id);
    int open() const;
    int heldBy(const std::string& address) const;

private:
    struct Held {
        std::string address;
        std::uint64_t idleSince = 0; // the idle order; 0: busy
        Closer close;
    };
    struct Address {
        int count = 0;
        std::map<std::uint64_t, Id> idle; // oldest first
    };
    Id roomFor(const std::string& address, Closer& close); // under the lock

    const int overall_, perAddress_;
    mutable std::mutex mutex_;
    int open_ = 0;
    Id nextId_ = 1;
    std::uint64_t nextIdle_ = 1;
    std::unordered_map<Id, Held> held_;
    std::unordered_map<std::string, Address> byAddress_; // only addresses with a connection open
};

} // namespace pelmora::server
