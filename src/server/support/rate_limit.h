// Limits per source address: each address may do a thing PER_HOUR times an
// hour, up to PER_HOUR at once (a token bucket). The addresses followed
// are bounded (each under its key, ip_address.h: an IPv6 one by its /64);
// past that many, an address not followed is let through (the
// caps behind the limit still hold).
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <unordered_map>

namespace pelmora::server {

class RateLimit {
public:
    using Clock = std::chrono::steady_clock;
    explicit RateLimit(int perHour, std::size_t mostAddresses = 65536);

    // Whether the address may do it MANY more times now.
    bool available(const std::string& address, Clock::time_point now = Clock::now(), int many = 1);
    // Takes one; false (nothing taken) when the address has none left.
    bool take(const std::string& address, Clock::time_point now = Clock::now());

private:
    struct Bucket {
        double tokens = 0;
        Clock::time_point at;
    };
    Bucket* bucket(const std::string& address, Clock::time_point now); // refilled to NOW; null when untracked

    double perHour_;
    std::size_t mostAddresses_;
    std::mutex mutex_;
    std::unordered_map<std::string, Bucket> buckets_;
};

} // namespace pelmora::server
