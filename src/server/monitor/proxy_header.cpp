#include "server/monitor/proxy_header.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <optional>
#include <vector>

#include "server/support/ip_address.h"

namespace pelmora::server {
namespace {

using State = ProxyHeader::State;

constexpr char kSignature[12] = {'\r', '\n', '\r', '\n', '\0', '\r', '\n', 'Q', 'U', 'I', 'T', '\n'};
constexpr char kLineStart[] = "PROXY ";
constexpr std::size_t kLineStartBytes = sizeof kLineStart - 1;

ProxyHeader invalid(const std::string& reason)
{
    ProxyHeader h;
    h.state = State::invalid;
    h.reason = reason;
    return h;
}

ProxyHeader done(std::size_t length, std::string source)
{
    ProxyHeader h;
    h.state = State::done;
    h.length = length;
    h.source = std::move(source);
    return h;
}

bool startsWith(const char* data, std::size_t size, const char* prefix, std::size_t prefixSize)
{
    return std::memcmp(data, prefix, std::min(size, prefixSize)) == 0;
}

// A port as version 1 writes it: 0 to 65535, no sign, no leading zero.
bool isPort(const std::string& text)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    return (text == "0" || text[0] != '0') && std::stol(text) <= 65535;
}

std::optional<std::string> addressOf(int family, const std::string& text)
{
    unsigned char bytes[16];
    if (inet_pton(family, text.c_str(), bytes) != 1) return std::nullopt;
    return canonicalAddress(text);
}

ProxyHeader lineHeader(const char* data, std::size_t size)
{
    const char* end = nullptr;
    for (std::size_t i = 0; i + 1 < std::min(size, kLongestProxyLine); ++i)
        if (data[i] == '\r' && data[i + 1] == '\n') {
            end = data + i;
            break;
        }
    if (!end) return size >= kLongestProxyLine ? invalid("a version 1 line over 107 bytes") : ProxyHeader{};
    const std::size_t length = static_cast<std::size_t>(end - data) + 2;
    if (std::any_of(data, end, [](char c) { return c < ' ' || c > '~'; }))
        return invalid("a version 1 line with a control character");
    std::vector<std::string> words;
    for (const char* at = data; at <= end;) {
        const char* space = std::find(at, end, ' ');
        words.emplace_back(at, space);
        at = space + 1;
    }
    if (words.size() >= 2 && words[1] == "UNKNOWN") return done(length, "");
    if (words.size() != 6 || (words[1] != "TCP4" && words[1] != "TCP6"))
        return invalid("a version 1 line not of the form PROXY TCP4|TCP6 SRC DST SPORT DPORT");
    const int family = words[1] == "TCP4" ? AF_INET : AF_INET6;
    const std::optional<std::string> source = addressOf(family, words[2]);
    if (!source || !addressOf(family, words[3]) || !isPort(words[4]) || !isPort(words[5]))
        return invalid("a version 1 line with an address or port that is not one of " + words[1]);
    return done(length, *source);
}

ProxyHeader binaryHeader(const unsigned char* data, std::size_t size)
{
    if (size < 16) return {};
    if ((data[12] >> 4) != 2) return invalid("a version 2 header of another version");
    const int command = data[12] & 0x0f;
    if (command > 1) return invalid("a version 2 header with an unknown command");
    const std::size_t length = 16 + (static_cast<std::size_t>(data[14]) << 8 | data[15]);
    if (length > kLongestProxyHeader) return invalid("a version 2 header over 536 bytes");
    if (size < length) return {};
    if (command == 0) return done(length, ""); // LOCAL: the proxy's own connection (a health check)
    const int family = data[13] >> 4, transport = data[13] & 0x0f;
    if (family == 0 || family == 3) return done(length, ""); // UNSPEC, UNIX: no address of ours to use
    if (family > 3 || transport != 1) return invalid("a version 2 header for neither TCP over IPv4 nor IPv6");
    const std::size_t addresses = family == 1 ? 12 : 36;
    if (length - 16 < addresses) return invalid("a version 2 header shorter than its addresses");
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(family == 1 ? AF_INET : AF_INET6, data + 16, text, sizeof text);
    return done(length, canonicalAddress(text).value_or(""));
}

} // namespace

ProxyHeader parseProxyHeader(const char* data, std::size_t size)
{
    if (size == 0) return {};
    if (startsWith(data, size, kSignature, sizeof kSignature))
        return size < sizeof kSignature ? ProxyHeader{}
                                        : binaryHeader(reinterpret_cast<const unsigned char*>(data), size);
    if (startsWith(data, size, kLineStart, kLineStartBytes))
        return size < kLineStartBytes ? ProxyHeader{} : lineHeader(data, size);
    return invalid("no PROXY protocol header");
}

bool looksLikeProxyHeader(const char* data, std::size_t size)
{
    return (size >= sizeof kSignature && std::memcmp(data, kSignature, sizeof kSignature) == 0) ||
           (size >= kLineStartBytes && std::memcmp(data, kLineStart, kLineStartBytes) == 0);
}

} // namespace pelmora::server
