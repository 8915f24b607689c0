// What a load balancer's peer may send or forward: any bytes as the start
// of a PROXY protocol header, read as they come, and any X-Forwarded-For
// value. A header is done only within its bounds, and no earlier than all
// its bytes are in; the client named is always an address.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "server/http/forwarded_for.h"
#include "server/monitor/proxy_header.h"

using namespace pelmora::server;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* bytes = reinterpret_cast<const char*>(data);
    const ProxyHeader whole = parseProxyHeader(bytes, size);
    if (whole.state == ProxyHeader::State::done) {
        if (whole.length > size || whole.length > kLongestProxyHeader) std::abort();
        if (!whole.source.empty() && canonicalAddress(whole.source) != whole.source) std::abort();
        // The listener reads as bytes come: every shorter start waits for more.
        for (std::size_t n = 0; n < whole.length; ++n)
            if (parseProxyHeader(bytes, n).state != ProxyHeader::State::incomplete) std::abort();
    } else if (whole.state == ProxyHeader::State::incomplete && size >= kLongestProxyHeader) {
        std::abort(); // the listener's buffer would be full with nothing decided
    }
    static const TrustedProxies trusted = [] {
        TrustedProxies t;
        t.add(*TrustedProxies::parse("127.0.0.1"));
        t.add(*TrustedProxies::parse("10.0.0.0/8"));
        return t;
    }();
    const ForwardedClient client = forwardedClient("127.0.0.1", {std::string(bytes, size)}, trusted);
    if (canonicalAddress(client.address) != client.address) std::abort();
    return 0;
}
