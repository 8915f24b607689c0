// Wrong tokens slowed down per source address, for the sign-in form and
// Bearer headers alike: after kFreeFailures, each further try from that
// address must wait, 1 s doubling to kLongestWait after its last failure;
// a right token clears the address. At most kMostAddresses are remembered:
// when full, the one whose last failure is oldest is forgotten.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <unordered_map>

namespace pelmora::server {

class SignInThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kFreeFailures = 5;
    static constexpr std::chrono::seconds kLongestWait{60};
    static constexpr std::size_t kMostAddresses = 4096;

    // Whole seconds ADDRESS must still wait before its next token is looked at (0: none).
    long long waitFor(const std::string& address, Clock::time_point now = Clock::now());
    void failed(const std::string& address, Clock::time_point now = Clock::now());
    void succeeded(const std::string& address);

private:
    struct Failures {
        int count = 0;
        Clock::time_point last;
    };
    std::mutex mutex_;
    std::unordered_map<std::string, Failures> failures_;
};

} // namespace pelmora::server
