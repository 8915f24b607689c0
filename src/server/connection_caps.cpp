#include "server/connection_caps.h"

namespace pelmora::server {

bool ConnectionCaps::admit(const std::string& address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_ >= overall_) return false;
    int& mine = byAddress_[address];
    if (mine >= perAddress_) return false;
    ++mine;
    ++open_;
    return true;
}

void ConnectionCaps::release(const std::string& address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = byAddress_.find(address);
    if (it == byAddress_.end()) return;
    --open_;
    if (--it->second <= 0) byAddress_.erase(it);
}

int ConnectionCaps::open() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

} // namespace pelmora::server
