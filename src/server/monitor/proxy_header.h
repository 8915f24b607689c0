// The PROXY protocol header a load balancer sends first on each connection
// it makes for a client (HAProxy's send-proxy, send-proxy-v2): the text
// line of version 1 ("PROXY TCP4 SRC DST SPORT DPORT\r\n", 107 bytes at
// most) or the binary header of version 2 (its 12-byte signature, then
// version and command, family, a length and the addresses; kept to 536
// bytes here, one minimal TCP segment). Only the source address is used.
#pragma once

#include <cstddef>
#include <string>

namespace pelmora::server {

inline constexpr std::size_t kLongestProxyLine = 107;
inline constexpr std::size_t kLongestProxyHeader = 536;

struct ProxyHeader {
    enum class State { incomplete, invalid, done } state = State::incomplete;
    std::size_t length = 0; // done: the header's bytes; what follows is the client's
    std::string source;     // done: the client's address; empty: the peer's own (UNKNOWN, LOCAL)
    std::string reason;     // invalid: why
};

// The header at the start of the DATA read so far.
ProxyHeader parseProxyHeader(const char* data, std::size_t size);
// DATA (at least 12 bytes) starts as either version's header does.
bool looksLikeProxyHeader(const char* data, std::size_t size);

} // namespace pelmora::server
