#include "server/support/connection_caps.h"
#include "server/support/ip_address.h"

namespace pelmora::server {

ConnectionCaps::Id ConnectionCaps::admit(const std::string& peer, int allowance)
{
    const std::string address = addressKey(peer);
    Closer close;
    Id id = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto mine = byAddress_.find(address);
        const int holds = mine == byAddress_.end() ? 0 : mine->second.count;
        if (holds >= (allowance > 0 ? allowance : perAddress_)) return 0;
        if (open_ < overall_)
            ++open_;
        else if (!roomFor(address, close))
            return 0;
        ++byAddress_[address].count;
        id = nextId_++;
        held_[id].address = address;
    }
    if (close) close();
    return id;
}

// The newcomer's fair share, and a connection to give it.
ConnectionCaps::Id ConnectionCaps::roomFor(const std::string& address, Closer& close)
{
    const auto mine = byAddress_.find(address);
    const int holds = mine == byAddress_.end() ? 0 : mine->second.count;
    const int addresses = static_cast<int>(byAddress_.size()) + (mine == byAddress_.end() ? 1 : 0);
    const int share = overall_ / addresses;
    if (holds >= share) return 0;
    // The address holding the most over its share with an idle connection;
    // between equals, the one idle the longest.
    Address* most = nullptr;
    for (auto& [other, held] : byAddress_) {
        if (other == address || held.count <= share || held.idle.empty()) continue;
        if (!most || held.count > most->count ||
            (held.count == most->count && held.idle.begin()->first < most->idle.begin()->first))
            most = &held;
    }
    if (!most) return 0;
    const Id victim = most->idle.begin()->second;
    most->idle.erase(most->idle.begin());
    const auto it = held_.find(victim);
    close = std::move(it->second.close);
    held_.erase(it);
    --most->count; // never to 0: it held more than its share
    return victim;
}

bool ConnectionCaps::move(Id id, const std::string& client)
{
    const std::string address = addressKey(client);
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = held_.find(id);
    if (it == held_.end()) return false;
    Held& held = it->second;
    if (held.address == address) return true;
    const auto to = byAddress_.find(address);
    if (to != byAddress_.end() && to->second.count >= perAddress_) return false;
    const auto from = byAddress_.find(held.address);
    from->second.idle.erase(held.idleSince);
    if (--from->second.count <= 0) byAddress_.erase(from);
    Address& mine = byAddress_[address];
    ++mine.count;
    if (held.idleSince != 0) mine.idle[held.idleSince] = id;
    held.address = address;
    return true;
}

void ConnectionCaps::release(Id id)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = held_.find(id);
    if (it == held_.end()) return; // closed to make room: its place is already another's
    const auto address = byAddress_.find(it->second.address);
    address->second.idle.erase(it->second.idleSince);
    if (--address->second.count <= 0) byAddress_.erase(address);
    held_.erase(it);
    --open_;
}

void ConnectionCaps::idle(Id id, Closer close)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = held_.find(id);
    if (it == held_.end()) return;
    Address& address = byAddress_[it->second.address];
    address.idle.erase(it->second.idleSince);
    it->second.idleSince = nextIdle_++;
    it->second.close = std::move(close);
    address.idle[it->second.idleSince] = id;
}

void ConnectionCaps::busy(Id id)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = held_.find(id);
    if (it == held_.end() || it->second.idleSince == 0) return;
    byAddress_[it->second.address].idle.erase(it->second.idleSince);
    it->second.idleSince = 0;
    it->second.close = nullptr;
}

int ConnectionCaps::open() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

int ConnectionCaps::heldBy(const std::string& address) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = byAddress_.find(addressKey(address));
    return it == byAddress_.end() ? 0 : it->second.count;
}

} // namespace pelmora::server
