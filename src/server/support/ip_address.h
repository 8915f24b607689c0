// Addresses and networks as an administrator writes them ("192.0.2.7",
// "2001:db8::1", "192.0.2.0/24", "2001:db8::/32"): checked, written the way
// the listeners write a peer's address, and matched.
#pragma once

#include <array>
#include <optional>
#include <string>

namespace pelmora::server {

struct IpNetwork {
    bool v6 = false;
    std::array<unsigned char, 16> bytes{}; // the first 4 for IPv4; host bits zero
    int bits = 0;
};

// TEXT as the listeners write it (an IPv4 one mapped into IPv6 as IPv4);
// nothing when it is no address.
std::optional<std::string> canonicalAddress(const std::string& text);
// "A/N", N from 0 to 32 (IPv4) or 128 (IPv6); host bits set are ignored.
std::optional<IpNetwork> parseNetwork(const std::string& text);
// ADDRESS (a listener's text) lies in NETWORK; false when it is no address.
bool inNetwork(const IpNetwork& network, const std::string& address);

// What every per-address limit (rates, caps, throttle, budgets) counts
// ADDRESS under: an IPv4 address (mapped into IPv6 or not) itself, an IPv6
// one its /64 ("2001:db8:1:2::/64"), since one subscriber holds a whole
// /64 and picks its low bits at will; other text as it is.
inline constexpr int kIpv6KeyBits = 64;
std::string addressKey(const std::string& address);

} // namespace pelmora::server
