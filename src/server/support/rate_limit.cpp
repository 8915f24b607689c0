#include "server/support/rate_limit.h"
#include "server/support/ip_address.h"

#include <algorithm>

namespace pelmora::server {

RateLimit::RateLimit(int perHour, std::size_t mostAddresses) : perHour_(perHour), mostAddresses_(mostAddresses) {}

RateLimit::Bucket* RateLimit::bucket(const std::string& peer, Clock::time_point now)
{
    const std::string address = addressKey(peer);
    auto found = buckets_.find(address);
    if (found == buckets_.end()) {
        if (buckets_.size() >= mostAddresses_) {
            // A full bucket is as good as none: forget those.
            for (auto it = buckets_.begin(); it != buckets_.end();) {
                const double hours = std::chrono::duration<double>(now - it->second.at).count() / 3600;
                it = it->second.tokens + hours * perHour_ >= perHour_ ? buckets_.erase(it) : std::next(it);
            }
            if (buckets_.size() >= mostAddresses_) return nullptr;
        }
        found = buckets_.emplace(address, Bucket{perHour_, now}).first;
    }
    Bucket& b = found->second;
    const double hours = std::chrono::duration<double>(now - b.at).count() / 3600;
    b.tokens = std::min(perHour_, b.tokens + std::max(0.0, hours) * perHour_);
    b.at = now;
    return &b;
}

bool RateLimit::available(const std::string& address, Clock::time_point now, int many)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const Bucket* b = bucket(address, now);
    return !b || b->tokens >= many;
}

bool RateLimit::take(const std::string& address, Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Bucket* b = bucket(address, now);
    if (!b) return true;
    if (b->tokens < 1) return false;
    b->tokens -= 1;
    return true;
}

} // namespace pelmora::server
