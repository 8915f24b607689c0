#include "server/http/host_names.h"

#include <arpa/inet.h>
#include <strings.h>
#include <unistd.h>

namespace pelmora::server {

std::vector<std::string> ownHostNames()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return {};
    const std::string full = name;
    const std::string first = full.substr(0, full.find('.'));
    return {full, first, first + ".local"};
}

bool hostAllowed(const std::string& host, const std::vector<std::string>& names)
{
    if (host.empty()) return true;
    std::string name = host;
    if (name[0] == '[') { // an IPv6 address, with or without a port
        const std::size_t end = name.find(']');
        if (end == std::string::npos) return false;
        in6_addr v6{};
        return inet_pton(AF_INET6, name.substr(1, end - 1).c_str(), &v6) == 1 &&
               (end + 1 == name.size() || name[end + 1] == ':');
    }
    const std::size_t colon = name.rfind(':');
    if (colon != std::string::npos) {
        if (name.find_first_not_of("0123456789", colon + 1) != std::string::npos) return false;
        name.resize(colon);
    }
    if (!name.empty() && name.back() == '.') name.pop_back(); // "host." names the same host
    in_addr v4{};
    if (inet_pton(AF_INET, name.c_str(), &v4) == 1 || strcasecmp(name.c_str(), "localhost") == 0) return true;
    for (const std::string& allowed : names)
        if (!allowed.empty() && strcasecmp(name.c_str(), allowed.c_str()) == 0) return true;
    return false;
}

} // namespace pelmora::server
