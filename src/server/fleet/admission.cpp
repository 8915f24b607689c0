#include "server/fleet/admission.h"

#include <algorithm>

#include "server/support/ip_address.h"
#include "server/support/log.h"

namespace pelmora::server {
namespace {

AdminAnswer failure(int status, const std::string& reason) { return {status, errorJson(reason)}; }

// KEY's text in a JSON object BODY of that one member.
std::optional<std::string> onlyMember(const std::string& body, const char* key)
{
    const Json json = Json::parse(body, nullptr, false);
    if (json.is_discarded() || !json.is_object() || json.size() != 1 || !json.contains(key) ||
        !json[key].is_string())
        return std::nullopt;
    return json[key].get<std::string>();
}

AdminAnswer approved(const Approval& a, const FleetLimits& limits, const std::string& by)
{
    for (const MachineRow& m : a.approved)
        logEvent(Level::info, "machine " + m.name + " CPU# " + std::to_string(m.cpu) + " (id " + std::to_string(m.id) +
                                  ", from " + m.address + ") approved by " + by);
    if (a.refused.empty()) return {200, approvalJson(a)};
    Json body = approvalJson(a);
    body["error"] = "the store holds the most machines allowed (--max-machines " +
                    std::to_string(limits.maxMachines) + "): remove machines or raise the cap";
    return {409, body};
}

} // namespace

AdminAnswer moveMachineAddress(Store& store, long long id, const std::string& body, const std::string& by,
                               long long now)
{
    const std::optional<std::string> text = onlyMember(body, "address");
    if (!text) return failure(400, "the body must be {\"address\": \"A\"}, A an IPv4 or IPv6 address");
    const std::optional<std::string> address = canonicalAddress(*text);
    if (!address) return failure(400, "not an IPv4 or IPv6 address: " + text->substr(0, 64));
    const std::optional<std::string> before = store.moveAddress(id, *address, now);
    if (!before) return failure(404, "no machine " + std::to_string(id));
    logEvent(Level::info, "machine " + std::to_string(id) + ": address " + (before->empty() ? "(none)" : *before) +
                              " moved to " + *address + " by " + by);
    return {200, movedAddressJson(id, *address, *before)};
}

AdminAnswer waitingList(Store& store) { return {200, listJson("waiting", store.waiting(), waitingJson)}; }

AdminAnswer approveWaiting(Store& store, const FleetLimits& limits, long long waitingId, const std::string& body,
                           const std::string& by, long long now)
{
    // Pinned to its first sender's address, or to the other sender the
    // list showed, as the admin chooses: never to whoever sent its name last.
    std::string address;
    const bool chooses = body.find_first_not_of(" \t\r\n") != std::string::npos &&
                         Json::parse(body, nullptr, false) != Json::object();
    if (chooses) {
        const std::optional<std::string> text = onlyMember(body, "address");
        if (!text) return failure(400, "the body must be empty, {} or {\"address\": \"A\"}");
        const std::optional<std::string> chosen = canonicalAddress(*text);
        if (!chosen) return failure(400, "not an IPv4 or IPv6 address: " + text->substr(0, 64));
        const std::vector<WaitingRow> rows = store.waiting();
        const auto row = std::find_if(rows.begin(), rows.end(), [&](const WaitingRow& w) { return w.id == waitingId; });
        if (row == rows.end()) return failure(404, "no waiting identity " + std::to_string(waitingId));
        if (*chosen != row->address && (row->otherAt == 0 || *chosen != row->otherAddress))
            return failure(409, "waiting identity " + std::to_string(waitingId) + " was not seen from " + *chosen);
        address = *chosen;
    }
    const Approval a = store.approve({waitingId}, limits.maxMachines, now, address);
    if (a.approved.empty() && a.refused.empty())
        return failure(404, "no waiting identity " + std::to_string(waitingId));
    return approved(a, limits, by);
}

AdminAnswer approveWaitingFrom(Store& store, const FleetLimits& limits, const std::string& body,
                               const std::string& by, long long now)
{
    const char* const kShape = "the body must be {\"address\": \"A\"} or {\"network\": \"A/N\"}";
    std::optional<IpNetwork> network;
    if (const std::optional<std::string> text = onlyMember(body, "address")) {
        const std::optional<std::string> address = canonicalAddress(*text);
        if (!address) return failure(400, "not an IPv4 or IPv6 address: " + text->substr(0, 64));
        network = parseNetwork(*address + (address->find(':') == std::string::npos ? "/32" : "/128"));
    } else if (const std::optional<std::string> text = onlyMember(body, "network")) {
        network = parseNetwork(*text);
        if (!network)
            return failure(400, "not a network A/N (N up to 32 for IPv4, 128 for IPv6): " + text->substr(0, 64));
    } else {
        return failure(400, kShape);
    }
    std::vector<long long> ids;
    for (const WaitingRow& w : store.waiting())
        if (inNetwork(*network, w.address)) ids.push_back(w.id);
    return approved(store.approve(ids, limits.maxMachines, now), limits, by);
}

} // namespace pelmora::server
