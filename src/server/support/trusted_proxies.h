// The peers allowed to say whom they carry (--trusted-proxy): a load
// balancer's X-Forwarded-For on HTTP, its PROXY protocol header on the
// monitor port. From any other peer both are someone's word only.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "server/support/ip_address.h"

namespace pelmora::server {

class TrustedProxies {
public:
    // "A/N", or a bare address (all its bits); nothing when it is neither.
    static std::optional<IpNetwork> parse(const std::string& text);
    void add(const IpNetwork& network) { networks_.push_back(network); }
    bool empty() const { return networks_.empty(); }
    // ADDRESS (a listener's text, or one read from a header) is one of them.
    bool trusts(const std::string& address) const;

private:
    std::vector<IpNetwork> networks_;
};

} // namespace pelmora::server
