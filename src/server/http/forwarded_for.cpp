#include "server/http/forwarded_for.h"

#include <optional>

namespace pelmora::server {
namespace {

std::string trimmed(const std::string& text, std::size_t from, std::size_t to)
{
    while (from < to && (text[from] == ' ' || text[from] == '\t')) ++from;
    while (to > from && (text[to - 1] == ' ' || text[to - 1] == '\t')) --to;
    return text.substr(from, to - from);
}

} // namespace

ForwardedClient forwardedClient(const std::string& peer, const std::vector<std::string>& values,
                                const TrustedProxies& trusted)
{
    if (values.empty() || !trusted.trusts(peer)) return {peer};
    std::string client; // the leftmost so far, when every entry is a trusted proxy
    for (auto value = values.rbegin(); value != values.rend(); ++value) {
        std::size_t end = value->size();
        while (true) {
            const std::size_t comma = end == 0 ? std::string::npos : value->rfind(',', end - 1);
            const std::size_t start = comma == std::string::npos ? 0 : comma + 1;
            const std::string entry = trimmed(*value, start, end);
            if (!entry.empty()) { // an empty element of a list is no element
                const std::optional<std::string> address = canonicalAddress(entry);
                if (!address) return {peer, true};
                if (!trusted.trusts(*address)) return {*address};
                client = *address;
            }
            if (comma == std::string::npos) break;
            end = comma;
        }
    }
    return {client.empty() ? peer : client};
}

} // namespace pelmora::server
