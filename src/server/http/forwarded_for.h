// The client behind a trusted proxy, from the request's X-Forwarded-For
// headers (several are one list, in order). Each proxy appends the address
// it took the connection from, so the list is read from the right: an
// address that is itself a trusted proxy passed the request on, and the
// first one that is not is the client; what lies left of it is the
// client's own word. An entry that is not a bare address ends the walk,
// and the request counts as the peer's own: the hop that wrote it is not
// one to believe, and what lies beyond it may be anyone's.
#pragma once

#include <string>
#include <vector>

#include "server/support/trusted_proxies.h"

namespace pelmora::server {

struct ForwardedClient {
    std::string address; // as the listeners write addresses
    bool unreadable = false; // an entry was not an address: ADDRESS is the peer's
};

// From PEER's request with these X-Forwarded-For VALUES; the peer itself
// when it is not trusted or sent none.
ForwardedClient forwardedClient(const std::string& peer, const std::vector<std::string>& values,
                                const TrustedProxies& trusted);

} // namespace pelmora::server
