// Every route of the HTTP side in one table: its method, its path (which
// gives both the pattern a request's path must match and the label /metrics
// counts it under), who may use it and its handler. The metrics label and the sign-in rule of any path, routed
// or not, are read from this table.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "server/api/handlers.h"

namespace pelmora::server {

// From the least to the most asked of the caller.
enum class Access {
    anyHost, // open, and answered whatever Host name was asked for: the monitors and probes use theirs
    open,    // no sign-in, even when viewing needs one
    viewer,  // a sign-in when a viewer token is set
    admin,   // the admin token, or an admin session with its cross-site token from our own pages
};

struct Route {
    const char* method; // GET (which answers HEAD too), POST, PUT or DELETE
    // The path, "{name}" standing for one segment (routePattern says of what
    // form). It is also the label /metrics counts the route under, and the
    // label's paths are also those of any method or of no route, so 404s are
    // counted and guarded as the route's; a label's last {name} takes in the
    // paths below it too, unless another label goes on from it.
    const char* path;
    Access access;
    RouteHandler handler;
};

const std::vector<Route>& routeTable();

// The regular expression of the whole paths PATH stands for, each "{name}" a
// group that reaches the handler; throws on a name it does not know.
std::string routePattern(std::string_view path);

// The label PATH is counted under, "other" when it falls under none.
const std::string& routeLabel(const std::string& path);
// The least any route of PATH's label asks (viewer for a path of no label).
Access pathAccess(const std::string& path);

} // namespace pelmora::server
