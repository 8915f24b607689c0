#include "server/support/trusted_proxies.h"

namespace pelmora::server {

std::optional<IpNetwork> TrustedProxies::parse(const std::string& text)
{
    if (text.find('/') != std::string::npos) return parseNetwork(text);
    const std::optional<std::string> address = canonicalAddress(text);
    if (!address) return std::nullopt;
    return parseNetwork(*address + (address->find(':') == std::string::npos ? "/32" : "/128"));
}

bool TrustedProxies::trusts(const std::string& address) const
{
    for (const IpNetwork& network : networks_)
        if (inNetwork(network, address)) return true;
    return false;
}

} // namespace pelmora::server
