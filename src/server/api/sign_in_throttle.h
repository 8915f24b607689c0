// Wrong tokens slowed down per source address, for the sign-in form and
// Bearer headers alike: after kFreeFailures, a wrong token from that
// address gets no verdict (429, not looked at further) until the address's
// wait is over: 1 s, doubling to kLongestWait after each further failure.
// A token is compared first (in constant time), and a right one is let in
// whatever others at its address have sent, so an attacker behind the
// admin's NAT or reverse proxy cannot lock the admin out; a right token
// clears nothing, so it gives such an attacker no fresh free failures.
// The price: while the address waits, a 429 tells its sender that the token
// was wrong, so the guesses from one address are bounded by the token's
// length (kShortestToken characters at least, random ones advised), not by
// this throttle; the verdicts (401s), which is all a peer on another
// address learns from, stay slowed. An address without a failure for
// kForgetAfter is forgotten; at most kMostAddresses are remembered: when
// full, the one whose last failure is oldest is forgotten. An address is
// its key (ip_address.h): an IPv6 client is throttled with its whole /64.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <unordered_map>

#include "server/support/defaults.h"

namespace pelmora::server {

class SignInThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kFreeFailures = defaults::kFreeFailures;
    static constexpr std::chrono::seconds kLongestWait{defaults::kLongestWaitSeconds};
    static constexpr std::chrono::minutes kForgetAfter{defaults::kForgetFailuresMinutes};
    static constexpr std::size_t kMostAddresses = defaults::kMostThrottledAddresses;

    // Whole seconds ADDRESS must still wait before its next wrong token gets a verdict (0: none).
    long long waitFor(const std::string& address, Clock::time_point now = Clock::now());
    void failed(const std::string& address, Clock::time_point now = Clock::now());

private:
    struct Failures {
        int count = 0;
        Clock::time_point last;
    };
    std::mutex mutex_;
    std::unordered_map<std::string, Failures> failures_;
};

} // namespace pelmora::server
