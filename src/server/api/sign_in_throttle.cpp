#include "server/api/sign_in_throttle.h"
#include "server/support/ip_address.h"

#include <algorithm>

namespace pelmora::server {

long long SignInThrottle::waitFor(const std::string& peer, Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = failures_.find(addressKey(peer));
    if (it == failures_.end()) return 0;
    if (now - it->second.last >= kForgetAfter) {
        failures_.erase(it);
        return 0;
    }
    if (it->second.count < kFreeFailures) return 0;
    const int doublings = std::min(it->second.count - kFreeFailures, 6);
    const auto wait = std::min<Clock::duration>(std::chrono::seconds(1LL << doublings), kLongestWait);
    const auto left = it->second.last + wait - now;
    if (left <= Clock::duration::zero()) return 0;
    return std::chrono::ceil<std::chrono::seconds>(left).count();
}

void SignInThrottle::failed(const std::string& peer, Clock::time_point now)
{
    const std::string address = addressKey(peer);
    std::lock_guard<std::mutex> lock(mutex_);
    if (failures_.size() >= kMostAddresses && failures_.count(address) == 0) {
        const auto oldest = std::min_element(failures_.begin(), failures_.end(),
                                             [](const auto& a, const auto& b) { return a.second.last < b.second.last; });
        failures_.erase(oldest);
    }
    Failures& f = failures_[address];
    ++f.count;
    f.last = now;
}

} // namespace pelmora::server
