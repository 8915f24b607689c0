#include "server/api/route_table.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>

namespace pelmora::server {

const std::vector<Route>& routeTable()
{
    static const std::vector<Route> routes = {
        // The dashboard.
        {"GET", "/", Access::viewer, getIndexPage},
        {"GET", "/team", Access::viewer, getTeamPage},
        {"GET", "/signin", Access::open, getSignInPage},
        {"GET", "/machines/{id}", Access::viewer, getMachinePage},
        {"GET", "/assets/{file}", Access::open, getAsset},
        {"GET", "/api/session", Access::open, getSession},
        {"POST", "/signin", Access::open, postSignIn},
        {"POST", "/signout", Access::viewer, postSignOut},
        {"GET", "/api/events", Access::viewer, getEvents},
        // Probes, and the monitors' units.
        {"GET", "/healthz", Access::anyHost, getHealth},
        {"GET", "/metrics", Access::viewer, getMetrics},
        {"GET", "/api/store", Access::viewer, getStoreSize},
        {"GET", "/folding/unitstats.php", Access::anyHost, getUnitSubmission},
        // Machines and their commands.
        {"GET", "/api/machines", Access::viewer, getMachines},
        // Before /api/machines/{id}, whose label would take its path.
        {"POST", "/api/machines/approve", Access::admin, postApproveMachines},
        {"GET", "/api/machines/{id}", Access::viewer, getMachine},
        {"DELETE", "/api/machines/{id}", Access::admin, deleteMachine},
        {"DELETE", "/api/machines/{id}/address", Access::admin, deleteMachineAddress},
        {"PUT", "/api/machines/{id}/address", Access::admin, putMachineAddress},
        {"POST", "/api/machines/{id}/approve", Access::admin, postApproveMachine},
        {"POST", "/api/machines/{id}/mute", Access::admin, postMachineMute},
        {"DELETE", "/api/machines/{id}/mute", Access::admin, deleteMachineMute},
        {"GET", "/api/machines/{id}/history", Access::viewer, getMachineHistory},
        {"GET", "/api/machines/{id}/points", Access::viewer, getMachinePoints},
        {"GET", "/api/machines/{id}/events", Access::viewer, getMachineEvents},
        {"GET", "/api/machines/{id}/commands", Access::viewer, getCommands},
        {"POST", "/api/machines/{id}/commands", Access::admin, postCommand},
        // Without a command's id: the machine's pending one.
        {"DELETE", "/api/machines/{id}/commands", Access::admin, deleteCommand},
        {"DELETE", "/api/machines/{id}/commands/{command}", Access::admin, deleteCommand},
        {"DELETE", "/api/commands/{command}", Access::admin, deleteCommand},
        // Units, the team and alerts.
        {"GET", "/api/units", Access::viewer, getUnits},
        {"GET", "/api/cpus", Access::viewer, getCpus},
        {"GET", "/api/summary", Access::viewer, getSummary},
        {"GET", "/api/alerts", Access::viewer, getAlerts},
        {"GET", "/api/team", Access::viewer, getTeam},
        {"GET", "/api/team/points", Access::viewer, getTeamPoints},
    };
    return routes;
}

namespace {

// A label made ready for matching paths against it.
struct Label {
    std::string text;
    std::vector<std::string> segments; // "{...}" for any one
    bool takesPathsBelow = false;
    Access loosest = Access::admin;
};

std::vector<std::string> segmentsOf(const std::string& label)
{
    std::vector<std::string> out;
    std::size_t from = 1;
    for (std::size_t slash; (slash = label.find('/', from)) != std::string::npos; from = slash + 1)
        out.push_back(label.substr(from, slash - from));
    out.push_back(label.substr(from));
    return out;
}

const std::vector<Label>& labels()
{
    static const std::vector<Label> all = [] {
        std::vector<Label> out;
        for (const Route& r : routeTable()) {
            Label* found = nullptr;
            for (Label& l : out)
                if (l.text == r.path) found = &l;
            if (!found) {
                out.push_back({r.path, segmentsOf(r.path)});
                found = &out.back();
            }
            if (r.access < found->loosest) found->loosest = r.access;
        }
        for (Label& l : out) {
            l.takesPathsBelow = l.segments.back().rfind('{', 0) == 0;
            for (const Label& other : out)
                if (other.text.compare(0, l.text.size() + 1, l.text + "/") == 0) l.takesPathsBelow = false;
        }
        return out;
    }();
    return all;
}

bool covers(const Label& label, std::string_view path)
{
    std::size_t at = 0; // at the '/' before the next segment
    for (std::size_t i = 0; i < label.segments.size(); ++i) {
        if (at >= path.size() || path[at] != '/') return false;
        const std::string& wanted = label.segments[i];
        const bool any = wanted.rfind('{', 0) == 0;
        if (any && label.takesPathsBelow && i + 1 == label.segments.size()) return true;
        const std::size_t end = std::min(path.find('/', at + 1), path.size());
        if (!any && path.substr(at + 1, end - at - 1) != wanted) return false;
        at = end;
    }
    return at == path.size();
}

const Label* labelOf(const std::string& path)
{
    for (const Label& l : labels())
        if (covers(l, path)) return &l;
    return nullptr;
}

// What each "{name}" of a path stands for: one segment of this form, a
// group that reaches the handler.
const struct {
    std::string_view name;
    const char* pattern;
} kPlaceholders[] = {
    {"{id}", R"((\d{1,18}))"},
    {"{command}", R"((\d{1,18}))"},
    {"{file}", R"(([A-Za-z0-9_-][A-Za-z0-9._-]{0,63}))"},
};

} // namespace

std::string routePattern(std::string_view path)
{
    std::string out;
    for (std::size_t at = 0; at < path.size();) {
        if (path[at] == '{') {
            const std::size_t end = path.find('}', at);
            const std::string_view name = path.substr(at, end == std::string_view::npos ? end : end + 1 - at);
            const auto* found = std::find_if(std::begin(kPlaceholders), std::end(kPlaceholders),
                                             [&](const auto& p) { return p.name == name; });
            if (found == std::end(kPlaceholders)) throw std::logic_error("a route's path names " + std::string(name));
            out += found->pattern;
            at += name.size();
            continue;
        }
        if (std::string_view(R"(\^$.|?*+()[]{})").find(path[at]) != std::string_view::npos) out += '\\';
        out += path[at++];
    }
    return out;
}

const std::string& routeLabel(const std::string& path)
{
    static const std::string other = "other";
    const Label* label = labelOf(path);
    return label ? label->text : other;
}

Access pathAccess(const std::string& path)
{
    const Label* label = labelOf(path);
    return label ? label->loosest : Access::viewer;
}

} // namespace pelmora::server
