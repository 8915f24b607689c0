#include "server/support/ip_address.h"

#include <arpa/inet.h>
#include <cstring>

namespace pelmora::server {
namespace {

constexpr std::size_t kLongestText = 64; // longer than any address's text

// The address in TEXT as a network of all its bits.
std::optional<IpNetwork> parseAddress(const std::string& text)
{
    if (text.empty() || text.size() > kLongestText) return std::nullopt;
    IpNetwork a;
    if (inet_pton(AF_INET, text.c_str(), a.bytes.data()) == 1) {
        a.bits = 32;
        return a;
    }
    if (inet_pton(AF_INET6, text.c_str(), a.bytes.data()) != 1) return std::nullopt;
    static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(a.bytes.data(), kMapped, sizeof kMapped) == 0) {
        std::memmove(a.bytes.data(), a.bytes.data() + 12, 4);
        std::memset(a.bytes.data() + 4, 0, 12);
        a.bits = 32;
        return a;
    }
    a.v6 = true;
    a.bits = 128;
    return a;
}

} // namespace

std::optional<std::string> canonicalAddress(const std::string& text)
{
    const std::optional<IpNetwork> a = parseAddress(text);
    if (!a) return std::nullopt;
    char out[INET6_ADDRSTRLEN] = {};
    inet_ntop(a->v6 ? AF_INET6 : AF_INET, a->bytes.data(), out, sizeof out);
    return std::string(out);
}

std::optional<IpNetwork> parseNetwork(const std::string& text)
{
    const std::size_t slash = text.find('/');
    if (slash == std::string::npos) return std::nullopt;
    std::optional<IpNetwork> n = parseAddress(text.substr(0, slash));
    const std::string bits = text.substr(slash + 1);
    if (!n || bits.empty() || bits.size() > 3 || bits.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int most = n->bits, wanted = std::stoi(bits);
    if (wanted > most) return std::nullopt;
    n->bits = wanted;
    for (int i = wanted; i < most; ++i) n->bytes[i / 8] &= static_cast<unsigned char>(~(0x80 >> (i % 8)));
    return n;
}

std::string addressKey(const std::string& address)
{
    std::optional<IpNetwork> a = parseAddress(address);
    if (!a) return address;
    if (a->v6)
        for (int i = kIpv6KeyBits / 8; i < 16; ++i) a->bytes[i] = 0;
    char out[INET6_ADDRSTRLEN] = {};
    inet_ntop(a->v6 ? AF_INET6 : AF_INET, a->bytes.data(), out, sizeof out);
    return a->v6 ? std::string(out) + "/" + std::to_string(kIpv6KeyBits) : std::string(out);
}

bool inNetwork(const IpNetwork& network, const std::string& address)
{
    const std::optional<IpNetwork> a = parseAddress(address);
    if (!a || a->v6 != network.v6) return false;
    for (int i = 0; i < network.bits; ++i) {
        const unsigned char bit = static_cast<unsigned char>(0x80 >> (i % 8));
        if ((a->bytes[i / 8] & bit) != (network.bytes[i / 8] & bit)) return false;
    }
    return true;
}

} // namespace pelmora::server
