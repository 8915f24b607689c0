#include "server/api/route_table.h"

#include <string_view>

namespace pelmora::server {

const std::vector<Route>& routeTable()
{
    static const std::vector<Route> routes = {
        // The dashboard.
        {"GET", "/", "/", Access::viewer, getIndexPage},
        {"GET", "/team", "/team", Access::viewer, getTeamPage},
        {"GET", "/signin", "/signin", Access::open, getSignInPage},
        {"GET", R"(/machines/\d{1,18})", "/machines/{id}", Access::viewer, getMachinePage},
        {"GET", R"(/assets/([A-Za-z0-9_-][A-Za-z0-9._-]{0,63}))", "/assets/{file}", Access::open, getAsset},
        {"GET", "/api/session", "/api/session", Access::open, getSession},
        {"POST", "/signin", "/signin", Access::open, postSignIn},
        {"POST", "/signout", "/signout", Access::viewer, postSignOut},
        {"GET", "/api/events", "/api/events", Access::viewer, getEvents},
        // Probes, and the monitors' units.
        {"GET", "/healthz", "/healthz", Access::anyHost, getHealth},
        {"GET", "/metrics", "/metrics", Access::viewer, getMetrics},
        {"GET", "/api/store", "/api/store", Access::viewer, getStoreSize},
        {"GET", "/folding/unitstats.php", "/folding/unitstats.php", Access::anyHost, getUnitSubmission},
        // Machines and their commands.
        {"GET", "/api/machines", "/api/machines", Access::viewer, getMachines},
        // Before /api/machines/{id}, whose label would take its path.
        {"POST", "/api/machines/approve", "/api/machines/approve", Access::admin, postApproveMachines},
        {"GET", R"(/api/machines/(\d{1,18}))", "/api/machines/{id}", Access::viewer, getMachine},
        {"DELETE", R"(/api/machines/(\d{1,18}))", "/api/machines/{id}", Access::admin, deleteMachine},
        {"DELETE", R"(/api/machines/(\d{1,18})/address)", "/api/machines/{id}/address", Access::admin,
         deleteMachineAddress},
        {"PUT", R"(/api/machines/(\d{1,18})/address)", "/api/machines/{id}/address", Access::admin, putMachineAddress},
        {"POST", R"(/api/machines/(\d{1,18})/approve)", "/api/machines/{id}/approve", Access::admin,
         postApproveMachine},
        {"GET", R"(/api/machines/(\d{1,18})/history)", "/api/machines/{id}/history", Access::viewer,
         getMachineHistory},
        {"GET", R"(/api/machines/(\d{1,18})/commands)", "/api/machines/{id}/commands", Access::viewer, getCommands},
        {"POST", R"(/api/machines/(\d{1,18})/commands)", "/api/machines/{id}/commands", Access::admin, postCommand},
        // Without a command's id: the machine's pending one.
        {"DELETE", R"(/api/machines/(\d{1,18})/commands)", "/api/machines/{id}/commands", Access::admin,
         deleteCommand},
        {"DELETE", R"(/api/machines/(\d{1,18})/commands/(\d{1,18}))", "/api/machines/{id}/commands/{command}",
         Access::admin, deleteCommand},
        {"DELETE", R"(/api/commands/(\d{1,18}))", "/api/commands/{command}", Access::admin, deleteCommand},
        // Units, the team and alerts.
        {"GET", "/api/units", "/api/units", Access::viewer, getUnits},
        {"GET", "/api/cpus", "/api/cpus", Access::viewer, getCpus},
        {"GET", "/api/summary", "/api/summary", Access::viewer, getSummary},
        {"GET", "/api/alerts", "/api/alerts", Access::viewer, getAlerts},
        {"GET", "/api/team", "/api/team", Access::viewer, getTeam},
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
                if (l.text == r.label) found = &l;
            if (!found) {
                out.push_back({r.label, segmentsOf(r.label)});
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

} // namespace

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
