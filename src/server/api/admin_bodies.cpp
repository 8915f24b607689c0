#include "server/api/admin_bodies.h"

#include "server/fleet/json_shapes.h"
#include "server/fleet/machine_admin.h"

namespace pelmora::server {
namespace {

// KEY's text in a JSON object BODY of that one member.
std::optional<std::string> onlyMember(const std::string& body, const char* key)
{
    const Json json = Json::parse(body, nullptr, false);
    if (json.is_discarded() || !json.is_object() || json.size() != 1 || !json.contains(key) ||
        !json[key].is_string())
        return std::nullopt;
    return json[key].get<std::string>();
}

template <typename Value>
BodyRead<Value> refused(std::string error)
{
    return {std::nullopt, std::move(error)};
}

BodyRead<std::string> canonical(const std::string& text)
{
    if (std::optional<std::string> address = canonicalAddress(text)) return {std::move(address), ""};
    return refused<std::string>("not an IPv4 or IPv6 address: " + text.substr(0, 64));
}

} // namespace

BodyRead<std::string> readAddressBody(const std::string& body)
{
    const std::optional<std::string> text = onlyMember(body, "address");
    if (!text) return refused<std::string>("the body must be {\"address\": \"A\"}, A an IPv4 or IPv6 address");
    return canonical(*text);
}

BodyRead<long long> readMuteBody(const std::string& body)
{
    const Json json = Json::parse(body, nullptr, false);
    const bool shaped = !json.is_discarded() && json.is_object() && json.size() == 1 && json.contains("minutes") &&
                        json["minutes"].is_number_integer();
    const long long minutes = shaped ? json["minutes"].get<long long>() : 0;
    if (minutes < 1 || minutes > kMuteMostMinutes)
        return refused<long long>("the body must be {\"minutes\": N}, N a whole number from 1 to " +
                                  std::to_string(kMuteMostMinutes));
    return {minutes, ""};
}

BodyRead<std::string> readApprovalBody(const std::string& body)
{
    const bool chooses =
        body.find_first_not_of(" \t\r\n") != std::string::npos && Json::parse(body, nullptr, false) != Json::object();
    if (!chooses) return {std::string(), ""};
    const std::optional<std::string> text = onlyMember(body, "address");
    if (!text) return refused<std::string>("the body must be empty, {} or {\"address\": \"A\"}");
    return canonical(*text);
}

BodyRead<IpNetwork> readApprovalFromBody(const std::string& body)
{
    if (const std::optional<std::string> text = onlyMember(body, "address")) {
        const BodyRead<std::string> address = canonical(*text);
        if (!address.value) return refused<IpNetwork>(address.error);
        const bool v4 = address.value->find(':') == std::string::npos;
        return {parseNetwork(*address.value + (v4 ? "/32" : "/128")), ""};
    }
    if (const std::optional<std::string> text = onlyMember(body, "network")) {
        if (std::optional<IpNetwork> network = parseNetwork(*text)) return {std::move(network), ""};
        return refused<IpNetwork>("not a network A/N (N up to 32 for IPv4, 128 for IPv6): " + text->substr(0, 64));
    }
    return refused<IpNetwork>("the body must be {\"address\": \"A\"} or {\"network\": \"A/N\"}");
}

} // namespace pelmora::server
